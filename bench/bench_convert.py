"""What converting the arguments costs: NumPy arrays read as buffers against the
same vectors as Python lists, and against the item-by-item walk arrays took before.

- batch_search of a 10,000 x 128 float32 array on a store of --points points,
  and the share of that call spent converting. The conversion is timed as
  batch_search of the same queries on an empty store: conversion, dispatch and
  10,000 empty result lists, so an upper bound on the conversion alone.
- per-call cost of search (on an empty store: binding, conversion and nothing
  else) and of upsert (replacing the one point of a one-point store) with a
  1-D float32 array, a list, and the walk.

Every round times every configuration once, in turn, so that load from other
processes falls on all alike; the best of --repeats rounds is reported.

    .venv/bin/python bench/bench_convert.py                 # 100,000 points
    .venv/bin/python bench/bench_convert.py --points 20000 --repeats 3
"""

import argparse
import os
import platform
import sys
import time

import numpy as np

import tarnwick
from bench_batch import load_average  # the same line of machine state in both reports

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")


class Walked:
    """The same items from a plain sequence: the item-by-item walk every array
    took before buffers were read."""

    def __init__(self, obj, depth=1):
        self.obj, self.depth = obj, depth

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, index):
        return self.obj[index]

    def __iter__(self):
        return iter(self.obj) if self.depth == 1 else map(Walked, self.obj)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--limit", type=int, default=10)
    parser.add_argument("--calls", type=int, default=20_000, help="calls per per-call timing")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", default=os.path.join(RESULTS, "convert.txt"))
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    data = rng.standard_normal((args.points, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    query_lists = queries.tolist()
    vector, vector_list = queries[0].copy(), queries[0].tolist()

    load_before = load_average()
    store = tarnwick.VectorStorage()
    started = time.perf_counter()
    store.batch_upsert(np.arange(args.points, dtype=np.uint64), data)
    build_seconds = time.perf_counter() - started
    empty = tarnwick.VectorStorage()
    single = tarnwick.VectorStorage()
    single.upsert(0, vector_list, None)

    if store.batch_search(queries, args.limit, "cosine") != store.batch_search(query_lists, args.limit, "cosine"):
        raise SystemExit("the array and the lists gave different answers")

    def batch(target, form):
        return lambda: target.batch_search(form, args.limit, "cosine")

    def calls(method, form, count):
        if method == "search":
            return lambda: [empty.search(form, args.limit, "cosine") for _ in range(count)]
        return lambda: [single.upsert(0, form, None) for _ in range(count)]

    # The walk is slow: a tenth of the calls; every figure is per call.
    few = max(1, args.calls // 10)
    configurations = {
        "batch_search, store, array": (batch(store, queries), 1),
        "batch_search, store, lists": (batch(store, query_lists), 1),
        "convert (empty store), array": (batch(empty, queries), 1),
        "convert (empty store), lists": (batch(empty, query_lists), 1),
        "convert (empty store), walk": (batch(empty, Walked(queries, depth=2)), 1),
    }
    for method in ("search", "upsert"):
        configurations[f"{method} call, array"] = (calls(method, vector, args.calls), args.calls)
        configurations[f"{method} call, list"] = (calls(method, vector_list, args.calls), args.calls)
        configurations[f"{method} call, walk"] = (calls(method, Walked(vector), few), few)
    seconds = {name: [] for name in configurations}
    for _ in range(args.repeats):
        for name, (run, count) in configurations.items():
            started = time.perf_counter()
            run()
            seconds[name].append((time.perf_counter() - started) / count)
    best = {name: min(values) for name, values in seconds.items()}

    lines = [
        f"argument conversion: store of {args.points} points, d={args.dim}, {args.queries} queries, "
        f"limit {args.limit}, cosine, best of {args.repeats} rounds",
        f"machine: {platform.machine()}, {os.cpu_count()} logical processors (shared); "
        f"load average before {load_before}, after {load_average()}",
        f"store build (batch_upsert of the array): {build_seconds:.1f} s; "
        "answers to the array identical to the lists'",
        "",
        f"{'batch_search of ' + str(args.queries) + ' queries':<36}{'ms':>10}{'share of call':>16}",
    ]
    for form in ("array", "lists"):
        lines.append(f"{'  whole call, ' + form:<36}{best['batch_search, store, ' + form] * 1e3:>10.1f}")
    for form in ("array", "lists", "walk"):
        convert = best["convert (empty store), " + form]
        # The walk's call: the array's, with the walk's conversion in place of the read.
        total = best[f"batch_search, store, {'lists' if form == 'lists' else 'array'}"]
        if form == "walk":
            total += convert - best["convert (empty store), array"]
        lines.append(f"{'  converting, ' + form:<36}{convert * 1e3:>10.2f}{convert / total * 100:>15.2f}%")
    lines += ["", f"{'per call, d=' + str(args.dim):<36}{'us':>10}{'vs list':>16}"]
    for method in ("search", "upsert"):
        for form in ("array", "list", "walk"):
            value = best[f"{method} call, {form}"]
            lines.append(f"{'  ' + method + ', ' + form:<36}{value * 1e6:>10.2f}"
                         f"{value / best[method + ' call, list']:>16.2f}")
    lines.append("")
    lines.append("converting: batch_search of the queries on an empty store (an upper bound); search "
                 "calls on an empty store; upsert calls replace the one point of a one-point store; "
                 "walk: the array walked item by item, as before buffers were read")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    mode = "a" if os.path.exists(args.out) and os.path.getsize(args.out) > 0 else "w"
    with open(args.out, mode) as out:
        if mode == "a":
            out.write("\n")
        out.write(f"$ {' '.join([os.path.relpath(__file__)] + sys.argv[1:])}\n")
        out.write(text)


if __name__ == "__main__":
    main()
