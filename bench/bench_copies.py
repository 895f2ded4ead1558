"""Copies of one vector: what a point costs to insert when many points are the
same vector, against distinct points of the same shape, with hnswlib beside.

Data: gaussian points (d = --dim, seed 5); in the 25% and 100% cases that share
of them, at random places in the order, is replaced by one and the same vector.
Each case is one build in a fresh process: tarnwick `upsert` one point at a time
and `batch_upsert` of the whole array; hnswlib (M 16, ef_construction 64,
cosine) `add_items` one point at a time (1 thread) and of the whole array (all
threads). Cases run interleaved, best of --repeats. A case that takes longer
than --timeout seconds is cut and shown as "> T".
For each build and size it reports microseconds per point and the ratio to
the distinct case of the same method (goal for tarnwick: at most 1.5), and for
tarnwick recall@10 of 200 gaussian queries at the default beam (a result counts
when it is as near as the tenth nearest stored point, found by exact scan:
copies tie, and any of them is as right as another).

Usage: .venv/bin/python bench/bench_copies.py [--sizes 1000,10000,100000]
           [--dim 32] [--repeats 3] [--builds NAME=DIR,...] [--out FILE]
--builds names the tarnwick builds to compare (each DIR holds a built module);
without it, the tarnwick found on the path is measured as "tarnwick".
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
import numpy as np
config = json.loads(sys.argv[1])
n, dim, share = config["n"], config["dim"], config["share"]
rng = np.random.default_rng(5)
data = rng.standard_normal((n, dim)).astype(np.float32)
copies = rng.choice(n, int(round(n * share)), replace=False)
data[copies] = data[copies[0]] if len(copies) else 0
ids = np.arange(n, dtype=np.uint64)
out = {}
if config["lib"] == "tarnwick":
    import tarnwick
    store = tarnwick.VectorStorage()
    start = time.perf_counter()
    if config["method"] == "upsert":
        for i, row in enumerate(data):
            store.upsert(i, row, None)
    else:
        store.batch_upsert(ids, data)
    out["seconds"] = time.perf_counter() - start
    queries = np.random.default_rng(6).standard_normal((200, dim)).astype(np.float32)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    # A result counts when it is as near as the tenth nearest point: copies
    # tie, and any of them is as right as another.
    scores = (queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ unit.T
    tenth = np.sort(scores, axis=1)[:, -10]
    hits = 0
    for q, row, bar in zip(queries, scores, tenth):
        hits += sum(row[pid] >= bar - 1e-6 for pid, _ in store.search(q, 10, "cosine"))
    out["recall"] = hits / (10 * len(queries))
else:
    import hnswlib
    index = hnswlib.Index(space="cosine", dim=dim)
    index.init_index(max_elements=n, M=16, ef_construction=64, random_seed=1)
    start = time.perf_counter()
    if config["method"] == "upsert":
        index.set_num_threads(1)
        for i in range(n):
            index.add_items(data[i:i + 1], ids[i:i + 1])
    else:
        index.add_items(data, ids)
    out["seconds"] = time.perf_counter() - start
print(json.dumps(out))
"""


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def run_case(config, path, timeout):
    env = dict(os.environ)
    if path is not None:
        env["PYTHONPATH"] = os.pathsep.join([path, env.get("PYTHONPATH", "")])
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(config)], env=env,
                              capture_output=True, text=True, timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--dim", type=int, default=32)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--builds", default="")
    parser.add_argument("--no-hnswlib", action="store_true")
    parser.add_argument("--out", default=str(HERE / "results" / "copies.txt"))
    args = parser.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.builds.split(",") if b] or [("tarnwick", None)]
    libs = [(name, "tarnwick", path) for name, path in builds]
    if not args.no_hnswlib:
        libs.append(("hnswlib", "hnswlib", None))
    sizes = [int(s) for s in args.sizes.split(",")]
    shares = (0.0, 0.25, 1.0)
    methods = ("upsert", "batch_upsert")
    best = {}
    recall = {}
    for _ in range(args.repeats):
        for n in sizes:
            for method in methods:
                for share in shares:
                    for name, lib, path in libs:
                        key = (name, n, method, share)
                        if best.get(key, 0.0) is None:
                            continue  # timed out before: not run again
                        config = {"lib": lib, "n": n, "dim": args.dim, "share": share,
                                  "method": method}
                        result = run_case(config, path, args.timeout)
                        if result is None:
                            best[key] = None
                            continue
                        best[key] = min(best.get(key) or float("inf"), result["seconds"])
                        if "recall" in result:
                            recall[key] = result["recall"]
    kernels = os.environ.get("TARNWICK_SCAN_KERNELS", "auto")
    lines = [
        f"# command: .venv/bin/python bench/bench_copies.py --sizes {args.sizes} --dim {args.dim} "
        f"--repeats {args.repeats}" + (f" --builds {','.join(n for n, _ in builds)}=..." if args.builds else ""),
        f"# machine: {cpu_model()}, {os.cpu_count()} logical CPUs shared with other jobs; "
        f"TARNWICK_SCAN_KERNELS={kernels}; best of {args.repeats}, each build in a fresh process, "
        "cases interleaved",
        f"# gaussian d = {args.dim}; 'copies' share of the points replaced by one vector; "
        "us/pt = microseconds per point; x = per-point time over the distinct case "
        "(goal for tarnwick: at most 1.5)",
        "",
        f"{'build':10} {'method':13} {'n':>7} {'distinct us/pt':>15} {'25% us/pt':>10} {'x':>5} "
        f"{'100% us/pt':>11} {'x':>6}   recall@10 (0% / 25% / 100%)",
    ]
    for name, lib, _ in libs:
        for method in methods:
            for n in sizes:
                cells = []
                base = best.get((name, n, method, 0.0))
                for share in shares:
                    seconds = best.get((name, n, method, share))
                    if seconds is None:
                        cells.append((f"> {args.timeout * 1e6 / n:.0f}", "-"))
                    else:
                        ratio = f"{seconds / base:.2f}" if base else "-"
                        cells.append((f"{seconds * 1e6 / n:.1f}", ratio))
                rec = " / ".join(f"{recall[(name, n, method, s)]:.3f}" if (name, n, method, s) in recall
                                 else "-" for s in shares) if lib == "tarnwick" else ""
                lines.append(f"{name:10} {method:13} {n:7d} {cells[0][0]:>15} {cells[1][0]:>10} "
                             f"{cells[1][1]:>5} {cells[2][0]:>11} {cells[2][1]:>6}   {rec}")
    text = "\n".join(lines) + "\n"
    print(text)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
