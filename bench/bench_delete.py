"""Deletion benchmark on bench_graph's clustered set (100,000 x 128, cosine).

1. Delete a random 30% of the points, then search: recall@10 against the exact
   top 10 of the remaining points, beside a store built fresh from them; and
   whether any deleted id comes back.
2. Ten rounds of deleting 30% and inserting as many new points (the deleted
   vectors under new ids): resident memory after each round against after the
   first build, and recall after the tenth round beside a fresh build of the
   same points.
3. The time of one delete and of a batch_delete of 10,000 ids, against one upsert.

Usage: .venv/bin/python bench/bench_delete.py [--points N] [--rounds R]
Writes bench/results/delete.txt.
"""
import argparse
import ctypes
import gc
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_graph as b  # noqa: E402

import tarnwick  # noqa: E402


LIBC = ctypes.CDLL("libc.so.6")


def rss():
    """Resident memory once the allocator has handed back what it holds free
    (NumPy's temporary copies and the like), so that what is left is held."""
    gc.collect()
    LIBC.malloc_trim(0)
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024


def build(ids, vectors):
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.asarray(ids, dtype=np.uint64), np.ascontiguousarray(vectors))
    return store


def recall_of(store, ids, vectors, queries):
    truth = ids[b.cosine_truth(vectors, queries, 10)]
    found = [[i for i, _ in store.search(q, 10, "cosine")] for q in queries.tolist()]
    return b.recall(found, truth), found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=10)
    args = parser.parse_args()
    lines = []

    def report(text):
        print(text, flush=True)
        lines.append(text)

    report(f"# command: .venv/bin/python bench/bench_delete.py {' '.join(sys.argv[1:])}".rstrip())
    report(f"# machine: {os.cpu_count()} logical CPUs shared with other jobs, load average "
           f"{os.getloadavg()[0]:.1f} at start; RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")
    base, queries, _, _ = b.clustered_set(args.points, 1000)
    rng = np.random.default_rng(7)
    ids = np.arange(len(base), dtype=np.int64)

    # 1. one deletion of 30%
    store = build(ids, base)
    gone = rng.choice(len(base), size=len(base) * 3 // 10, replace=False)
    start = time.perf_counter()
    removed = store.batch_delete(gone)
    delete_seconds = time.perf_counter() - start
    kept = np.setdiff1d(ids, gone)
    after, found = recall_of(store, kept, base[kept], queries)
    leaked = len(set(gone.tolist()) & {i for f in found for i in f})
    fresh, _ = recall_of(build(kept, base[kept]), kept, base[kept], queries)
    report(f"delete 30% ({removed} points) in one batch_delete: {delete_seconds:.2f} s")
    report(f"recall@10 after: {after:.4f}; fresh build of the remaining points: {fresh:.4f} "
           f"(difference {after - fresh:+.4f}, goal >= -0.02: {'met' if after >= fresh - 0.02 else 'NOT met'}); "
           f"deleted ids returned: {leaked}")
    del store

    # 2. rounds of churn
    store = build(ids, base)
    live_ids, live_vectors = ids.copy(), base.copy()  # before the measure: they are the benchmark's own
    first = rss()
    next_id = len(base)
    for round_number in range(1, args.rounds + 1):
        pick = rng.choice(len(live_ids), size=len(live_ids) * 3 // 10, replace=False)
        store.batch_delete(live_ids[pick])
        new_ids = np.arange(next_id, next_id + len(pick), dtype=np.int64)
        next_id += len(pick)
        store.batch_upsert(new_ids.astype(np.uint64), np.ascontiguousarray(live_vectors[pick]))
        live_ids[pick] = new_ids
        report(f"round {round_number:2d}: {len(store)} points, resident memory {rss() / 2**20:.0f} MiB "
               f"({rss() / first:.2f} x after the first build)")
    ratio = rss() / first
    churned, _ = recall_of(store, live_ids, live_vectors, queries)
    fresh, _ = recall_of(build(live_ids, live_vectors), live_ids, live_vectors, queries)
    report(f"after {args.rounds} rounds: memory {ratio:.2f} x the first build (goal <= 1.2: "
           f"{'met' if ratio <= 1.2 else 'NOT met'}); recall@10 {churned:.4f}, fresh build "
           f"{fresh:.4f} (difference {churned - fresh:+.4f}, goal >= -0.02: "
           f"{'met' if churned >= fresh - 0.02 else 'NOT met'})")

    # 3. single operations
    spare = base[: 200].tolist()
    timings = {}
    for name, action in [
        ("upsert", lambda k: store.upsert(int(10**9 + k), spare[k], None)),
        ("delete", lambda k: store.delete(int(live_ids[k]))),
    ]:
        start = time.perf_counter()
        for k in range(200):
            action(k)
        timings[name] = (time.perf_counter() - start) / 200
    batch = live_ids[1000:11000]
    start = time.perf_counter()
    store.batch_delete(batch)
    timings["batch_delete of 10,000"] = time.perf_counter() - start
    report(f"one upsert {timings['upsert'] * 1e3:.3f} ms; one delete {timings['delete'] * 1e3:.3f} ms "
           f"({timings['delete'] / timings['upsert']:.1f} x an upsert); batch_delete of 10,000 ids "
           f"{timings['batch_delete of 10,000'] * 1e3:.0f} ms "
           f"({timings['batch_delete of 10,000'] / 10_000 / timings['upsert']:.2f} x an upsert per id)")
    (HERE / "results" / "delete.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
