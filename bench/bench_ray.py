"""Throughput of batch_upsert and batch_search: one in-process VectorStorage
against a ShardedVectorStorage of 1 and of 2 Ray actors on a local Ray.

Every round builds each configuration afresh from the same seeded data (new
actors; their start is not timed), times one batch_upsert of all points and one
batch_search of all queries, configurations in turn so that they share the
machine's state; the best of --repeats rounds is reported. Recall@limit against
a NumPy brute force is measured once per configuration on a sample of queries
(the graph path: each shard walks its own graph, and the merge keeps the best).

Worker threads: the in-process store and the single shard use the machine's
default pool (one thread per logical processor); each of 2 shards gets
--threads-per-shard (default 1), so both use as many threads in all.

    scripts/setup.sh ray && .venv/bin/python bench/bench_ray.py
    .venv/bin/python bench/bench_ray.py --points 50000 --repeats 5
"""
import argparse
import os
import platform
import time

import numpy as np
import ray

import tarnwick
from tarnwick_ray import ShardedVectorStorage

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
RECALL_SAMPLE = 200


def exact_top(data, queries, limit):
    normed = data / np.linalg.norm(data, axis=1, keepdims=True)
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    top = np.argpartition(-(q @ normed.T), limit, axis=1)[:, :limit]
    return [set(row.tolist()) for row in top]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=20_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=5_000)
    parser.add_argument("--limit", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads-per-shard", type=int, default=1)
    parser.add_argument("--seed", type=int, default=2027)
    parser.add_argument("--out", default=os.path.join(RESULTS, "ray.txt"))
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    data = rng.standard_normal((args.points, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    ids = np.arange(args.points, dtype=np.uint64)
    truth = exact_top(data, queries[:RECALL_SAMPLE], args.limit)

    load_before = os.getloadavg()
    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False)
    configurations = {
        "in-process VectorStorage": lambda: tarnwick.VectorStorage(),
        "ShardedVectorStorage, 1 actor": lambda: ShardedVectorStorage(1),
        "ShardedVectorStorage, 2 actors": lambda: ShardedVectorStorage(
            2, threads_per_shard=args.threads_per_shard),
    }
    upsert = {name: [] for name in configurations}
    search = {name: [] for name in configurations}
    recall = {}
    for round_ in range(args.repeats):
        for name, make in configurations.items():
            store = make()
            started = time.perf_counter()
            store.batch_upsert(ids, data)
            upsert[name].append(time.perf_counter() - started)
            assert len(store) == args.points
            store.batch_search(queries[:64], args.limit, "cosine")  # pools started, caches warm
            started = time.perf_counter()
            results = store.batch_search(queries, args.limit, "cosine")
            search[name].append(time.perf_counter() - started)
            if round_ == 0:
                hits = sum(len(t & {i for i, _ in r}) for t, r in zip(truth, results))
                recall[name] = hits / (args.limit * len(truth))
            if isinstance(store, ShardedVectorStorage):
                for actor in store.actors:
                    ray.kill(actor)
            del store
    ray.shutdown()
    load_after = os.getloadavg()

    base = "in-process VectorStorage"
    lines = [
        f"$ bench/bench_ray.py --points {args.points} --dim {args.dim} --queries {args.queries} "
        f"--repeats {args.repeats} --threads-per-shard {args.threads_per_shard}",
        f"batch_upsert of {args.points} points (d={args.dim}) and batch_search of {args.queries} "
        f"queries (limit {args.limit}, cosine); best of {args.repeats} rounds",
        f"machine: {platform.machine()}, {os.cpu_count()} logical processors shared with other "
        f"jobs; load average before {' '.join(f'{x:.2f}' for x in load_before)}, "
        f"after {' '.join(f'{x:.2f}' for x in load_after)}",
        f"ray {ray.__version__}, local (ray.init() on this machine); 2 actors: "
        f"{args.threads_per_shard} search thread(s) each",
        "",
        f"{'configuration':34} {'upsert pts/s':>13} {'vs in-proc':>10} {'search QPS':>11} "
        f"{'vs in-proc':>10} {'recall@' + str(args.limit):>10}",
    ]
    for name in configurations:
        up = args.points / min(upsert[name])
        qps = args.queries / min(search[name])
        lines.append(
            f"{name:34} {up:13,.0f} {up / (args.points / min(upsert[base])):10.2f} "
            f"{qps:11,.0f} {qps / (args.queries / min(search[base])):10.2f} {recall[name]:10.4f}")
    lines.append("")
    lines.append("seconds per round (upsert / search):")
    for name in configurations:
        rounds = ", ".join(f"{u:.2f}/{s:.2f}" for u, s in zip(upsert[name], search[name]))
        lines.append(f"  {name}: {rounds}")
    text = "\n".join(lines) + "\n"
    print(text)
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main()
