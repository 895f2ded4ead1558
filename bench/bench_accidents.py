"""Things users do by accident, on each build named: near-copies of one vector
(recall of both walks against hnswlib), a first point of another length
deleted, kept or replaced once the data has arrived (build and query time
against a fresh store), a broad `where` on a key whose values are all distinct (fast walk
against the unfiltered one), and payload keys unique to each point under
churn, one that empties the store and one that keeps 1,000 points (resident memory), an $and of two broad
conditions that meet in ten points (time per query), 2% zero vectors under
Euclidean walks (recall, answers of zero vectors only), re-upserts of every
id (their time and query time after), and 1 KB document texts in the payloads (resident memory). Each build runs in its own
process per scenario; processor time, best of --repeats.

    .venv/bin/python bench/bench_accidents.py --builds this=build/dev,prev=PREV_BUILD_DIR [--repeats 3]
Appends to bench/results/accidents{suffix}.txt.
"""
import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

SCENARIOS = {
    "near_copies": r"""
import numpy as np, hnswlib, tarnwick
rng = np.random.default_rng(0)
n, d = 10_000, 32
center = rng.normal(size=d).astype(np.float32)
X = (center + 0.01 * rng.normal(size=(n, d))).astype(np.float32)
Q = (center + 0.01 * rng.normal(size=(200, d))).astype(np.float32)
truth = np.argsort(-(Q @ (X / np.linalg.norm(X, axis=1, keepdims=True)).T), axis=1)[:, :10]
rec = lambda found: float(np.mean([len(set(t) & set(f)) / 10 for t, f in zip(truth, found)]))
s = tarnwick.VectorStorage(); s.batch_upsert(np.arange(n, dtype=np.uint64), X)
h = hnswlib.Index("cosine", d); h.init_index(n, 16, 64); h.add_items(X, np.arange(n)); h.set_ef(32)
out = {"default walk": rec([[i for i, _ in r] for r in s.batch_query(Q, 10, ef=32)]),
       "fast walk": rec([[i for i, _ in r] for r in s.batch_query(Q, 10, ef=32, early_stop=True)]),
       "hnswlib": rec(h.knn_query(Q, 10)[0])}
""",
    "probe_length": r"""
import time, numpy as np, tarnwick
rng = np.random.default_rng(0)
X = rng.normal(size=(30_000, 64)).astype(np.float32); Q = rng.normal(size=(200, 64)).astype(np.float32)
out = {}
for label in ("fresh", "a 3-d probe deleted", "kept", "replaced"):
    s = tarnwick.VectorStorage()
    if label != "fresh":
        s.upsert(10**12, [1.0, 2.0, 3.0], None)
    if label == "a 3-d probe deleted":
        s.delete(10**12)
    t = time.process_time(); s.batch_upsert(np.arange(len(X), dtype=np.uint64), X)
    out[label + ": build s"] = time.process_time() - t
    if label == "replaced":
        s.upsert(10**12, X[0], None)
    for early_stop in (True, False):
        t = time.thread_time()
        for q in Q: s.query(q, 10, early_stop=early_stop)
        out[label + (": fast" if early_stop else ": default") + " query ms"] = (time.thread_time() - t) / len(Q) * 1e3
""",
    "broad_where": r"""
import time, numpy as np, tarnwick
rng = np.random.default_rng(0)
n = 100_000
s = tarnwick.VectorStorage()
s.batch_upsert(np.arange(n, dtype=np.uint64), rng.normal(size=(n, 32)).astype(np.float32),
               [{"u": i} for i in range(n)])
Q = rng.normal(size=(200, 32)).astype(np.float32)
def per_query(where):
    t = time.thread_time()
    for q in Q: s.query(q, 10, where=where, early_stop=True)
    return (time.thread_time() - t) / len(Q) * 1e3
plain = per_query(None)
out = {"unfiltered ms": plain, "u exists / unfiltered": per_query({"u": {"$exists": True}}) / plain,
       "u >= 0 / unfiltered": per_query({"u": {"$gte": 0}}) / plain}
""",
    "rare_and": r"""
import time, numpy as np, tarnwick
rng = np.random.default_rng(0)
n = 100_000
payloads = [{"lang": "en" if i % 2 == 0 else "de", "recent": int(i % 2 == 1 or i % 10_000 == 0)}
            for i in range(n)]
s = tarnwick.VectorStorage()
s.batch_upsert(np.arange(n, dtype=np.uint64), rng.normal(size=(n, 32)).astype(np.float32), payloads)
Q = rng.normal(size=(20, 32)).astype(np.float32)
def per_query(where, early_stop=False):
    t = time.thread_time()
    for q in Q: s.query(q, 10, where=where, early_stop=early_stop)
    return (time.thread_time() - t) / len(Q) * 1e3
out = {"unfiltered ms": per_query(None),
       "lang=en and recent=1 (10 points) ms": per_query({"lang": "en", "recent": 1}),
       "the same, fast walk ms": per_query({"lang": "en", "recent": 1}, True)}
""",
    "zero_vectors": r"""
import numpy as np, tarnwick
rng = np.random.default_rng(2)
X = rng.normal(size=(5000, 8)).astype(np.float32); X[rng.random(5000) < 0.02] = 0.0
Q = rng.normal(size=(600, 8)).astype(np.float32)
truth = np.argsort(((Q[:, None] - X[None]) ** 2).sum(-1), axis=1)[:, :10]
s = tarnwick.VectorStorage(); s.batch_upsert(np.arange(5000, dtype=np.uint64), X)
out = {}
for name, early in (("default walk", False), ("fast walk", True)):
    found = [[i for i, _ in r] for r in s.batch_query(Q, 10, "l2", early_stop=early)]
    out[name + ": recall"] = float(np.mean([len(set(t) & set(f)) / 10 for t, f in zip(truth, found)]))
    out[name + ": zero vectors only"] = sum(not X[f].any() for f in found)
""",
    "reupsert": r"""
import time, numpy as np, tarnwick
rng = np.random.default_rng(0)
n, d = 20_000, 64
C = rng.normal(size=(100, d))
gen = lambda m: (C[rng.integers(0, 100, m)] + 0.6 * rng.normal(size=(m, d))).astype(np.float32)
X, Q = gen(n), gen(500)
s = tarnwick.VectorStorage(); s.batch_upsert(np.arange(n, dtype=np.uint64), X)
def per_query():
    t = time.thread_time()
    for q in Q: s.query(q, 10)
    return (time.thread_time() - t) / len(Q) * 1e3
out = {"fresh: query ms": per_query()}
t = time.process_time(); s.batch_upsert(np.arange(n, dtype=np.uint64), X, [{"run": 2}] * n)
out["same vectors again, new payloads: batch_upsert s"] = time.process_time() - t
t = time.process_time()
for i in range(2000): s.upsert(i, X[i], {"run": 3})
out["same vectors again: upsert us"] = (time.process_time() - t) / 2000 * 1e6
out["same vectors again: query ms"] = per_query()
s.batch_upsert(np.arange(n, dtype=np.uint64), gen(n))
out["every point moved: query ms"] = per_query()
""",
    "document_texts": r"""
import numpy as np, tarnwick
def rss(): return int(open("/proc/self/statm").read().split()[1]) * 4096
n = 20_000
X = np.random.default_rng(0).normal(size=(n, 32)).astype(np.float32)
body = ("lorem ipsum dolor sit amet " * 40)[:992]
payloads = [{"text": f"{i:08d}" + body, "source": "file%d" % (i % 10)} for i in range(n)]
before = rss()
s = tarnwick.VectorStorage(); s.batch_upsert(np.arange(n, dtype=np.uint64), X, payloads)
out = {"1 KB texts: B/point": (rss() - before) / n}
""",
    "unique_keys": r"""
import numpy as np, tarnwick
def rss(): return int(open("/proc/self/statm").read().split()[1]) * 4096 / 2**20
rng = np.random.default_rng(0)
n = 20_000
s = tarnwick.VectorStorage(); X = rng.normal(size=(n, 8)).astype(np.float32)
base = rss()
for round in range(12):
    s.batch_upsert(np.arange(n, dtype=np.uint64), X, [{f"doc-{round}-{i}": i} for i in range(n)])
    s.batch_delete(np.arange(n, dtype=np.uint64))
out = {"MB held by the emptied store after 12 rounds": rss() - base}
kept = tarnwick.VectorStorage()
kept.batch_upsert(np.arange(n, n + 1000, dtype=np.uint64), X[:1000], [{"k": i} for i in range(1000)])
base = rss()
for round in range(12):
    kept.batch_upsert(np.arange(n, dtype=np.uint64), X, [{f"doc-{round}-{i}": i} for i in range(n)])
    kept.batch_delete(np.arange(n, dtype=np.uint64))
out["MB held by a store keeping 1,000 points after 12 rounds"] = rss() - base
""",
}


def run(build, scenario):
    env = dict(os.environ, PYTHONPATH=str(Path(build).resolve()))
    code = SCENARIOS[scenario] + "\nimport json; print(json.dumps(out))\n"
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--builds", required=True)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--suffix", default="")
    parser.add_argument("--only", help="comma-separated scenarios (all by default)")
    args = parser.parse_args()
    builds = dict(item.split("=", 1) for item in args.builds.split(","))
    info = Path("/proc/cpuinfo").read_text()
    cpu = next((l.split(":", 1)[1].strip() for l in info.splitlines() if l.startswith("model name")), "?")
    cpu += " with AVX-512" if "avx512f" in info else " (AVX2, no AVX-512)"
    lines = [f"\n# {' '.join(sys.argv[1:])}; {cpu}, {os.cpu_count()} logical CPUs, "
             f"TARNWICK_SCAN_KERNELS={os.environ.get('TARNWICK_SCAN_KERNELS', 'auto')}; "
             f"best of {args.repeats} (builds alternating; levels are drawn at random, so recall varies a little from run to run: the best run is shown)"]
    for scenario in (args.only.split(",") if args.only else SCENARIOS):
        best = {name: {} for name in builds}
        for _ in range(args.repeats):
            for name, build in builds.items():
                for key, value in run(build, scenario).items():
                    better = max if "walk" in key or key == "hnswlib" else min
                    best[name][key] = better(best[name].get(key, value), value)
        for name in builds:
            cells = "; ".join(f"{k} {v:.3f}" for k, v in best[name].items())
            lines.append(f"{scenario:12s} {name:5s}: {cells}")
    text = "\n".join(lines)
    print(text)
    with open(HERE / "results" / f"accidents{args.suffix}.txt", "a") as out:
        out.write(text + "\n")


if __name__ == "__main__":
    main()
