"""Snapshot save and load throughput and peak memory, against plain Python file
I/O of the same bytes and NumPy's np.save / np.load of the bare vectors.

Run:  .venv/bin/python bench/bench_snapshot.py [--points 1000000]
Writes bench/results/snapshot.txt and snapshot.png. Files go to bench/.cache/.
Save includes its fsync; the plain write is shown with and without one.
Reads run from the page cache (each file was just written).
"""
import argparse
import gc
import os
import platform
import statistics
import time
from pathlib import Path

import numpy as np

import tarnwick

MB = 1e6


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    # Writing 5 to clear_refs resets the peak resident size (VmHWM).
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def peak_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def measure(run, repeats, setup=None):
    """Median seconds over repeats, and the largest rise of the peak resident
    size above the resident size just before a run (after setup)."""
    times, rises = [], []
    for _ in range(repeats):
        if setup is not None:
            setup()
        gc.collect()
        reset_peak()
        before = rss_bytes()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
        rises.append(peak_bytes() - before)
    return statistics.median(times), max(rises)


def raw_write(path, data, sync):
    with open(path, "wb") as f:
        f.write(data)
        if sync:
            f.flush()
            os.fsync(f.fileno())


def raw_read(path):
    with open(path, "rb") as f:
        return f.read()


def graph_node_count(content):
    """The node count of a snapshot, found by skipping over its point entries."""
    at = 0

    def varint():
        nonlocal at
        value, shift = 0, 0
        while True:
            byte = content[at]
            at += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def skip_text():
        nonlocal at
        length = varint()
        at += length

    for _ in range(varint()):
        varint(), varint()
        dim = varint()
        at += 4 * dim
        at += 1
        if content[at - 1]:
            for _ in range(varint()):
                skip_text()
                kind = varint()
                if kind < 2:
                    skip_text()
                elif kind == 2:
                    varint()
                else:
                    at += 8
    for _ in range(3):
        varint()
    at += 1
    if content[at - 1]:
        varint()
    varint()
    return varint()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--cache", default=str(Path(__file__).parent / ".cache"))
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "snapshot.txt"))
    args = parser.parse_args()
    cache = Path(args.cache)
    cache.mkdir(parents=True, exist_ok=True)
    snap, raw, npy = cache / "snapshot.bin", cache / "raw.bin", cache / "vectors.npy"

    # The first load into a new store, before any other large allocation, shows
    # what a loaded store keeps resident.
    if snap.exists():
        snap.unlink()
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((args.points, args.dim), dtype=np.float32)
    store = tarnwick.VectorStorage()
    start = time.perf_counter()
    store.batch_upsert(np.arange(args.points, dtype=np.uint64), vectors,
                       [{"tenant_id": f"t{pid % 10}", "rank": pid} for pid in range(args.points)])
    build_seconds = time.perf_counter() - start

    store.save(str(snap))
    size = snap.stat().st_size
    gc.collect()
    before = rss_bytes()
    first = tarnwick.VectorStorage()
    first.load(str(snap))
    store_bytes = rss_bytes() - before
    del first
    nodes = graph_node_count(snap.read_bytes())
    gc.collect()

    rows = []
    t, mem = measure(lambda: store.save(str(snap)), args.repeats)
    rows.append(("save (tarnwick, with fsync)", size, t, mem))

    # Each load goes into a new store; the previous one is dropped before timing.
    loaded = []

    def drop_loaded():
        loaded.clear()

    def load_new():
        fresh = tarnwick.VectorStorage()
        fresh.load(str(snap))
        loaded.append(fresh)

    t, mem = measure(load_new, args.repeats, setup=drop_loaded)
    rows.append(("load (tarnwick, into a new store)", size, t, mem))
    loaded_store = loaded[0]

    data = os.urandom(1 << 20) * (size >> 20) + os.urandom(size & ((1 << 20) - 1))
    t, mem = measure(lambda: raw_write(raw, data, sync=True), args.repeats)
    rows.append(("plain write + fsync, same bytes", size, t, mem))
    t, mem = measure(lambda: raw_write(raw, data, sync=False), args.repeats)
    rows.append(("plain write, same bytes", size, t, mem))
    del data
    gc.collect()
    t, mem = measure(lambda: raw_read(raw), args.repeats)
    rows.append(("plain read, same bytes", size, t, mem))

    t, mem = measure(lambda: np.save(npy, vectors), args.repeats)
    npy_size = npy.stat().st_size
    rows.append(("np.save, bare vectors", npy_size, t, mem))
    t, mem = measure(lambda: np.load(npy), args.repeats)
    rows.append(("np.load, bare vectors", npy_size, t, mem))

    # Sanity: the loaded store answers like the original.
    query = vectors[123].tolist()
    assert loaded_store.search(query, 5, "cosine") == store.search(query, 5, "cosine")

    speed = {name: bytes_ / seconds / MB for name, bytes_, seconds, _ in rows}
    lines = [
        f"Snapshot benchmark: {args.points:,} points, d = {args.dim}, payload "
        f"{{'tenant_id': 't<k>', 'rank': <int>}}, graph nodes in file: {nodes:,}",
        f"Machine: {platform.machine()}, {os.cpu_count()} logical CPUs (shared with other jobs), "
        f"Python {platform.python_version()}; store built by batch_upsert in {build_seconds:.1f} s",
        f"Snapshot file: {size / MB:.1f} MB; a loaded store holds {store_bytes / MB:.1f} MB resident; "
        f"median of {args.repeats} runs; reads come from the page cache",
        "",
        f"{'operation':36} {'MB':>9} {'seconds':>9} {'MB/s':>9} {'peak RSS rise MB':>17}",
    ]
    for name, bytes_, seconds, mem in rows:
        lines.append(f"{name:36} {bytes_ / MB:9.1f} {seconds:9.3f} {bytes_ / seconds / MB:9.1f} {mem / MB:17.1f}")
    lines += [
        "",
        f"save / plain write + fsync: {speed['save (tarnwick, with fsync)'] / speed['plain write + fsync, same bytes']:.2f}"
        f"   save / plain write: {speed['save (tarnwick, with fsync)'] / speed['plain write, same bytes']:.2f}",
        f"load / plain read: {speed['load (tarnwick, into a new store)'] / speed['plain read, same bytes']:.2f}"
        "   (goal: at least 0.5)",
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text)
    plot(rows, Path(args.out).with_suffix(".png"), args)


def plot(rows, path, args):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    names = [name for name, *_ in rows]
    speeds = [b / s / MB for _, b, s, _ in rows]
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.barh(names[::-1], speeds[::-1], color=["#4477aa" if "tarnwick" in n else "#bbbbbb" for n in names[::-1]])
    ax.set_xlabel("MB/s (higher is better)")
    ax.set_title(f"Snapshot throughput, {args.points:,} points, d = {args.dim}")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    main()
