"""Two builds of the module side by side on graph construction: each builds
bench_graph's clustered set (100,000 x 128) with batch_upsert in turn, round
after round, and then each graph is searched at several beams, the two
alternating slice by slice, so that a slow spell of the shared machine falls
on both alike. Reports each build's best build time and, per beam, recall@10
and the best queries per second over the slices.

Usage: .venv/bin/python bench/bench_build_ab.py BEFORE_DIR AFTER_DIR [--rounds N] [--out FILE]
(each directory holds one built tarnwick module; the worker count is
RAYON_NUM_THREADS, read once per build's pool).
"""
import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_ab import load_build  # noqa: E402
import bench_graph as b  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out")
    args = parser.parse_args()
    base, queries, _, _ = b.clustered_set(100_000, 1000)
    truth = b.cosine_truth(base, queries, 10)
    builds = {"before": load_build(args.before), "after": load_build(args.after)}
    ids = np.arange(len(base), dtype=np.uint64)
    best_build = {name: float("inf") for name in builds}
    stores = {}
    for round_number in range(args.rounds):
        order = list(builds) if round_number % 2 == 0 else list(reversed(builds))
        for name in order:
            store = builds[name].VectorStorage()
            start = time.perf_counter()
            store.batch_upsert(ids, base)
            best_build[name] = min(best_build[name], time.perf_counter() - start)
            stores[name] = store  # the last round's graph is searched
    rows = queries.tolist()
    lines = [f"# {' '.join(sys.argv)}",
             f"# RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, load average "
             f"{os.getloadavg()[0]:.1f}; best of {args.rounds} builds each, alternating"]
    for name in builds:
        lines.append(f"{name}: build {best_build[name]:.2f} s ({len(base) / best_build[name]:,.0f} points/s)")
    for ef in (16, 32, 64, 128):
        qps, recall = {}, {}
        for name, store in stores.items():
            store.ef_search = ef
            found = [[i for i, _ in store.search(q, 10, "cosine")] for q in rows]
            recall[name] = b.recall(found, truth)
            qps[name] = 0.0
        for _ in range(5):
            for name, store in stores.items():
                start = time.perf_counter()
                for q in rows[:200]:
                    store.search(q, 10, "cosine")
                qps[name] = max(qps[name], 200 / (time.perf_counter() - start))
        lines.append(f"ef {ef}: " + "; ".join(f"{n} recall@10 {recall[n]:.4f} at {qps[n]:,.0f} QPS"
                                             for n in stores))
    text = "\n".join(lines)
    print(text)
    if args.out:
        Path(args.out).write_text(text + "\n")


if __name__ == "__main__":
    main()
