"""Queries per second of `query` from one Python thread and from two at once.

`query` releases the interpreter lock while the store answers, so two threads
calling it in a loop should answer nearly twice as many queries per second as
one; `search`, which keeps the lock, is timed the same way as the control.
Each round times, in turn, every method with one thread and with two (each of
the two answering the whole query list), and the best of --repeats rounds is
reported. Cases: unfiltered, and filtered on a keyword matching 1% of the
points (answered by the exact scan of its posting list) and on an integer
range matching 50% (answered by the filtered walk).

    .venv/bin/python bench/bench_threads_query.py             # 20,000 x 128, 2,000 queries
    .venv/bin/python bench/bench_threads_query.py --points 100000 --repeats 5
"""

import argparse
import os
import platform
import threading
import time

import numpy as np

import tarnwick


def make_data(points, dim, queries, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((100, dim), dtype=np.float32) * 3
    labels = rng.integers(0, 100, size=points)
    data = centres[labels] + rng.standard_normal((points, dim), dtype=np.float32)
    picked = rng.integers(0, points, size=queries)
    query_vectors = data[picked] + rng.standard_normal((queries, dim), dtype=np.float32) * 0.3
    return data, query_vectors


def timed(threads, call, queries):
    """Seconds for `threads` threads each calling `call` once per query."""
    barrier = threading.Barrier(threads + 1)

    def loop():
        barrier.wait()
        for q in queries:
            call(q)

    workers = [threading.Thread(target=loop) for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    started = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=20_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=2_000)
    parser.add_argument("--limit", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    data, queries = make_data(args.points, args.dim, args.queries, args.seed)
    rng = np.random.default_rng(args.seed + 1)
    ranks = rng.permutation(args.points) % 100
    payloads = [{"tag": f"t{r}", "rank": int(r)} for r in ranks]
    store = tarnwick.VectorStorage()
    started = time.perf_counter()
    store.batch_upsert(np.arange(args.points, dtype=np.uint64), data, payloads)
    build = time.perf_counter() - started
    load_before = os.getloadavg()

    limit = args.limit
    cases = {
        "search (keeps the GIL)": lambda q: store.search(q, limit, "cosine"),
        "query": lambda q: store.query(q, limit),
        "query where tag (1%)": lambda q: store.query(q, limit, where={"tag": "t3"}),
        "query where rank < 50 (50%)": lambda q: store.query(q, limit, where={"rank": {"$lt": 50}}),
    }
    for call in cases.values():  # warm caches and the pool
        for q in queries[:50]:
            call(q)
    best = {(name, threads): float("inf") for name in cases for threads in (1, 2)}
    for _ in range(args.repeats):
        for name, call in cases.items():
            for threads in (1, 2):
                seconds = timed(threads, call, queries)
                best[(name, threads)] = min(best[(name, threads)], seconds)
    load_after = os.getloadavg()

    print(f"query from 1 and 2 Python threads: {args.points} points, d={args.dim}, "
          f"{args.queries} queries per thread, limit {limit}, cosine, best of {args.repeats}")
    print(f"machine: {platform.machine()}, {os.cpu_count()} logical processors; load average "
          f"before {' '.join(f'{x:.2f}' for x in load_before)}, "
          f"after {' '.join(f'{x:.2f}' for x in load_after)}")
    print(f"store build (batch_upsert): {build:.1f} s\n")
    print(f"{'case':32} {'1 thread QPS':>13} {'2 threads QPS':>14} {'ratio':>6}")
    for name in cases:
        one = args.queries / best[(name, 1)]
        two = 2 * args.queries / best[(name, 2)]
        print(f"{name:32} {one:13.0f} {two:14.0f} {two / one:6.2f}")


if __name__ == "__main__":
    main()
