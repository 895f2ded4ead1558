"""Two builds of the module side by side: the exact scan, the tenant scan, the
graph walk, the tenant walk and the fast walk (query with early_stop), on the
same data and the same graph, so that a change meant to keep the speed can
show that it did, and that both builds return the same results, bit for bit.

Usage:
  mkdir -p "$BEFORE" && cp .venv/lib/python3.12/site-packages/tarnwick*.so "$BEFORE"/   # before the change
  ... change, rebuild, and copy the new module to "$AFTER" likewise ...
  .venv/bin/python bench/bench_ab.py "$BEFORE" "$AFTER" [--rounds 40] [--out FILE]
(BEFORE and AFTER: any two empty directories, e.g. made by mktemp -d.)
Each directory holds one built tarnwick module. The data and the graph (built
once, by the first build, and saved) are cached in bench/.cache/ab. Both modules
are loaded into one process (each is its own copy of the extension), and every
round times one slice of queries on each build, in alternating order, so that a
slow spell of the shared machine falls on both alike; the figures are the best
and the median slice per build. Run it once per kernel set
(TARNWICK_SCAN_KERNELS=avx2 ...) to cover more than the automatic choice.
"""
import argparse
import glob
import hashlib
import importlib.util
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
CACHE = HERE / ".cache" / "ab"


def load_build(directory):
    """The tarnwick module built in `directory`, loaded under its own name."""
    (path,) = glob.glob(os.path.join(directory, "tarnwick*.so"))
    spec = importlib.util.spec_from_file_location("tarnwick", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def prepare(first_build, points, dim, queries):
    """Writes the data and both snapshots once, with the first build."""
    tag = f"{points}x{dim}q{queries}"
    folder = CACHE / tag
    if (folder / "graph.snapshot").exists():
        return folder
    folder.mkdir(parents=True, exist_ok=True)
    script = r"""
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import tarnwick
folder, points, dim, queries = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rng = np.random.default_rng(11)
# The exact store: random points in a store with no graph entry point, loaded
# from a snapshot of the points alone, so that every search scans.
data = rng.standard_normal((points, dim), dtype=np.float32)
def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80); value >>= 7
    out.append(value)
    return bytes(out)
with open(folder + "/exact.snapshot", "wb") as out:
    out.write(varint(points))
    for pid, row in enumerate(data.astype("<f4")):
        out.write(varint(pid) + varint(pid) + varint(dim) + row.tobytes() + b"\x00")
    out.write(varint(16) + varint(64) + varint(32) + b"\x00" + varint(0) + varint(0))
# The graph store: clustered points, 80% of them in tenant "large" (walked),
# 20% in tenant "small" (scanned).
centres = rng.normal(size=(100, dim)).astype(np.float32)
labels = rng.integers(0, 100, points + queries)
clustered = centres[labels] + 0.6 * rng.normal(size=(points + queries, dim)).astype(np.float32)
store = tarnwick.VectorStorage()
tenants = [{"tenant_id": "small" if i % 5 == 0 else "large"} for i in range(points)]
store.batch_upsert(np.arange(points, dtype=np.uint64), clustered[:points], tenants)
store.save(folder + "/graph.snapshot")
np.save(folder + "/queries.npy", clustered[points:])
"""
    subprocess.run([sys.executable, "-c", script, str(first_build), str(folder), str(points), str(dim),
                    str(queries)], check=True)
    return folder


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--slice", type=int, default=10, help="queries timed at a time")
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--out")
    args = parser.parse_args()
    folder = prepare(str(Path(args.before).resolve()), args.points, args.dim, args.queries)

    builds = {side: load_build(getattr(args, side)) for side in ("before", "after")}
    queries = np.load(folder / "queries.npy").tolist()
    stores = {}
    for side, module in builds.items():
        exact, graph = module.VectorStorage(), module.VectorStorage()
        exact.load(str(folder / "exact.snapshot"))
        graph.load(str(folder / "graph.snapshot"))
        stores[side] = {"exact": exact, "graph": graph}
    workloads = {
        "exact dot": ("exact", "dot", None),
        "exact cosine": ("exact", "cosine", None),
        "exact l2": ("exact", "l2", None),
        "tenant scan cosine": ("graph", "cosine", "small"),
        "graph cosine": ("graph", "cosine", None),
        "graph dot": ("graph", "dot", None),
        "graph l2": ("graph", "l2", None),
        "tenant walk cosine": ("graph", "cosine", "large"),
        # The fast walk's estimates may change between builds; its top ten
        # are compared by overlap, not bit for bit.
        "fast walk ef 32": ("graph", "cosine", 32),
        "fast walk ef 64": ("graph", "cosine", 64),
        "fast walk ef 128": ("graph", "cosine", 128),
    }

    def run(store, q, metric, tenant):
        if isinstance(tenant, int):
            return store.query(q, 10, metric=metric, ef=tenant, early_stop=True)
        return store.search(q, 10, metric, tenant)

    same = True
    rows = []
    overlaps = []
    for name, (kind, metric, tenant) in workloads.items():
        digests, found = {}, {}
        for side in builds:
            store = stores[side][kind]
            results = [run(store, q, metric, tenant) for q in queries]
            digests[side] = hashlib.sha256(repr(results).encode()).hexdigest()
            found[side] = [{point for point, _ in result} for result in results]
        if isinstance(tenant, int):
            shared = sum(len(a & b) for a, b in zip(found["before"], found["after"]))
            overlaps.append(f"{name}: the builds' top ten share {shared / (10 * len(queries)):.4f} of their points")
        else:
            same = same and digests["before"] == digests["after"]
        samples = {side: [] for side in builds}
        for round_number in range(args.rounds):
            start_at = (round_number * args.slice) % max(1, len(queries) - args.slice)
            part = queries[start_at:start_at + args.slice]
            order = ("before", "after") if round_number % 2 == 0 else ("after", "before")
            for side in order:
                store = stores[side][kind]
                start = time.perf_counter()
                for q in part:
                    run(store, q, metric, tenant)
                samples[side].append((time.perf_counter() - start) / len(part))
        best = {side: min(values) * 1e3 for side, values in samples.items()}
        median = {side: statistics.median(values) * 1e3 for side, values in samples.items()}
        rows.append(f"{name:<20}{best['before']:>9.4f}{best['after']:>9.4f}{best['after'] / best['before']:>8.3f}"
                    f"{median['before']:>11.4f}{median['after']:>9.4f}{median['after'] / median['before']:>8.3f}")

    kernels = os.environ.get("TARNWICK_SCAN_KERNELS", "auto")
    lines = [
        f"before: {Path(args.before).resolve()}",
        f"after:  {Path(args.after).resolve()}",
        f"{args.points} points x {args.dim}, {args.queries} queries, limit 10, one thread, kernels {kernels}; "
        f"{args.rounds} rounds of {args.slice} queries per build, builds alternating in one process",
        f"machine: {platform.machine()}, {os.cpu_count()} logical CPUs, load average "
        f"{os.getloadavg()[0]:.2f} at the end",
        f"{'':<20}{'best ms/query':>26}{'median ms/query':>28}",
        f"{'workload':<20}{'before':>9}{'after':>9}{'ratio':>8}{'before':>11}{'after':>9}{'ratio':>8}",
        *rows,
        f"results identical between the builds, bit for bit (every walk but the fast one): {same}",
        *overlaps,
    ]
    text = "\n".join(lines) + "\n"
    print(text, end="")
    if args.out:
        with open(args.out, "a") as out:
            out.write(text + "\n")
    if not same:
        raise SystemExit("the builds returned different results")


if __name__ == "__main__":
    main()
