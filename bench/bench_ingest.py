"""Ingestion benchmark: how fast a store fills, against hnswlib, usearch and
faiss in the same run.

Data: bench_graph's clustered set (100,000 x 128) and its sentence embeddings
(30,000 x 384). Each build runs in a fresh process of its own (the worker pool's
size is read once per process), best of --repeats runs:
- tarnwick batch_upsert of the float32 array with 1 and 2 workers, and a loop of
  upsert over Python lists;
- hnswlib add_items (M 16, ef_construction 64) with 1 and 2 threads; usearch
  (connectivity 16, expansion_add 64) and faiss IndexHNSWFlat (M 16,
  efConstruction 64) likewise when they are installed.
For tarnwick it also reports recall@10 at defaults after batch_upsert and after
the upsert loop, and the peak resident memory added during batch_upsert against
the final store plus 1.2 x the input array.

Usage: .venv/bin/python bench/bench_ingest.py [--points N] [--repeats R] [--skip-text]
Writes bench/results/ingest.txt and bench/results/ingest_workers.png.
"""
import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"

CHILD = r"""
import json, os, sys, time
import numpy as np
sys.path.insert(0, {here!r})
import bench_graph as b

def status(field):
    for line in open('/proc/self/status'):
        if line.startswith(field):
            return int(line.split()[1]) * 1024

config = json.loads(sys.argv[1])
if config["data"] == "clustered":
    base, queries, _, _ = b.clustered_set(config["points"], 1000)
else:
    base, queries = b.text_set()
base = np.ascontiguousarray(base, dtype=np.float32)
ids = np.arange(len(base), dtype=np.uint64)
kind, workers = config["kind"], config["workers"]
out = {{}}
with open('/proc/self/clear_refs', 'w') as f:
    f.write('5')
before = status('VmRSS:')
if kind == "tarnwick":
    import tarnwick
    store = tarnwick.VectorStorage()
    start = time.perf_counter()
    store.batch_upsert(ids, base)
    out["seconds"] = time.perf_counter() - start
elif kind == "tarnwick-loop":
    import tarnwick
    store = tarnwick.VectorStorage()
    rows = base.tolist()
    before = status('VmRSS:')
    start = time.perf_counter()
    for i, row in enumerate(rows):
        store.upsert(i, row, None)
    out["seconds"] = time.perf_counter() - start
elif kind == "hnswlib":
    import hnswlib
    index = hnswlib.Index(space="cosine", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=16, ef_construction=64, random_seed=1)
    start = time.perf_counter()
    index.add_items(base, ids, num_threads=workers)
    out["seconds"] = time.perf_counter() - start
elif kind == "usearch":
    from usearch.index import Index
    index = Index(ndim=base.shape[1], metric="cos", connectivity=16, expansion_add=64)
    start = time.perf_counter()
    index.add(ids, base, threads=workers)
    out["seconds"] = time.perf_counter() - start
elif kind == "faiss":
    import faiss
    faiss.omp_set_num_threads(workers)
    index = faiss.IndexHNSWFlat(base.shape[1], 16, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = 64
    normed = base / np.linalg.norm(base, axis=1, keepdims=True)
    start = time.perf_counter()
    index.add(normed)
    out["seconds"] = time.perf_counter() - start
out["peak_rise"] = status('VmHWM:') - before
out["final_rise"] = status('VmRSS:') - before
out["input_bytes"] = base.nbytes
if kind.startswith("tarnwick") and config.get("recall"):
    truth = b.cosine_truth(base, queries, 10)
    found = [[i for i, _ in store.search(q, 10, "cosine")] for q in queries.tolist()]
    out["recall"] = b.recall(found, truth)
print(json.dumps(out))
"""


def installed(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def run(config, repeats):
    """Best (fastest) of `repeats` fresh processes."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(config["workers"])
    env["OMP_NUM_THREADS"] = str(config["workers"])
    best = None
    for _ in range(repeats):
        done = subprocess.run([sys.executable, "-c", CHILD.format(here=str(HERE)), json.dumps(config)],
                              env=env, capture_output=True, text=True, check=True)
        result = json.loads(done.stdout.strip().splitlines()[-1])
        if best is None or result["seconds"] < best["seconds"]:
            best = result
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--skip-text", action="store_true")
    parser.add_argument("--suffix", default="",
                        help="appended to the result names (for example _avx2); no plot is drawn with one")
    parser.add_argument("--peers", default="hnswlib,usearch,faiss",
                        help="the peers to run, comma-separated")
    args = parser.parse_args()
    RESULTS.mkdir(exist_ok=True)
    lines, curves = [], {}

    def report(text):
        print(text, flush=True)
        lines.append(text)

    report(f"# command: .venv/bin/python bench/bench_ingest.py {' '.join(sys.argv[1:])}".rstrip())
    report(f"# machine: {os.cpu_count()} logical CPUs shared with other jobs, load average "
           f"{os.getloadavg()[0]:.1f} at start; every figure is the best of {args.repeats} runs, "
           "each in a fresh process, all in this one run")
    report(f"# kernels: TARNWICK_SCAN_KERNELS={os.environ.get('TARNWICK_SCAN_KERNELS', 'auto')} "
           "(builds measure with the set's fast reassociated dot)")
    peers = [p for p in args.peers.split(",") if p and installed(p)]
    datasets = [("clustered", f"clustered {args.points} x 128")]
    if not args.skip_text:
        datasets.append(("text", "sentence embeddings 30,000 x 384"))
    for data, title in datasets:
        report(f"\n# {title}")
        rates = {}
        for kind in ["tarnwick"] + peers:
            for workers in (1, 2):
                config = {"data": data, "points": args.points, "kind": kind, "workers": workers,
                          "recall": kind == "tarnwick" and workers == 2}
                result = run(config, args.repeats)
                count = args.points if data == "clustered" else 30_000
                rates[(kind, workers)] = count / result["seconds"]
                extra = ""
                if kind == "tarnwick":
                    store_bytes = result["final_rise"]
                    bound = store_bytes + 1.2 * result["input_bytes"]
                    extra = (f"; peak memory rise {result['peak_rise'] / 2**20:.0f} MiB against final store "
                             f"{store_bytes / 2**20:.0f} MiB + 1.2 x input {result['input_bytes'] / 2**20:.0f} MiB"
                             f" = {bound / 2**20:.0f} MiB ({'within' if result['peak_rise'] <= bound else 'OVER'})")
                    if "recall" in result:
                        extra += f"; recall@10 {result['recall']:.4f}"
                report(f"{kind:9s} {workers} worker{'s' if workers > 1 else ' '}: "
                       f"{rates[(kind, workers)]:8.0f} points/s ({result['seconds']:.2f} s){extra}")
        loop = run({"data": data, "points": args.points, "kind": "tarnwick-loop", "workers": 1,
                    "recall": True}, args.repeats)
        count = args.points if data == "clustered" else 30_000
        report(f"tarnwick upsert loop over lists: {count / loop['seconds']:.0f} points/s "
               f"({1e6 * loop['seconds'] / count:.1f} us per point); recall@10 {loop['recall']:.4f}")
        t1, t2 = rates[("tarnwick", 1)], rates[("tarnwick", 2)]
        report(f"tarnwick 2 workers / 1 worker: {t2 / t1:.2f} (goal >= 1.7)")
        if "hnswlib" in peers:
            h1, h2 = rates[("hnswlib", 1)], rates[("hnswlib", 2)]
            report(f"tarnwick / hnswlib: 1 worker {t1 / h1:.2f}, 2 workers {t2 / h2:.2f} (goal >= 1); "
                   f"upsert loop per point / hnswlib 1 thread per point: {h1 * loop['seconds'] / count:.2f} "
                   "(goal <= 1)")
        curves[title] = {f"{kind}": [rates[(kind, 1)], rates[(kind, 2)]] for kind in ["tarnwick"] + peers}

    (RESULTS / f"ingest{args.suffix}.txt").write_text("\n".join(lines) + "\n")
    if not args.suffix:
        plot(curves)


def plot(curves):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, len(curves), figsize=(5.5 * len(curves), 4.2), squeeze=False)
    for ax, (title, series) in zip(axes[0], curves.items()):
        for name, (one, two) in series.items():
            ax.plot([1, 2], [one, two], "o-", label=name)
        ax.set_xticks([1, 2])
        ax.set_xlabel("worker threads")
        ax.set_ylabel("points inserted per second")
        ax.set_title(title)
        ax.grid(True, alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(RESULTS / "ingest_workers.png", dpi=110)


if __name__ == "__main__":
    main()
