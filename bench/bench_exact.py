"""Exact scan speed against a NumPy brute force, upsert throughput and memory.

Run:  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python bench/bench_exact.py
Writes bench/results/exact.txt. Both sides run on one thread.
"""
import argparse
import gc
import os
import platform
import statistics
import time
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

import tarnwick


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def time_per_query(run, queries, repeats):
    """Median over repeats of the mean seconds per query."""
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        for q in queries:
            run(q)
        samples.append((time.perf_counter() - start) / len(queries))
    return statistics.median(samples)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "exact.txt"))
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    data = rng.standard_normal((args.points, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    rows = data.tolist()
    query_lists = queries.tolist()

    gc.collect()
    store = tarnwick.VectorStorage()
    before = resident_bytes()
    start = time.perf_counter()
    for pid, row in enumerate(rows):
        store.upsert(pid, row, None)
    upsert_seconds = time.perf_counter() - start
    per_point = (resident_bytes() - before) / args.points

    lines = []
    say = lines.append
    say(f"tarnwick exact scan: {args.points} points, dim {args.dim}, limit 10, {args.queries} queries, "
        f"median of {args.repeats}")
    say(f"machine: {platform.machine()}, {os.cpu_count()} logical CPUs; "
        f"load average {os.getloadavg()[0]:.2f} at start")
    say(f"upsert from Python lists: {args.points / upsert_seconds:,.0f} points/s "
        f"({upsert_seconds:.2f} s for {args.points})")
    say(f"resident memory added by the store: {per_point:.1f} bytes/point "
        f"(vector alone: {4 * args.dim} bytes)")

    with threadpool_limits(limits=1):
        blas = [f"{i['internal_api']} {i['architecture']} threads={i['num_threads']}" for i in threadpool_info()]

        def numpy_search(q):
            scores = data @ q
            top = np.argpartition(-scores, 10)[:10]
            return top[np.argsort(-scores[top])]

        numpy_seconds = time_per_query(numpy_search, queries, args.repeats)
        say(f"numpy brute force (X @ q + argpartition, {', '.join(blas)}): "
            f"{numpy_seconds * 1e3:.3f} ms/query")
        for metric in ("dot", "cosine", "euclidean"):
            seconds = time_per_query(lambda q: store.search(q, 10, metric), query_lists, args.repeats)
            say(f"tarnwick search {metric:9s}: {seconds * 1e3:.3f} ms/query, "
                f"{seconds / numpy_seconds:.2f}x numpy's time")

    text = "\n".join(lines) + "\n"
    print(text, end="")
    Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
