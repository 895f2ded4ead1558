"""Followers of a writer's log, each in a process of its own: how soon a write
acknowledged with sync="always" is visible to a follower (p50 / p99 lag at two
poll intervals, single upserts and batch_upsert chunks); the writer's upsert and
batch_upsert rates with two followers attached against none; a follower's search
rate against a store loaded from a snapshot of the same points; and a follower
catching up on a log of single upserts against batch_upsert of the same points
on one worker.

Run:  .venv/bin/python bench/bench_follow.py [--points 100000] [--repeats 3]
Writes bench/results/follow.txt (or --out). Files go to bench/.cache/. Every
figure is the best of --repeats runs, runs of compared cases interleaved.
"""
import argparse
import gc
import itertools
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import tarnwick

ROOT = Path(__file__).resolve().parent
CACHE = ROOT / ".cache" / "follow"
DIM = 128

# A follower process, its polling thread of the priority given. "watch":
# reports the moment each id of a sequence becomes visible. "attach": follows
# until its input closes. "search": follows and searches one query every 5 ms
# until its input closes, then prints the searches' times. "catch_up": follows
# a complete log once and reports its rate.
CHILD = r"""
import sys, threading, time, numpy as np, tarnwick
mode, directory = sys.argv[1], sys.argv[2]
store = tarnwick.VectorStorage()
store.load(directory + "/snapshot")
if mode == "catch_up":
    start = time.perf_counter()
    store.follow_log(directory + "/log", poll=None)
    print(len(store) / (time.perf_counter() - start), flush=True)
    sys.exit()
store.follow_log(directory + "/log", poll=float(sys.argv[3]), priority=sys.argv[4])
done = threading.Event()
print("ready", flush=True)
if mode == "attach":
    sys.stdin.read()
    done.set()
    sys.exit()
if mode == "search":
    waits = []
    def search():
        query = np.random.default_rng(1).standard_normal(128).astype(np.float32)
        while not done.is_set():
            start = time.perf_counter()
            store.search(query, 10, "cosine")
            waits.append(time.perf_counter() - start)
            time.sleep(0.005)
    searcher = threading.Thread(target=search)
    searcher.start()
    sys.stdin.read()
    done.set()
    searcher.join()
    print(" ".join(f"{w:.6f}" for w in waits), flush=True)
    sys.exit()
for line in sys.stdin:
    wanted = int(line)
    while wanted not in store:
        time.sleep(0.0002)
    print(time.monotonic(), flush=True)
"""


def follower(mode, directory, poll, priority="low"):
    child = subprocess.Popen([sys.executable, "-c", CHILD, mode, str(directory), str(poll), priority],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    return child


def fresh_directory(name, base=None):
    """A directory holding a snapshot of `base` (points, or none) and a fresh log."""
    directory = CACHE / name
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "log").unlink(missing_ok=True)
    store = tarnwick.VectorStorage()
    if base is not None:
        store.batch_upsert(np.arange(len(base), dtype=np.uint64), base)
    store.save(str(directory / "snapshot"))
    return store, directory


def lags(poll, singles, chunks, rng, priority):
    """Seconds from each acknowledgement to visibility in a following process."""
    writer, directory = fresh_directory("lag", rng.standard_normal((2000, DIM), dtype=np.float32))
    writer.open_log(str(directory / "log"), sync="always")
    watcher = follower("watch", directory, poll, priority)
    single, chunk = [], []
    try:
        for i in range(singles):
            point = 10_000 + i
            watcher.stdin.write(f"{point}\n")
            watcher.stdin.flush()
            time.sleep(rng.uniform(0, poll))  # at a random moment of the poll cycle
            writer.upsert(point, rng.standard_normal(DIM).astype(np.float32), None)
            acknowledged = time.monotonic()
            single.append(float(watcher.stdout.readline()) - acknowledged)
        batch = rng.standard_normal((4096 * chunks, DIM), dtype=np.float32)
        first = 100_000
        acknowledged = []
        for c in range(chunks):
            watcher.stdin.write(f"{first + 4096 * (c + 1) - 1}\n")
        watcher.stdin.flush()
        writer.batch_upsert(np.arange(first, first + len(batch), dtype=np.uint64), batch,
                            progress=lambda done, total: acknowledged.append(time.monotonic()))
        chunk = [float(watcher.stdout.readline()) - at for at in acknowledged]
        # The writer's time per chunk: about what applying one takes.
        apply = np.diff(acknowledged)
    finally:
        watcher.stdin.close()
        watcher.wait()
        writer.close_log()
    return np.array(single), np.array(chunk), apply


def writer_rates(followers, base, rows, batch, mode, priority):
    """Single upserts and batch_upsert rates of a writer with `followers` attached."""
    writer, directory = fresh_directory("rates", base)
    writer.open_log(str(directory / "log"), sync=mode)
    attached = [follower("attach", directory, 0.05, priority) for _ in range(followers)]
    try:
        gc.collect()
        start = time.perf_counter()
        for i, row in enumerate(rows):
            writer.upsert(len(base) + i, row, None)
        single = len(rows) / (time.perf_counter() - start)
        start = time.perf_counter()
        writer.batch_upsert(np.arange(10**6, 10**6 + len(batch), dtype=np.uint64), batch)
        batched = len(batch) / (time.perf_counter() - start)
    finally:
        for child in attached:
            child.stdin.close()
            child.wait()
        writer.close_log()
    return single, batched


def search_waits(base, batch, rows, priority):
    """Seconds each search of a follower takes while the writer's batch_upsert
    runs (`rows` None), or its single upserts of `rows`."""
    writer, directory = fresh_directory("searching", base)
    writer.open_log(str(directory / "log"), sync="batch")
    searcher = follower("search", directory, 0.05, priority)
    try:
        time.sleep(0.2)
        if rows is None:
            writer.batch_upsert(np.arange(10**6, 10**6 + len(batch), dtype=np.uint64), batch)
        else:
            for i, row in enumerate(rows):
                writer.upsert(10**6 + i, row, None)
    finally:
        searcher.stdin.close()
        waits = np.array([float(w) for w in searcher.stdout.readline().split()])
        searcher.wait()
        writer.close_log()
    return waits


def search_rates(points, queries, repeats, rng):
    """A follower that built its graph from a log of single upserts, and a store
    loaded from a snapshot of the same points: queries per second and recall@10."""
    vectors = rng.standard_normal((points, DIM), dtype=np.float32)
    writer, directory = fresh_directory("search")
    writer.open_log(str(directory / "log"), sync="none")
    for i, row in enumerate(vectors):
        writer.upsert(i, row, None)
    writer.close_log()
    writer.save(str(directory / "full.snapshot"))
    follower_store = tarnwick.VectorStorage()
    follower_store.load(str(directory / "snapshot"))
    follower_store.follow_log(str(directory / "log"))
    plain = tarnwick.VectorStorage()
    plain.load(str(directory / "full.snapshot"))
    normed = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    truth = [set(np.argsort(-normed @ (q / np.linalg.norm(q)))[:10].tolist()) for q in queries]
    result = {}
    times = {"follower": [], "plain": []}
    for _ in range(repeats):
        for name, store in (("follower", follower_store), ("plain", plain)):
            start = time.perf_counter()
            answers = [store.search(q, 10, "cosine") for q in queries]
            times[name].append(time.perf_counter() - start)
            result[name + "_recall"] = np.mean([len({p for p, _ in a} & t) / 10 for a, t in zip(answers, truth)])
    follower_store.stop_following()
    for name, spent in times.items():
        result[name] = len(queries) / min(spent)
    return result


def catch_up_rates(points, repeats, rng):
    """Catching up on a log of single upserts (default workers) against
    batch_upsert of the same points on one worker, each in a fresh process."""
    vectors = rng.standard_normal((points, DIM), dtype=np.float32)
    writer, directory = fresh_directory("catch_up")
    writer.open_log(str(directory / "log"), sync="none")
    for i, row in enumerate(vectors):
        writer.upsert(i, row, None)
    writer.close_log()
    np.save(directory / "vectors.npy", vectors)
    one_worker = dict(os.environ, RAYON_NUM_THREADS="1")
    batch_code = ("import sys, time, numpy as np, tarnwick; v = np.load(sys.argv[1]); s = tarnwick.VectorStorage();"
                  "t = time.perf_counter(); s.batch_upsert(np.arange(len(v), dtype=np.uint64), v);"
                  "print(len(v) / (time.perf_counter() - t))")
    follow, batch = [], []
    for _ in range(repeats):
        follow.append(float(subprocess.run([sys.executable, "-c", CHILD, "catch_up", str(directory)],
                                           capture_output=True, text=True, check=True).stdout))
        batch.append(float(subprocess.run([sys.executable, "-c", batch_code, str(directory / "vectors.npy")],
                                          env=one_worker, capture_output=True, text=True, check=True).stdout))
    return max(follow), max(batch), (directory / "log").stat().st_size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000, help="single upserts in the catch-up log")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--singles", type=int, default=150, help="single upserts timed per lag run")
    parser.add_argument("--chunks", type=int, default=8, help="batch_upsert chunks timed per lag run")
    parser.add_argument("--rate-singles", type=int, default=3000, help="single upserts timed per rate run")
    parser.add_argument("--rate-batch", type=int, default=20_000, help="batch_upsert points timed per rate run")
    parser.add_argument("--parts", default="lag,rates,waits,search,catch_up",
                        help="which parts to run, comma-separated")
    parser.add_argument("--out", default=str(ROOT / "results" / "follow.txt"))
    args = parser.parse_args()
    rng = np.random.default_rng(28)
    lines = []

    def report(line):
        print(line, flush=True)
        lines.append(line)

    kernels = os.environ.get("TARNWICK_SCAN_KERNELS", "best the processor has")
    report(f"# command: .venv/bin/python bench/bench_follow.py --points {args.points} --repeats {args.repeats}"
           + (f" --parts {args.parts}" if args.parts != parser.get_default("parts") else ""))
    report(f"# processor: {processor()}, {os.cpu_count()} logical CPUs shared with other jobs, load average "
           f"{os.getloadavg()[0]:.1f} at start; scan kernels: {kernels}; best of {args.repeats} runs")

    parts = args.parts.split(",")
    if "lag" in parts:
        report("\n# visibility lag, sync='always': acknowledgement in the writer to visibility in a follower process")
    for poll, priority in itertools.product((0.010, 0.050), ("low", "normal")) if "lag" in parts else ():
        runs = [lags(poll, args.singles, args.chunks, rng, priority) for _ in range(args.repeats)]
        apply = min(np.percentile(run[2], 99) for run in runs) * 1e3
        for kind, index in (("single upsert", 0), ("batch_upsert chunk of 4096", 1)):
            p50 = min(np.percentile(run[index], 50) for run in runs) * 1e3
            p99 = min(np.percentile(run[index], 99) for run in runs) * 1e3
            bound = 2 * poll * 1e3 + (apply if index else 1.0)
            report(f"poll {poll * 1e3:3.0f} ms, priority {priority:6}, {kind:27}: p50 {p50:6.1f} ms, p99 {p99:6.1f} ms; "
                   f"goal p99 <= 2 x poll + apply ({bound:.0f} ms): {'met' if p99 <= bound else 'NOT met'}")
        report(f"  (apply time of a chunk taken as the writer's time per chunk, p99 {apply:.0f} ms; of a "
               f"single upsert as 1 ms. A follower shows a change once the writer has applied it and "
               f"logged its lists)")

    base = rng.standard_normal((5000, DIM), dtype=np.float32)
    rows = list(rng.standard_normal((args.rate_singles, DIM), dtype=np.float32))
    batch = rng.standard_normal((args.rate_batch, DIM), dtype=np.float32)
    if "rates" in parts:
        report("\n# writer rates with 0, 1 and 2 followers attached (poll 50 ms), sync='batch', store of "
               f"5000 points, {args.rate_singles} single upserts, batch_upsert of {args.rate_batch}. Followers' "
               "polling threads at priority 'low' (the default: niceness 19, own thread) or 'normal' (the "
               "process's priority, worker pool); either installs the writer's lists from the log")
        cases = ((0, "low"), (1, "low"), (2, "low"), (2, "normal"))
        rates = {case: [] for case in cases}
        for _ in range(args.repeats):
            for case in cases:
                rates[case].append(writer_rates(case[0], base, rows, batch, "batch", case[1]))
        best = {case: [max(r[i] for r in rates[case]) for i in range(2)] for case in cases}
        for i, kind in enumerate(("upsert", "batch_upsert")):
            alone = best[(0, "low")][i]
            report(f"{kind:12}: {alone:8.0f} points/s alone")
            for case in cases[1:]:
                ratio = best[case][i] / alone
                goal = f"; goal >= 0.9 x: {'met' if ratio >= 0.9 else 'NOT met'}" if case[0] == 2 else ""
                report(f"{'':12}  {best[case][i]:8.0f} with {case[0]} follower(s), priority {case[1]:6} "
                       f"({ratio:.2f} x){goal}")

    if "waits" in parts:
        report("\n# a follower's searches (one every 5 ms, cosine, limit 10, store of 5000 points) while the "
               f"writer runs its batch_upsert of {args.rate_batch} (chunks of 4096, each one record applied "
               f"whole), or its {args.rate_singles} single upserts: time per search, over all repeats")
        for writes in ("batch_upsert", "upsert"):
            for priority in ("low", "normal"):
                waits = np.concatenate([search_waits(base, batch, rows if writes == "upsert" else None, priority)
                                        for _ in range(args.repeats)])
                report(f"{writes:12}, priority {priority:6}: {len(waits):5} searches, p50 "
                       f"{np.percentile(waits, 50) * 1e3:7.2f} ms, p99 {np.percentile(waits, 99) * 1e3:7.1f} ms, "
                       f"max {waits.max() * 1e3:7.1f} ms")

    if "search" in parts:
        report("\n# search rate: a follower that applied 20000 single upserts from the log against a store "
               "loaded from a snapshot of the same points (1000 queries, limit 10, cosine)")
        result = search_rates(20_000, list(rng.standard_normal((1000, DIM), dtype=np.float32)), args.repeats, rng)
        report(f"follower: {result['follower']:8.0f} queries/s, recall@10 {result['follower_recall']:.3f}")
        report(f"loaded  : {result['plain']:8.0f} queries/s, recall@10 {result['plain_recall']:.3f} "
               f"(follower {result['follower'] / result['plain']:.2f} x)")

    if "catch_up" in parts:
        report(f"\n# catching up on a log of {args.points} single upserts x {DIM} against batch_upsert of the "
               "same points on one worker (RAYON_NUM_THREADS=1), each in a fresh process")
        follow, batched, size = catch_up_rates(args.points, args.repeats, rng)
        report(f"catch_up    : {follow:8.0f} points/s (log of {size / 1e6:.1f} MB)")
        report(f"batch_upsert: {batched:8.0f} points/s on one worker")
        report(f"goal catch-up >= batch_upsert on one worker: {'met' if follow >= batched else 'NOT met'} "
               f"({follow / batched:.2f} x)")
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text("\n".join(lines) + "\n")


def processor():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown"


if __name__ == "__main__":
    main()
