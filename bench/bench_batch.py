"""Queries per second of batch_search on 1 and 2 workers against a loop of search.

Every configuration runs in a fresh interpreter, since the worker pool's size is
read once per process (RAYON_NUM_THREADS). Each child builds the same store from
a seeded data set, times the loop of search and batch_search over the same
queries (best of --repeats), checks that both give identical answers, and
measures recall@limit against a NumPy brute force on a sample of queries. The
path a store takes is reported from that check: a recall of exactly 1.0 with
identical scores is the exact scan, anything else the graph.

    .venv/bin/python bench/bench_batch.py            # 100,000 x 128, 10,000 queries
    .venv/bin/python bench/bench_batch.py --points 20000 --queries 2000
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
RECALL_SAMPLE = 200


def make_data(points, dim, queries, seed):
    rng = np.random.default_rng(seed)
    data = rng.standard_normal((points, dim), dtype=np.float32)
    query_vectors = rng.standard_normal((queries, dim), dtype=np.float32)
    return data, query_vectors


def exact_top(data, queries, limit):
    """Cosine top-`limit` ids per query, by NumPy in float32."""
    normed = data / np.linalg.norm(data, axis=1, keepdims=True)
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    scores = q @ normed.T
    top = np.argpartition(-scores, limit, axis=1)[:, :limit]
    return [set(row.tolist()) for row in top]


def child(args):
    """Runs in the child interpreter: builds, times and prints one JSON line."""
    import tarnwick

    data, queries = make_data(args.points, args.dim, args.queries, args.seed)
    store = tarnwick.VectorStorage()
    started = time.perf_counter()
    for point_id, row in enumerate(data):
        store.upsert(point_id, row.tolist(), None)
    build_seconds = time.perf_counter() - started
    query_lists = queries.tolist()

    store.batch_search(query_lists[:64], args.limit, "cosine")  # builds the pool, warms caches
    report = {"workers": int(os.environ["RAYON_NUM_THREADS"]), "build_seconds": build_seconds}

    def timed(run):
        started = time.perf_counter()
        result = run()
        return time.perf_counter() - started, result

    # Repeats alternate between the two ways, so that load from other processes
    # falls on both alike; the best time of each is kept.
    batch_seconds = loop_seconds = float("inf")
    for _ in range(args.repeats):
        if args.with_loop:
            seconds, loop = timed(lambda: [store.search(q, args.limit, "cosine") for q in query_lists])
            loop_seconds = min(loop_seconds, seconds)
        seconds, batch = timed(lambda: store.batch_search(query_lists, args.limit, "cosine"))
        batch_seconds = min(batch_seconds, seconds)
        if args.with_loop and loop != batch:
            raise SystemExit("batch_search and search disagree")
    report["batch_qps"] = len(query_lists) / batch_seconds
    if args.with_loop:
        report["loop_qps"] = len(query_lists) / loop_seconds

    truth = exact_top(data, queries[:RECALL_SAMPLE], args.limit)
    found = [{point_id for point_id, _ in result} for result in batch[:RECALL_SAMPLE]]
    report["recall"] = float(np.mean([len(f & t) / args.limit for f, t in zip(found, truth)]))
    print(json.dumps(report))


def run_child(args, workers, with_loop):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS=str(workers), OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    command = [sys.executable, __file__, "--child", "--points", str(args.points),
               "--dim", str(args.dim), "--queries", str(args.queries), "--limit", str(args.limit),
               "--seed", str(args.seed), "--repeats", str(args.repeats)]
    if with_loop:
        command.append("--with-loop")
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def load_average():
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--limit", type=int, default=10)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--out", default=os.path.join(RESULTS, "batch.txt"))
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--with-loop", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    load_before = load_average()
    one = run_child(args, 1, with_loop=True)
    two = run_child(args, 2, with_loop=False)
    path = "exact scan" if one["recall"] == 1.0 else "graph"
    lines = [
        f"batch_search vs a loop of search: {args.points} points, d={args.dim}, "
        f"{args.queries} queries, limit {args.limit}, cosine, best of {args.repeats}",
        f"path taken: {path} (recall@{args.limit} on {RECALL_SAMPLE} queries: "
        f"{one['recall']:.4f})",
        f"machine: {platform.machine()}, {os.cpu_count()} logical processors; "
        f"load average before {load_before}, after {load_average()}",
        f"store build (upserts): {one['build_seconds']:.1f} s",
        "",
        f"{'configuration':<28}{'QPS':>12}{'vs loop':>10}{'vs 1 worker':>13}",
    ]
    rows = [("loop of search", one["loop_qps"]),
            ("batch_search, 1 worker", one["batch_qps"]),
            ("batch_search, 2 workers", two["batch_qps"])]
    for name, qps in rows:
        lines.append(f"{name:<28}{qps:>12.1f}{qps / one['loop_qps']:>10.2f}"
                     f"{qps / one['batch_qps']:>13.2f}")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    mode = "a" if os.path.exists(args.out) and os.path.getsize(args.out) > 0 else "w"
    with open(args.out, mode) as out:
        if mode == "a":
            out.write("\n")
        out.write(f"$ {' '.join([os.path.relpath(__file__)] + sys.argv[1:])}\n")
        out.write(text)
    plot(rows, path, args)


def plot(rows, path, args):
    try:
        import matplotlib
    except ImportError:
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(6, 3.2))
    names = [name for name, _ in rows]
    values = [qps for _, qps in rows]
    axes.barh(names, values, color=["#999999", "#4878a8", "#2a5d8f"])
    for y, value in enumerate(values):
        axes.text(value, y, f" {value:.0f}", va="center")
    axes.set_xlabel("queries per second")
    axes.set_title(f"{path}: {args.points} points, d={args.dim}, {args.queries} queries")
    axes.invert_yaxis()
    axes.set_xlim(0, max(values) * 1.2)
    figure.tight_layout()
    slug = "exact" if path == "exact scan" else "graph"
    figure.savefig(os.path.join(os.path.dirname(args.out), f"batch_{slug}.png"), dpi=100)


if __name__ == "__main__":
    main()
