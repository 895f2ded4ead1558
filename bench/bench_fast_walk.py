"""The fast walk (query with early_stop=True) and the default walk (search)
beside hnswlib, faiss HNSW and usearch at equal recall@10, one thread each, on
bench_graph's two sets (clustered 100k x 128; sentence embeddings 30k x 384,
bench/make_text_embeddings.sh), cosine. Also: the fast walk with a `where`
matching half of the points against the unfiltered fast walk at the same ef,
and batch_query's fast walk on 2 workers against 1.

Every library's beam is swept; at each beam the libraries take turns, and each
keeps its best time over --rounds rounds. Every query is one call with a
float32 row, for every library alike. The fast walk's and the default walk's
times at each of their sweep points are compared with each peer's time at the
same recall (interpolated linearly between the peer's sweep points).

    .venv/bin/python bench/bench_fast_walk.py [--rounds N] [--suffix _avx2] [--clock thread]
Writes bench/results/fast_walk{suffix}.txt and, without a suffix,
bench/results/recall_time.png.
"""
import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_graph as graph  # noqa: E402  (the sets, the peers' builds, recall)

RESULTS = HERE / "results"
CACHE = HERE / ".cache"
SWEEP = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256]
PEERS = ("hnswlib", "faiss", "usearch")


CLOCK = time.perf_counter


def timed(run):
    start = CLOCK()
    found = run()
    return found, CLOCK() - start


def runners(store, peers, queries):
    """name -> (ef -> (found ids per query)), each asking one query per call."""
    rows = [np.ascontiguousarray(q, dtype=np.float32) for q in queries]
    normed = [r / np.linalg.norm(r) for r in rows]

    def fast(ef, where=None):
        return [[i for i, _ in store.query(r, 10, ef=ef, early_stop=True, where=where)]
                for r in rows]

    def default(ef):
        store.ef_search = ef
        return [[i for i, _ in store.search(r, 10, "cosine")] for r in rows]

    def hnsw(ef):
        index = peers["hnswlib"]
        index.set_ef(max(ef, 10))
        return [list(index.knn_query(r, k=10, num_threads=1)[0][0]) for r in rows]

    def faiss(ef):
        index = peers["faiss"]
        index.hnsw.efSearch = ef
        return [list(index.search(r[None, :], 10)[1][0]) for r in normed]

    def usearch(ef):
        index = peers["usearch"]
        index.expansion_search = ef
        return [list(index.search(r, 10).keys) for r in rows]

    return {"fast walk": fast, "default walk": default, "hnswlib": hnsw, "faiss": faiss,
            "usearch": usearch}


def sweep(run, names, truth, rounds, half_truth=None):
    """{name: {ef: (recall, seconds per query)}}, best time of `rounds`, the
    names taking turns at each beam; "fast walk, 50% where" when half_truth."""
    best = {}
    for _ in range(rounds):
        for ef in SWEEP:
            for name in names:
                found, seconds = timed(lambda: run[name](ef))
                per_query = seconds / len(truth)
                if name not in best or ef not in best[name] or per_query < best[name][ef][1]:
                    best.setdefault(name, {})[ef] = (graph.recall(found, truth), per_query)
            if half_truth is not None:
                found, seconds = timed(lambda: run["fast walk"](ef, {"half": 0}))
                name, per_query = "fast walk, 50% where", seconds / len(truth)
                if name not in best or ef not in best[name] or per_query < best[name][ef][1]:
                    best.setdefault(name, {})[ef] = (graph.recall(found, half_truth), per_query)
    return best


def time_at(curve, target):
    """A curve's time per query at `target` recall, interpolated; None outside it."""
    points = sorted(curve.values())
    for (r0, t0), (r1, t1) in zip(points, points[1:]):
        if r0 <= target <= r1:
            return t0 if r1 == r0 else t0 + (t1 - t0) * (target - r0) / (r1 - r0)
    return None


def compare(best, report):
    for name, curve in best.items():
        for ef, (r, t) in sorted(curve.items()):
            report(f"  {name:22s} ef {ef:4d}: recall@10 {r:.4f}, {1e3 * t:.4f} ms per query")
    verdicts = {}
    for walk, goal, against in (("fast walk", 0.7, PEERS), ("default walk", 1.0, ("hnswlib",))):
        worst = 0.0
        for ef, (r, t) in sorted(best[walk].items()):
            if not 0.90 <= r <= 0.99:
                continue
            peers = {p: time_at(best[p], r) for p in against if p in best}
            peers = {p: v for p, v in peers.items() if v is not None}
            if not peers:
                report(f"  {walk} ef {ef} (recall {r:.4f}): no peer reaches that recall in its sweep")
                continue
            fastest = min(peers, key=peers.get)
            ratio = t / peers[fastest]
            worst = max(worst, ratio)
            report(f"  {walk} ef {ef}, recall {r:.4f}: {1e3 * t:.4f} ms; " + ", ".join(
                f"{p} {1e3 * v:.4f} ms" for p, v in peers.items()) +
                f"; ratio to the fastest ({fastest}) {ratio:.2f}")
        verdicts[walk] = worst
        report(f"{walk}: worst ratio to the fastest of {', '.join(against)} at equal recall "
               f"0.90-0.99: {worst:.2f} (goal <= {goal}: {'met' if 0 < worst <= goal else 'NOT met'})")
    if "fast walk, 50% where" in best:
        ok = True
        for ef in SWEEP:
            (ru, tu), (rf, tf) = best["fast walk"][ef], best["fast walk, 50% where"][ef]
            ok &= rf >= ru and tf <= 1.5 * tu
            report(f"  ef {ef:4d}: 50% where recall {rf:.4f} in {1e3 * tf:.4f} ms; unfiltered "
                   f"{ru:.4f} in {1e3 * tu:.4f} ms; time ratio {tf / tu:.2f}")
        report(f"50% where against the unfiltered fast walk at the same ef (recall at least, time "
               f"at most 1.5x): {'met' if ok else 'NOT met'} at every ef")
    return verdicts


def run_set(title, base, queries, truth, rounds, report, with_where):
    import tarnwick
    payloads = [{"half": i % 2} for i in range(len(base))] if with_where else None
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(len(base), dtype=np.uint64), np.ascontiguousarray(base), payloads)
    peers = {"hnswlib": graph.build_hnswlib(base, "cosine")[0], "faiss": graph.build_faiss(base),
             "usearch": graph.build_usearch(base)}
    report(f"\n# {title}: N = {len(base)}, d = {base.shape[1]}, {len(queries)} queries, cosine")
    half_truth = None
    if with_where:
        even = np.arange(0, len(base), 2)
        half_truth = even[graph.cosine_truth(base[even], queries, 10)]
    run = runners(store, peers, queries)
    best = sweep(run, list(run), truth, rounds, half_truth)
    verdicts = compare(best, report)
    return {name: [(r, 1 / t, ef) for ef, (r, t) in sorted(c.items())] for name, c in best.items()}, verdicts


BATCH_CHILD = """
import sys, time, numpy as np
sys.path.insert(0, {here!r})
import bench_graph as b, tarnwick
base, queries, _, _ = b.clustered_set({points}, {queries})
store = tarnwick.VectorStorage()
store.batch_upsert(np.arange(len(base), dtype=np.uint64), base)
batch = np.ascontiguousarray(np.tile(queries, ({repeat}, 1)))
best = 1e9
for _ in range({rounds}):
    start = time.perf_counter()
    store.batch_query(batch, 10, early_stop=True)
    best = min(best, time.perf_counter() - start)
print(len(batch) / best)
"""


def batch_rate(workers, points, queries, rounds):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS=str(workers), OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    code = BATCH_CHILD.format(here=str(HERE), points=points, queries=queries, repeat=10,
                              rounds=rounds)
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True)
    return float(out.stdout.split()[-1])


def plot(curves):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, len(curves), figsize=(6.5 * len(curves), 4.8), squeeze=False)
    styles = {"fast walk": "o-", "default walk": "D-", "fast walk, 50% where": "o:",
              "hnswlib": "s--", "faiss": "^--", "usearch": "v--"}
    for ax, (title, by_name) in zip(axes[0], curves.items()):
        for name, curve in by_name.items():
            label = f"tarnwick {name}" if "walk" in name else name
            ax.plot([c[0] for c in curve], [1000 / c[1] for c in curve], styles[name], label=label)
        ax.set_xlabel("recall@10")
        ax.set_ylabel("ms per query (one thread)")
        ax.set_yscale("log")
        ax.set_title(title)
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(RESULTS / "recall_time.png", dpi=110)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--skip-text", action="store_true")
    parser.add_argument("--skip-batch", action="store_true")
    parser.add_argument("--suffix", default="")
    parser.add_argument("--clock", choices=("wall", "thread"), default="wall",
                        help="thread: the calling thread's processor time (every library answers "
                        "one query on the calling thread), which a busy machine disturbs less")
    args = parser.parse_args()
    global CLOCK
    CLOCK = time.thread_time if args.clock == "thread" else time.perf_counter
    if graph.threadpool_limits is not None:
        graph.threadpool_limits(1)
    lines = []

    def report(text):
        print(text, flush=True)
        lines.append(text)

    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    report(f"# command: .venv/bin/python bench/bench_fast_walk.py {' '.join(sys.argv[1:])}".rstrip())
    report(f"# processor: {cpu}, {os.cpu_count()} logical CPUs, load average "
           f"{os.getloadavg()[0]:.1f} at start; TARNWICK_SCAN_KERNELS="
           f"{os.environ.get('TARNWICK_SCAN_KERNELS', 'auto')}; {args.clock} clock; best of {args.rounds} rounds, "
           "the libraries taking turns at each beam; one thread each")
    curves = {}
    base, queries, _, _ = graph.clustered_set(args.points, args.queries)
    truth = graph.cosine_truth(base, queries, 10)
    curves[f"clustered {len(base) // 1000}k x 128"], _ = run_set(
        "(a) clustered", base, queries, truth, args.rounds, report, True)
    if not args.skip_text:
        text_base, text_queries = graph.text_set()
        text_truth = graph.cosine_truth(text_base, text_queries, 10)
        curves[f"text embeddings {len(text_base) // 1000}k x {text_base.shape[1]}"], _ = run_set(
            "(b) sentence embeddings", text_base, text_queries, text_truth, args.rounds, report,
            True)
    if not args.skip_batch:
        one = batch_rate(1, args.points, args.queries, args.rounds)
        two = batch_rate(2, args.points, args.queries, args.rounds)
        report(f"\nbatch_query, fast walk, clustered, {10 * args.queries} queries: 1 worker "
               f"{one:.0f} queries/s, 2 workers {two:.0f} queries/s, ratio {two / one:.2f} "
               f"(goal >= 1.8: {'met' if two / one >= 1.8 else 'NOT met'})")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"fast_walk{args.suffix}.txt").write_text("\n".join(lines) + "\n")
    (CACHE / f"fast_walk_curves{args.suffix}.json").write_text(json.dumps(curves))
    if not args.suffix:
        plot(curves)


if __name__ == "__main__":
    main()
