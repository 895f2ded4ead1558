"""Exact scan speed against a NumPy brute force, upsert throughput and memory.

Run:  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python bench/bench_exact.py
Writes bench/results/exact.txt. Both sides run on one thread.
"""
import argparse
import gc
import os
import platform
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

import tarnwick


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def write_points_only_snapshot(path, data):
    """A snapshot of the points with no payloads and an empty graph."""
    dim = varint(data.shape[1])
    with open(path, "wb") as out:
        out.write(varint(len(data)))
        for pid, row in enumerate(data.astype("<f4")):
            out.write(varint(pid) + varint(pid) + dim + row.tobytes() + b"\x00")
        out.write(varint(16) + varint(64) + varint(32) + b"\x00" + varint(0) + varint(0))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "exact.txt"))
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    data = rng.standard_normal((args.points, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    rows = data.tolist()
    query_lists = queries.tolist()

    lines = []
    say = lines.append
    say(f"tarnwick exact scan: {args.points} points, dim {args.dim}, limit 10, {args.queries} queries, "
        f"{args.repeats} rounds, each timing NumPy then tarnwick's three metrics")
    say(f"machine: {platform.machine()}, {os.cpu_count()} logical CPUs; "
        f"load average {os.getloadavg()[0]:.2f} at start")
    say(f"kernels: TARNWICK_SCAN_KERNELS={os.environ.get('TARNWICK_SCAN_KERNELS', 'auto')}, "
        f"TARNWICK_BOUNDS={os.environ.get('TARNWICK_BOUNDS', 'on')} (the scan's first pass reads "
        f"the one-byte codes, then scores the points that can still be among the best)")

    # A store without a graph entry point answers every query by the exact scan,
    # whatever its size: load one from a snapshot that holds the points only.
    gc.collect()
    store = tarnwick.VectorStorage()
    before = resident_bytes()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "points.snapshot")
        write_points_only_snapshot(path, data)
        store.load(path)
    say(f"resident memory of the points alone (loaded, no graph): "
        f"{(resident_bytes() - before) / args.points:.1f} bytes/point (vector alone: {4 * args.dim} bytes)")

    gc.collect()
    built = tarnwick.VectorStorage()
    before = resident_bytes()
    start = time.perf_counter()
    for pid, row in enumerate(rows):
        built.upsert(pid, row, None)
    upsert_seconds = time.perf_counter() - start
    say(f"upsert from Python lists, graph included: {args.points / upsert_seconds:,.0f} points/s "
        f"({upsert_seconds:.2f} s for {args.points}); resident memory with the graph "
        f"{(resident_bytes() - before) / args.points:.1f} bytes/point")
    del built

    with threadpool_limits(limits=1):
        blas = [f"{i['internal_api']} {i['architecture']} threads={i['num_threads']}" for i in threadpool_info()]

        def numpy_search(q):
            scores = data @ q
            top = np.argpartition(-scores, 10)[:10]
            return top[np.argsort(-scores[top])]

        agree = all([pid for pid, _ in store.search(q, 10, "dot")] == numpy_search(np.asarray(q, np.float32)).tolist()
                    for q in query_lists[:20])
        say(f"tarnwick's top 10 by inner product equal numpy's on the first 20 queries: {agree}")
        # Rounds alternate between NumPy and each metric, so that a slow spell of
        # the shared machine falls on both sides alike.
        runs = {"numpy": lambda: [numpy_search(q) for q in queries]}
        for metric in ("dot", "cosine", "euclidean"):
            runs[metric] = lambda metric=metric: [store.search(q, 10, metric) for q in query_lists]
        samples = {name: [] for name in runs}
        for _ in range(args.repeats):
            for name, run in runs.items():
                start = time.perf_counter()
                run()
                samples[name].append((time.perf_counter() - start) / len(queries))
        numpy_best, numpy_median = min(samples["numpy"]), statistics.median(samples["numpy"])
        say(f"numpy brute force (X @ q + argpartition, {', '.join(blas)}): "
            f"{numpy_best * 1e3:.3f} ms/query best, {numpy_median * 1e3:.3f} median")
        # The machine's read bandwidth on one thread, as the fastest streaming
        # of the same matrix measured: OpenBLAS's X @ q reads it once.
        passes = []
        for q in queries[: args.repeats * 4]:
            start = time.perf_counter()
            data @ q
            passes.append(time.perf_counter() - start)
        bandwidth = data.nbytes / min(passes) / 1e9
        say(f"read bandwidth, one thread (fastest X @ q over the {data.nbytes / 1e6:.1f} MB matrix): "
            f"{bandwidth:.1f} GB/s")
        for metric in ("dot", "cosine", "euclidean"):
            best, median = min(samples[metric]), statistics.median(samples[metric])
            rate = data.nbytes / best / 1e9
            say(f"tarnwick search {metric:9s}: {best * 1e3:.3f} ms/query best ({best / numpy_best:.2f}x "
                f"numpy's best), {median * 1e3:.3f} median ({median / numpy_median:.2f}x numpy's median); "
                f"{rate:.1f} GB/s of vectors at best ({rate / bandwidth:.0%} of the read bandwidth)")
        worst = max(min(samples[m]) / numpy_best for m in ("dot", "cosine", "euclidean"))
        say(f"worst metric: {worst:.2f}x numpy's best (goal <= 0.5: {'met' if worst <= 0.5 else 'NOT met'})")

    text = "\n".join(lines) + "\n"
    print(text, end="")
    Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
