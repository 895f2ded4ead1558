"""Write-ahead log cost and recovery speed: batch_upsert and single upsert rates
with no log and with each sync mode, the disk's own fsync rate beside them, and
replay of a log of single upserts against batch_upsert of the same points.

Run:  .venv/bin/python bench/bench_log.py [--points 100000] [--repeats 3]
Writes bench/results/log.txt. Files go to bench/.cache/ (on the disk the
repository is on). Every figure is the best of --repeats runs.
"""
import argparse
import gc
import os
import time
from pathlib import Path

import numpy as np

import tarnwick

ROOT = Path(__file__).resolve().parent
CACHE = ROOT / ".cache"
MODES = [None, "none", "batch", "always"]


def fresh(path):
    path.unlink(missing_ok=True)
    return path


def best(repeats, run):
    """The smallest of `repeats` timings; run() returns seconds."""
    times = []
    for _ in range(repeats):
        gc.collect()
        times.append(run())
    return min(times)


def batch_rates(ids, vectors, repeats):
    """Runs of the modes interleaved, so that a change in the machine's load
    falls on all of them alike."""
    spent = {mode: [] for mode in MODES}
    for _ in range(repeats):
        for mode in MODES:
            gc.collect()
            store = tarnwick.VectorStorage()
            if mode:
                store.open_log(str(fresh(CACHE / "bench.log")), sync=mode)
            start = time.perf_counter()
            store.batch_upsert(ids, vectors)
            spent[mode].append(time.perf_counter() - start)
            store.close_log()
    return {mode: len(ids) / min(times) for mode, times in spent.items()}


def upsert_rate(base_ids, base, rows, mode, repeats):
    """Single upserts (vectors as lists) into a store already holding `base`."""
    def run():
        store = tarnwick.VectorStorage()
        store.batch_upsert(base_ids, base)
        if mode:
            store.open_log(str(fresh(CACHE / "bench.log")), sync=mode)
        first = len(base_ids)
        start = time.perf_counter()
        for i, row in enumerate(rows):
            store.upsert(first + i, row, None)
        spent = time.perf_counter() - start
        store.close_log()
        return spent
    return len(rows) / best(repeats, run)


def fsync_rate(seconds=2.0):
    """4 KiB appended and fdatasync'd, as often as the disk allows."""
    path = fresh(CACHE / "fsync.probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    block = b"\0" * 4096
    count, start = 0, time.perf_counter()
    try:
        while time.perf_counter() - start < seconds:
            os.write(fd, block)
            os.fdatasync(fd)
            count += 1
    finally:
        os.close(fd)
        path.unlink()
    return count / (time.perf_counter() - start)


def single_upsert_log(vectors, path, per_store=1000):
    """A log of one single-upsert record per point: written by small stores
    (cheap inserts) whose logs are joined, records after one header."""
    header, body = None, bytearray()
    part = CACHE / "part.log"
    for begin in range(0, len(vectors), per_store):
        store = tarnwick.VectorStorage()
        store.open_log(str(fresh(part)), sync="none")
        for i in range(begin, min(begin + per_store, len(vectors))):
            store.upsert(i, vectors[i], None)
        store.close_log()
        data = part.read_bytes()
        header = data[:16]
        body += data[16:]
    part.unlink()
    path.write_bytes(header + body)


def replay_rate(path, count, repeats):
    def run():
        store = tarnwick.VectorStorage()
        start = time.perf_counter()
        store.open_log(str(path), sync="none")
        spent = time.perf_counter() - start
        assert len(store) == count
        store.close_log()
        return spent
    return count / best(repeats, run)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dimension", type=int, default=128)
    parser.add_argument("--upserts", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    CACHE.mkdir(exist_ok=True)
    rng = np.random.default_rng(19)
    vectors = rng.standard_normal((args.points, args.dimension), dtype=np.float32)
    ids = np.arange(args.points, dtype=np.uint64)
    lines = [
        f"# command: .venv/bin/python bench/bench_log.py --points {args.points} --repeats {args.repeats}",
        f"# machine: {os.cpu_count()} logical CPUs shared with other jobs, load average "
        f"{os.getloadavg()[0]:.1f} at start; best of {args.repeats} runs each (batch_upsert modes interleaved); files in bench/.cache",
        "",
    ]

    def report(line):
        print(line, flush=True)
        lines.append(line)

    rates = batch_rates(ids, vectors, args.repeats)
    report(f"# batch_upsert {args.points} x {args.dimension}")
    for mode in MODES:
        report(f"{'no log' if mode is None else 'sync=' + mode:12}: {rates[mode]:9.0f} points/s "
               f"({rates[mode] / rates[None]:.2f} x no log)")
    report(f"disk fsync rate (4 KiB append + fdatasync): {fsync_rate():.0f} per second")
    report(f"goal sync=batch >= 0.85 x no log: {'met' if rates['batch'] >= 0.85 * rates[None] else 'NOT met'}")

    base = vectors[:10_000]
    rows = [list(map(float, row)) for row in vectors[10_000:10_000 + args.upserts]]
    single = {mode: upsert_rate(ids[:10_000], base, rows, mode, args.repeats) for mode in MODES}
    report("")
    report(f"# single upsert loop: {args.upserts} upserts (lists) into a store of 10000 points")
    for mode in MODES:
        report(f"{'no log' if mode is None else 'sync=' + mode:12}: {single[mode]:9.0f} upserts/s "
               f"({single[mode] / single[None]:.2f} x no log)")
    report(f"goal sync=batch >= 0.8 x no log: {'met' if single['batch'] >= 0.8 * single[None] else 'NOT met'}")

    log = CACHE / "replay.log"
    single_upsert_log(vectors, log)
    replay = replay_rate(log, args.points, args.repeats)
    report("")
    report(f"# recovery: open_log replaying {args.points} single-upsert records "
           f"({log.stat().st_size / 1e6:.1f} MB) into an empty store")
    report(f"replay      : {replay:9.0f} points/s ({replay / rates[None]:.2f} x batch_upsert with no log)")
    report(f"goal replay >= batch_upsert: {'met' if replay >= rates[None] else 'NOT met'}")
    log.unlink()
    fresh(CACHE / "bench.log")
    (ROOT / "results" / "log.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
