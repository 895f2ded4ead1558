"""The fast walk with a `where` matching a share of the points (50, 80, 90 and
100%) against the unfiltered fast walk at the same ef: recall@10 against the
exact answer in scope, and time per query, on bench_graph's clustered set
(100k x 128, cosine), each point's "r" being its id mod 10. One query per call,
one thread; at each beam the scopes take turns, and each keeps its best time
over --rounds rounds.

    PYTHONPATH=build/dev .venv/bin/python bench/bench_where_share.py [--rounds N] [--label this]
Appends to bench/results/where_share{suffix}.txt.
"""
import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_graph as graph  # noqa: E402

SWEEP = [10, 16, 32, 64, 128, 256]
SHARES = [None, 5, 8, 9, 10]  # None: no where; else r < share


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--label", default="this")
    parser.add_argument("--suffix", default="")
    args = parser.parse_args()
    import tarnwick
    base, queries, _, _ = graph.clustered_set(100_000, 1000)
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(len(base), dtype=np.uint64), np.ascontiguousarray(base),
                       [{"r": i % 10} for i in range(len(base))])
    truth = {}
    for share in SHARES:
        ids = np.arange(len(base)) if share is None else np.flatnonzero(np.arange(len(base)) % 10 < share)
        truth[share] = ids[graph.cosine_truth(base[ids], queries, 10)]
    rows = [np.ascontiguousarray(q, dtype=np.float32) for q in queries]
    best = {}
    for _ in range(args.rounds):
        for ef in SWEEP:
            for share in SHARES:
                where = None if share is None else {"r": {"$lt": share}}
                start = time.thread_time()
                found = [[i for i, _ in store.query(r, 10, ef=ef, early_stop=True, where=where)]
                         for r in rows]
                seconds = (time.thread_time() - start) / len(rows)
                if (share, ef) not in best or seconds < best[share, ef][1]:
                    best[share, ef] = (graph.recall(found, truth[share]), seconds)
    info = Path("/proc/cpuinfo").read_text()
    cpu = next((l.split(":", 1)[1].strip() for l in info.splitlines() if l.startswith("model name")), "?")
    cpu += " with AVX-512" if "avx512f" in info else " (AVX2, no AVX-512)"
    lines = [f"\n# {args.label}: {Path(tarnwick.__file__).name}; {cpu}, "
             f"{os.cpu_count()} logical CPUs, TARNWICK_SCAN_KERNELS="
             f"{os.environ.get('TARNWICK_SCAN_KERNELS', 'auto')}; best of {args.rounds} rounds, "
             "thread clock, one query per call"]
    for ef in SWEEP:
        ru, tu = best[None, ef]
        cells = [f"unfiltered {ru:.4f} {1e3 * tu:.4f} ms"]
        for share in SHARES[1:]:
            r, t = best[share, ef]
            cells.append(f"{share * 10}%: {r:.4f} x{t / tu:.2f}")
        lines.append(f"ef {ef:4d}: " + "; ".join(cells))
    text = "\n".join(lines)
    print(text)
    with open(HERE / "results" / f"where_share{args.suffix}.txt", "a") as out:
        out.write(text + "\n")


if __name__ == "__main__":
    main()
