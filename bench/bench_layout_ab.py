"""Two or more builds of the module on what the layout of the codes touches,
at dimensions where a code's meta fits in its padding (100) and where it
does not (128): per build and dimension, in a fresh process, `batch_upsert`
of sentence embeddings cut to that many components (time and resident
memory added per point), then the fast walk (query with early_stop) and the
default walk (search) at a few beams, one query per call, best of three
passes, with recall@10 against an exact scan. Builds and dimensions take
turns round after round; each figure is the best of the rounds (a walk's
recall is that of its best round's graph: builds run on several threads).

Usage: .venv/bin/python bench/bench_layout_ab.py --builds NAME=DIR,NAME=DIR
           [--points 29000] [--dims 100,128] [--rounds 3] [--out FILE]
(each DIR holds one built tarnwick module).
"""
import argparse
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

TEXT = Path(__file__).resolve().parent / ".cache" / "text.npy"

CHILD = r"""
import gc, glob, importlib.util, json, os, sys, time
import numpy as np
directory, points, dim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
# bench_graph's sentence embeddings (bench/make_text_embeddings.sh), their
# first `dim` components: real embeddings at each dimension.
(path,) = glob.glob(os.path.join(directory, "tarnwick*.so"))
spec = importlib.util.spec_from_file_location("tarnwick", path)
tarnwick = importlib.util.module_from_spec(spec); spec.loader.exec_module(tarnwick)
def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
text = np.load(sys.argv[4])
base = np.ascontiguousarray(text[1000:1000 + points, :dim], dtype=np.float32)
queries = np.ascontiguousarray(text[:500, :dim], dtype=np.float32)
points = len(base)
normed = base / np.linalg.norm(base, axis=1, keepdims=True)
scores = (queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ normed.T
truth = [set(row) for row in np.argsort(-scores, axis=1)[:, :10].tolist()]
del scores, normed
gc.collect()
store = tarnwick.VectorStorage()
before = rss()
start = time.perf_counter()
store.batch_upsert(np.arange(points, dtype=np.uint64), base)
build = time.perf_counter() - start
memory = (rss() - before) / points
rows = [np.ascontiguousarray(q) for q in queries]
out = {"build_s": build, "bytes_per_point": memory}
def timed(run):
    elapsed = float("inf")
    for _ in range(3):
        start = time.perf_counter(); found = [run(r) for r in rows]
        elapsed = min(elapsed, time.perf_counter() - start)
    hits = sum(len(truth[i] & {p for p, _ in f}) for i, f in enumerate(found))
    return elapsed / len(rows) * 1e3, hits / (10 * len(rows))
for ef in (16, 32, 64, 128):
    out[f"fast {ef}"] = timed(lambda r: store.query(r, 10, ef=ef, early_stop=True))
for ef in (16, 32, 64):
    store.ef_search = ef
    out[f"default {ef}"] = timed(lambda r: store.search(r, 10, "cosine"))
print(json.dumps(out))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--builds", required=True)
    parser.add_argument("--points", type=int, default=29_000)
    parser.add_argument("--dims", default="100,128")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out")
    args = parser.parse_args()
    builds = dict(item.split("=", 1) for item in args.builds.split(","))
    dims = [int(d) for d in args.dims.split(",")]
    best = {}
    for round_number in range(args.rounds):
        order = list(builds.items())
        if round_number % 2:
            order.reverse()
        for dim in dims:
            for name, directory in order:
                result = json.loads(subprocess.run(
                    [sys.executable, "-c", CHILD, directory, str(args.points), str(dim), str(TEXT)],
                    check=True, capture_output=True, text=True).stdout)
                kept = best.setdefault((name, dim), {})
                for key, value in result.items():
                    if isinstance(value, list):  # (ms per query, recall)
                        if key not in kept or value[0] < kept[key][0]:
                            kept[key] = value
                    else:
                        kept[key] = min(kept.get(key, value), value)
                print(f"round {round_number + 1} {name} d={dim} done", file=sys.stderr, flush=True)
    kernels = os.environ.get("TARNWICK_SCAN_KERNELS", "auto")
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), platform.machine())
    lines = [f"# command: .venv/bin/python bench/bench_layout_ab.py {' '.join(sys.argv[1:])}",
             f"# processor: {cpu}, {os.cpu_count()} logical CPUs; TARNWICK_SCAN_KERNELS={kernels}; "
             f"best of {args.rounds} rounds, builds alternating, each run a fresh process; "
             f"{args.points} sentence embeddings cut to d components, 500 queries, cosine, limit 10, one thread"]
    names = list(builds)
    for dim in dims:
        lines.append(f"\nd = {dim}" + "".join(f"{n:>24}" for n in names)
                     + (f"{'ratio':>9}" if len(names) == 2 else ""))
        keys = list(best[(names[0], dim)])
        for key in keys:
            values = [best[(n, dim)][key] for n in names]
            if isinstance(values[0], list):
                cells = "".join(f"{f'{v[0]:.4f} ms r {v[1]:.4f}':>24}" for v in values)
                ratio = values[1][0] / values[0][0] if len(names) == 2 else None
            else:
                cells = "".join(f"{v:>24.2f}" for v in values)
                ratio = values[1] / values[0] if len(names) == 2 and values[0] else None
            lines.append(f"{key:<12}{cells}" + (f"{ratio:>9.3f}" if ratio is not None else ""))
    text = "\n".join(lines) + "\n"
    print(text, end="")
    if args.out:
        with open(args.out, "a") as out:
            out.write(text + "\n")


if __name__ == "__main__":
    main()
