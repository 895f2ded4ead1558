"""Queries per second of batch_search on 1 and 2 workers against a loop of search.

The worker pool's size is read once per process (RAYON_NUM_THREADS), so two
child interpreters, with 1 and 2 workers, each build the same store from a
seeded data set and stay alive; every round times the loop of search, the
1-worker batch and the 2-worker batch once each, in turn, and the best of
--repeats rounds is reported. The 1-worker child also checks that the batch
gives the loop's answers exactly and measures recall@limit against a NumPy
brute force on a sample of queries; a recall of exactly 1.0 means the store
answered by the exact scan, anything less by the graph.

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
    """Runs in a child interpreter: builds the store, then answers commands read
    from stdin ("loop", "batch", "recall") with one JSON line each."""
    import tarnwick

    data, queries = make_data(args.points, args.dim, args.queries, args.seed)
    store = tarnwick.VectorStorage()
    started = time.perf_counter()
    for point_id, row in enumerate(data):
        store.upsert(point_id, row.tolist(), None)
    build_seconds = time.perf_counter() - started
    query_lists = queries.tolist()
    store.batch_search(query_lists[:64], args.limit, "cosine")  # builds the pool, warms caches
    print(json.dumps({"build_seconds": build_seconds}), flush=True)

    answers = {}
    for command in sys.stdin:
        command = command.strip()
        if command == "recall":
            truth = exact_top(data, queries[:RECALL_SAMPLE], args.limit)
            found = [{point_id for point_id, _ in result}
                     for result in answers["batch"][:RECALL_SAMPLE]]
            recall = float(np.mean([len(f & t) / args.limit for f, t in zip(found, truth)]))
            same = answers.get("loop", answers["batch"]) == answers["batch"]
            print(json.dumps({"recall": recall, "batch_equals_loop": same}), flush=True)
            continue
        if command == "loop":
            run = lambda: [store.search(q, args.limit, "cosine") for q in query_lists]  # noqa: E731
        else:
            run = lambda: store.batch_search(query_lists, args.limit, "cosine")  # noqa: E731
        started = time.perf_counter()
        answers[command] = run()
        print(json.dumps({"seconds": time.perf_counter() - started}), flush=True)


class Child:
    """A child interpreter with a pool of `workers` threads, kept for all rounds."""

    def __init__(self, args, workers):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env.update(RAYON_NUM_THREADS=str(workers), OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
        command = [sys.executable, __file__, "--child", "--points", str(args.points),
                   "--dim", str(args.dim), "--queries", str(args.queries),
                   "--limit", str(args.limit), "--seed", str(args.seed)]
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def ask(self, command=None):
        if command is not None:
            self.process.stdin.write(command + "\n")
            self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise SystemExit(f"benchmark child failed (exit status {self.process.wait()})")
        return json.loads(line)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


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
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    load_before = load_average()
    # Both children live through all rounds, and every round times each
    # configuration once, so that load from other processes falls on all alike.
    one, two = Child(args, 1), Child(args, 2)
    build_seconds = one.ask()["build_seconds"]
    two.ask()
    rounds = {"loop": [], "batch1": [], "batch2": []}
    for _ in range(args.repeats):
        rounds["loop"].append(one.ask("loop")["seconds"])
        rounds["batch1"].append(one.ask("batch")["seconds"])
        rounds["batch2"].append(two.ask("batch")["seconds"])
    check = one.ask("recall")
    if not check["batch_equals_loop"]:
        raise SystemExit("batch_search and search disagree")
    one.close()
    two.close()
    qps = {name: args.queries / min(seconds) for name, seconds in rounds.items()}
    path = "exact scan" if check["recall"] == 1.0 else "graph"
    lines = [
        f"batch_search vs a loop of search: {args.points} points, d={args.dim}, "
        f"{args.queries} queries, limit {args.limit}, cosine, best of {args.repeats}",
        f"path taken: {path} (recall@{args.limit} on {RECALL_SAMPLE} queries: "
        f"{check['recall']:.4f}); batch results identical to the loop's",
        f"machine: {platform.machine()}, {os.cpu_count()} logical processors; "
        f"load average before {load_before}, after {load_average()}",
        f"store build (upserts): {build_seconds:.1f} s",
        "",
        f"{'configuration':<28}{'QPS':>12}{'vs loop':>10}{'vs 1 worker':>13}",
    ]
    rows = [("loop of search", qps["loop"]),
            ("batch_search, 1 worker", qps["batch1"]),
            ("batch_search, 2 workers", qps["batch2"])]
    for name, value in rows:
        lines.append(f"{name:<28}{value:>12.1f}{value / qps['loop']:>10.2f}"
                     f"{value / qps['batch1']:>13.2f}")
    lines.append("")
    lines.append("seconds per round (loop / 1 worker / 2 workers): " + ", ".join(
        f"{a:.1f}/{b:.1f}/{c:.1f}"
        for a, b, c in zip(rounds["loop"], rounds["batch1"], rounds["batch2"])))
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
