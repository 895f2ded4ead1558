"""Semantic-ish search over the Python standard library's own documentation.

The corpus ships with every Python: the docstrings of the public functions,
classes and methods of the standard library. Each docstring becomes a 128-d
vector (TF-IDF over words and word pairs, reduced by truncated SVD: latent
semantic analysis), loaded into a store with batch_upsert and a progress bar.
Then it answers a few questions a person can judge, filters by module (the
payload's "tenant_id"), deletes and reads points, saves and loads the store,
and measures recall@10 of the graph search against an exact scan.
"""
import importlib
import inspect
import os
import pkgutil
import sys
import tempfile
import time
import warnings

import numpy as np
from sklearn.decomposition import TruncatedSVD
from sklearn.feature_extraction.text import TfidfVectorizer
from tqdm import tqdm

import tarnwick

# Modules that do something when imported, need a display, or are not meant
# to be read as documentation.
SKIPPED = {"antigravity", "this", "idlelib", "turtledemo", "tkinter", "turtle", "__main__",
           "lib2to3", "ensurepip", "venv", "pydoc_data", "test", "xxlimited", "xxsubtype"}

QUESTIONS = [
    "read a text file line by line",
    "parse command line options and arguments",
    "compress data with gzip",
    "send an email message over SMTP",
    "random number from a normal distribution",
    "current date and time in a time zone",
    "run a shell command in a subprocess and capture its output",
    "serialize an object to JSON",
]


def quietly_import(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return importlib.import_module(name)
        except Exception:
            return None


def stdlib_docstrings():
    """(qualified name, top-level module, first paragraph of the docstring)."""
    found, seen = [], set()
    names = sorted(name for _, name, _ in pkgutil.iter_modules() if name in sys.stdlib_module_names)
    modules = []
    for name in names:
        if name.startswith("_") or name in SKIPPED:
            continue
        module = quietly_import(name)
        if module is None:
            continue
        modules.append((name, module))
        for info in pkgutil.walk_packages(getattr(module, "__path__", []), name + ".", onerror=lambda _: None):
            parts = info.name.split(".")
            if any(part.startswith("_") or part in SKIPPED or part.startswith("test") for part in parts):
                continue
            submodule = quietly_import(info.name)
            if submodule is not None:
                modules.append((info.name, submodule))
    for module_name, module in modules:
        for attribute, value in vars(module).items():
            if attribute.startswith("_") or getattr(value, "__module__", None) != module_name:
                continue
            members = [(f"{module_name}.{attribute}", value)]
            if inspect.isclass(value):
                members += [(f"{module_name}.{attribute}.{name}", member)
                            for name, member in vars(value).items()
                            if not name.startswith("_") and callable(member)]
            for qualified, member in members:
                doc = inspect.getdoc(member) or ""
                text = doc.split("\n\n")[0].replace("\n", " ").strip()
                if len(text) < 20 or text in seen:
                    continue
                seen.add(text)
                found.append((qualified, module_name.split(".")[0], text))
    return found


def main():
    corpus = stdlib_docstrings()
    names = [name for name, _, _ in corpus]
    texts = [f"{name.replace('.', ' ').replace('_', ' ')} {text}" for name, _, text in corpus]
    print(f"corpus: {len(corpus):,} docstrings from the standard library of Python "
          f"{sys.version.split()[0]}")

    vectorizer = TfidfVectorizer(ngram_range=(1, 2), min_df=2, sublinear_tf=True, stop_words="english")
    svd = TruncatedSVD(n_components=128, random_state=0)
    vectors = svd.fit_transform(vectorizer.fit_transform(texts)).astype(np.float32)

    def embed(question):
        return svd.transform(vectorizer.transform([question])).astype(np.float32)[0]

    store = tarnwick.VectorStorage()
    payloads = [{"tenant_id": module, "name": name} for name, module, _ in corpus]
    start = time.perf_counter()
    with tqdm(total=len(corpus), desc="batch_upsert", unit="docs") as bar:
        store.batch_upsert(np.arange(len(corpus), dtype=np.uint64), vectors, payloads,
                           progress=lambda done, total: bar.update(done - bar.n))
    built = time.perf_counter() - start
    print(f"stored {len(store):,} vectors of dimension 128 in {built:.2f} s "
          f"({len(store) / built:,.0f} points/s)\n")

    for question in QUESTIONS:
        hits = store.search(embed(question), 3, "cosine")
        print(f"{question!r}")
        for point_id, score in hits:
            print(f"    {score:.3f}  {names[point_id]}: {corpus[point_id][2][:70]}")
    print()

    hits = store.search(embed("copy a whole directory"), 3, "cosine", tenant_id="shutil")
    print("'copy a whole directory', only module shutil (tenant_id):")
    for point_id, score in hits:
        print(f"    {score:.3f}  {names[point_id]}")

    first = store.search(embed(QUESTIONS[0]), 1, "cosine")[0][0]
    point = store.get(first)
    assert point is not None  # get gives None for an id that holds no point
    vector, payload = point
    print(f"\nget({first}) -> payload {payload}, vector of {len(vector)} floats")
    store.delete(first)
    print(f"delete({first}); {first} in store: {first in store}; the same question now finds "
          f"{names[store.search(embed(QUESTIONS[0]), 1, 'cosine')[0][0]]}")
    store.upsert(first, vector, payload)

    # Recall of the graph search against an exact scan, on queries drawn from
    # the corpus itself (each point's own vector, slightly moved).
    rng = np.random.default_rng(7)
    picks = rng.choice(len(corpus), size=300, replace=False)
    queries = vectors[picks] + 0.05 * rng.standard_normal((300, 128)).astype(np.float32)
    unit = vectors / np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-12)
    truth = np.argsort(-(queries @ unit.T), axis=1)[:, :10]
    for ef in (32, 128):
        store.ef_search = ef
        start = time.perf_counter()
        found = store.batch_search(queries, 10, "cosine")
        elapsed = time.perf_counter() - start
        recall = np.mean([len({i for i, _ in f} & set(t.tolist())) / 10 for f, t in zip(found, truth)])
        print(f"ef_search {ef:3d}: recall@10 {recall:.3f} against an exact scan, "
              f"{len(queries) / elapsed:,.0f} queries/s with batch_search")

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "stdlib.snapshot")
        store.save(path)
        restored = tarnwick.VectorStorage()
        restored.load(path)
        same = all(restored.search(q, 10, "cosine") == store.search(q, 10, "cosine") for q in queries[:20])
        print(f"saved {os.path.getsize(path) / 1e6:.1f} MB and loaded it again; same answers: {same}")


if __name__ == "__main__":
    main()
