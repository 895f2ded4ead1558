"""Snapshot save and load throughput against plain Python file I/O of the same
bytes, for points without payloads and with two payload keys per point, on a
quiet machine and with one core kept busy by a spinning process.

Run:  .venv/bin/python bench/bench_snapshot.py [--points 100000] [--repeats 7]
Writes bench/results/snapshot.txt. Files go to bench/.cache/.
Save includes its fsync, and so does the plain write it is compared with.
Reads run from the page cache (each file was just written). Each repeat runs the
four operations in turn, so a change in the machine's load hits all of them;
the table shows the best of the repeats and the median beside it.
"""
import argparse
import gc
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import tarnwick

MB = 1e6


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def load_average():
    with open("/proc/loadavg") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def timed(run):
    """Wall seconds, and processor seconds of all the process's threads."""
    gc.collect()
    start, start_cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - start, time.process_time() - start_cpu


def raw_write(path, data):
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


def raw_read(path):
    with open(path, "rb") as f:
        return f.read()


def payloads(count):
    """Two keys per point: a keyword and an integer."""
    return [{"tenant_id": f"t{pid % 10}", "rank": pid} for pid in range(count)]


def measure(store, query, cache, name, repeats):
    """Best and median wall seconds of save, plain write, load and plain read,
    and the best processor seconds of each."""
    snap, raw = cache / f"{name}.snapshot", cache / f"{name}.raw"
    store.save(str(snap))
    data = snap.read_bytes()
    loaded = []

    def load_new():
        fresh = tarnwick.VectorStorage()
        fresh.load(str(snap))
        loaded.append(fresh)

    times = {"save": [], "write": [], "load": [], "read": []}
    cpu = {op: [] for op in times}
    for _ in range(repeats):
        for op, run in (("save", lambda: store.save(str(snap))), ("write", lambda: raw_write(raw, data)),
                        ("load", load_new), ("read", lambda: raw_read(raw))):
            if op == "load":
                loaded.clear()
            wall, processor = timed(run)
            times[op].append(wall)
            cpu[op].append(processor)
    # The loaded store answers like the original.
    assert loaded[0].search(query, 5, "cosine") == store.search(query, 5, "cosine")
    assert snap.read_bytes() == data  # every save wrote the same bytes
    raw.unlink()
    return len(data), {op: (min(t), statistics.median(t), min(cpu[op])) for op, t in times.items()}


def busy_core():
    """A process spinning on one core until it is killed."""
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--cache", default=str(Path(__file__).parent / ".cache"))
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "snapshot.txt"))
    args = parser.parse_args()
    cache = Path(args.cache)
    cache.mkdir(parents=True, exist_ok=True)

    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((args.points, args.dim), dtype=np.float32)
    ids = np.arange(args.points, dtype=np.uint64)
    cases = []
    for name, with_payloads in (("no payload", False), ("payload", True)):
        store = tarnwick.VectorStorage()
        start = time.perf_counter()
        store.batch_upsert(ids, vectors, payloads(args.points) if with_payloads else None)
        cases.append((name, store, time.perf_counter() - start))

    lines = [
        f"Snapshot benchmark: {args.points:,} points, d = {args.dim}; payload case: "
        "{'tenant_id': 't<k>', 'rank': <int>} on every point",
        f"Machine: {cpu_model()}, {os.cpu_count()} logical CPUs (shared with other jobs), "
        f"Python {platform.python_version()}",
        f"Best of {args.repeats} (median in brackets); save and plain write both fsync; "
        "reads come from the page cache",
        "",
    ]
    for busy in (False, True):
        spinner = busy_core() if busy else None
        try:
            time.sleep(0.5 if busy else 0)
            lines.append(f"{'one core busy (a spinning process)' if busy else 'quiet'}: "
                         f"load average {load_average()} at start")
            lines.append(f"{'case':11} {'MB':>6} {'save s':>16} {'write s':>16} {'load s':>16} "
                         f"{'read s':>16} {'save/write':>10} {'load/read':>9}")
            cpu_lines = ["processor seconds, all threads (best):"]
            for name, store, _ in cases:
                size, t = measure(store, vectors[123].tolist(), cache, name.replace(" ", "_"), args.repeats)
                cell = {op: f"{best:.4f} ({median:.4f})" for op, (best, median, _) in t.items()}
                lines.append(
                    f"{name:11} {size / MB:6.1f} {cell['save']:>16} {cell['write']:>16} "
                    f"{cell['load']:>16} {cell['read']:>16} "
                    f"{t['write'][0] / t['save'][0]:10.2f} {t['read'][0] / t['load'][0]:9.2f}")
                cpu_lines.append(
                    f"{name:11} {'':6} {t['save'][2]:16.4f} {t['write'][2]:16.4f} {t['load'][2]:16.4f} "
                    f"{t['read'][2]:16.4f} {t['write'][2] / t['save'][2]:10.2f} "
                    f"{t['read'][2] / t['load'][2]:9.2f}")
            lines += cpu_lines + [""]
        finally:
            if spinner is not None:
                spinner.kill()
                spinner.wait()
    lines.append("save/write and load/read: plain I/O time over tarnwick time, as a speed ratio "
                 "(1.0 is as fast as plain I/O); goal at least 0.8. Processor time is shown as "
                 "well: on a shared machine it varies less than wall time.")
    text = "\n".join(lines) + "\n"
    print(text)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
