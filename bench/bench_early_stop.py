"""The early-stopping beam of `query(early_stop=True)` against hnswlib at equal recall.

bench_graph's clustered set (100,000 x 128, cosine; cached in bench/.cache),
and its text set when bench/.cache/text.npy exists. One thread each. Each
system sweeps its beam; tarnwick's `search` (which expands every point that
entered its beam) is swept as well. Queries per second are interpolated at
fixed recall@10 targets from each sweep, and the ratio reported is tarnwick's
time per query over hnswlib's (goal: at most 0.7). Best of --repeats timings
per beam.

    .venv/bin/python bench/bench_early_stop.py [--points N] [--queries Q] [--repeats R]
"""
import argparse
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_graph import (CACHE, build_hnswlib, build_tarnwick, clustered_set,  # noqa: E402
                         cosine_truth, interpolated_qps, recall)

EFS = [10, 12, 16, 20, 24, 32, 48, 64, 96, 128, 192, 256]
TARGETS = [0.90, 0.95, 0.98, 0.99]


def timed_sweep(run, queries, truth, repeats):
    curve = []
    for ef in EFS:
        best, found = float("inf"), None
        for _ in range(repeats):
            start = time.perf_counter()
            found = [run(q, ef) for q in queries]
            best = min(best, time.perf_counter() - start)
        curve.append((recall(found, truth), len(queries) / best, ef))
    return curve


def compare(name, base, queries, repeats, report):
    truth = cosine_truth(base, queries, 10)
    store, built = build_tarnwick(base)
    index, built_h = build_hnswlib(base, "cosine")
    report(f"\n{name}: {len(base)} x {base.shape[1]}, {len(queries)} queries; builds "
           f"tarnwick {built:.1f} s (all cores), hnswlib {built_h:.1f} s (one thread)")
    rows = queries.tolist()

    def early(q, ef):
        return [i for i, _ in store.query(q, 10, ef=ef, early_stop=True)]

    def plain(q, ef):
        store.ef_search = ef
        return [i for i, _ in store.search(q, 10, "cosine")]

    def peer(q, ef):
        index.set_ef(max(ef, 10))
        return list(index.knn_query(q, k=10, num_threads=1)[0][0])

    curves = {"tarnwick query early_stop": timed_sweep(early, rows, truth, repeats),
              "tarnwick search": timed_sweep(plain, rows, truth, repeats),
              "hnswlib": timed_sweep(peer, queries, truth, repeats)}
    store.ef_search = 32
    for label, curve in curves.items():
        report(f"  {label:27} " + "  ".join(f"ef {ef}: {r:.4f} @ {q:.0f}/s" for r, q, ef in curve))
    report(f"  {'recall@10':>10} {'early_stop QPS':>15} {'search QPS':>11} {'hnswlib QPS':>12} "
           f"{'early/hnswlib time':>19}")
    for target in TARGETS:
        qps = {k: interpolated_qps(c, target) for k, c in curves.items()}
        e, s, h = qps["tarnwick query early_stop"], qps["tarnwick search"], qps["hnswlib"]
        ratio = f"{h / e:.2f}" if e and h else "-"
        fmt = lambda v: f"{v:.0f}" if v else "-"  # noqa: E731
        report(f"  {target:10.2f} {fmt(e):>15} {fmt(s):>11} {fmt(h):>12} {ratio:>19}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    lines = []

    def report(text):
        print(text, flush=True)
        lines.append(text)

    report(f"early_stop vs hnswlib at equal recall@10, best of {args.repeats} per beam")
    report(f"machine: {platform.machine()}, {os.cpu_count()} logical processors; load average "
           f"at start {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    base, queries, _, _ = clustered_set(args.points, args.queries)
    compare("clustered", base, queries, args.repeats, report)
    text = CACHE / "text.npy"
    if text.exists():
        vectors = np.load(text)
        compare("text", vectors[1000:], vectors[:1000][:args.queries], args.repeats, report)
    else:
        report("\ntext set: skipped (bench/.cache/text.npy not made; bench/make_text_embeddings.sh)")
    report(f"load average at end {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
