"""Load, the first write after it, and what the link bookkeeping costs elsewhere,
for two or more tarnwick builds side by side in one run.

Per build, each figure from fresh processes, interleaved, best of --repeats:
- load: `load` of a 100,000 x 128 snapshot with two payload keys per point,
  beside a plain read of the same file (page cache) in the same process; the
  same for a snapshot without payloads, and with payloads while another
  process keeps one core busy;
- save: `save` of the loaded store beside a plain write + fsync of the same
  bytes to the same directory;
- first write: the first `upsert` after that load, and load + first write over
  load alone (goal at most 1.1);
- memory per point: resident memory the loaded store adds, over its points;
- copies: `batch_upsert` of 20,000 x 32 gaussian points of which 5,000 are one
  vector, over the same without copies;
- walk: `batch_search` time of 1,000 queries at the default beam, and recall@10
  (exact neighbours by scan), so that walk times compare at equal recall.
The snapshot is written once, by the first build named. With --files K, K - 1
further snapshots (other seeds, each built anew) are loaded too, for the first
write alone: the per-file first upsert and the worst (load+first)/load.

Usage: .venv/bin/python bench/bench_first_write.py --builds NAME=DIR,NAME=DIR
           [--repeats 5] [--points 100000] [--files 1] [--out FILE]
"""
import argparse
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time, os
import numpy as np
import tarnwick
config = json.loads(sys.argv[1])
path, n = config["path"], config["points"]

def rss():
    for line in open('/proc/self/status'):
        if line.startswith('VmRSS:'):
            return int(line.split()[1]) * 1024

out = {}
if config["what"] == "write_file":
    rng = np.random.default_rng(config.get("seed", 11))
    v = rng.standard_normal((n, 128), dtype=np.float32)
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(n, dtype=np.uint64), v,
                       [{"tenant_id": f"t{i % 10}", "rank": i} for i in range(n)])
    store.save(path)
    if not config.get("bare", True):
        print(json.dumps(out))
        sys.exit(0)
    bare = tarnwick.VectorStorage()
    bare.batch_upsert(np.arange(n, dtype=np.uint64), v)
    bare.save(path + ".bare")
elif config["what"] == "save":
    store = tarnwick.VectorStorage()
    store.load(path)
    data = open(path, "rb").read()
    target = path + ".saved"
    # Both write a new file: the plain write's earlier file is removed first,
    # as save replaces the target by a new file.
    for leftover in (target, target + ".plain"):
        if os.path.exists(leftover):
            os.remove(leftover)
    start = time.perf_counter()
    with open(target + ".plain", "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    out["write"] = time.perf_counter() - start
    start = time.perf_counter()
    store.save(target)
    out["save"] = time.perf_counter() - start
elif config["what"] == "load":
    start = time.perf_counter()
    with open(path, "rb") as f:
        f.read()
    out["read"] = time.perf_counter() - start
    before = rss()
    store = tarnwick.VectorStorage()
    start = time.perf_counter()
    store.load(path)
    out["load"] = time.perf_counter() - start
    q = np.random.default_rng(3).standard_normal(128).astype(np.float32)
    start = time.perf_counter()
    store.upsert(10**12, q, None)
    out["first"] = time.perf_counter() - start
    # Once written to, a store holds its link bookkeeping whichever step made it.
    out["bytes_per_point"] = (rss() - before) / len(store)
elif config["what"] == "copies":
    rng = np.random.default_rng(5)
    v = rng.standard_normal((20000, 32)).astype(np.float32)
    if config["copies"]:
        v[rng.choice(20000, 5000, replace=False)] = v[0]
    store = tarnwick.VectorStorage()
    start = time.perf_counter()
    store.batch_upsert(np.arange(20000, dtype=np.uint64), v)
    out["seconds"] = time.perf_counter() - start
elif config["what"] == "walk":
    store = tarnwick.VectorStorage()
    store.load(path)
    base = np.random.default_rng(11).standard_normal((n, 128), dtype=np.float32)
    queries = np.random.default_rng(12).standard_normal((1000, 128)).astype(np.float32)
    unit = base / np.linalg.norm(base, axis=1, keepdims=True)
    truth = np.argsort(-(queries @ unit.T), axis=1)[:, :10]
    start = time.perf_counter()
    results = store.batch_search(queries, 10, "cosine")
    out["seconds"] = time.perf_counter() - start
    out["recall"] = float(np.mean([len({p for p, _ in r} & set(t.tolist())) / 10
                                   for r, t in zip(results, truth)]))
print(json.dumps(out))
"""


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def run(config, build_dir):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [build_dir, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(config)], env=env,
                          capture_output=True, text=True, check=True, timeout=1800)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--builds", required=True)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--cache", default=str(HERE / ".cache"))
    parser.add_argument("--out", default=str(HERE / "results" / "first_write.txt"))
    parser.add_argument("--files", type=int, default=1,
                        help="snapshots (each built anew on the worker pool) whose first write is timed")
    parser.add_argument("--only-load-save", action="store_true",
                        help="leave out the copies and walk figures")
    args = parser.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.builds.split(",")]
    Path(args.cache).mkdir(parents=True, exist_ok=True)
    path = str(Path(args.cache) / "first_write.snapshot")
    run({"what": "write_file", "path": path, "points": args.points}, builds[0][1])
    # Further files for the first write only: a parallel build makes a different
    # graph each time, and the tree a load makes may leave a node for the first change.
    more = [f"{path}.{k}" for k in range(1, args.files)]
    for k, extra in enumerate(more, start=1):
        run({"what": "write_file", "path": extra, "points": args.points, "seed": 11 + k,
             "bare": False}, builds[0][1])
    best = {}

    def keep(key, value):
        best[key] = min(best.get(key, float("inf")), value)

    for _ in range(args.repeats):
        for name, build_dir in builds:
            got = run({"what": "load", "path": path, "points": args.points}, build_dir)
            for field in ("read", "load", "first", "bytes_per_point"):
                keep((name, field), got[field])
            keep((name, "load+first"), got["load"] + got["first"])
            keep((name, "load/read"), got["load"] / got["read"])
            for k, extra in enumerate(more, start=1):
                other = run({"what": "load", "path": extra, "points": args.points}, build_dir)
                keep((name, "first", k), other["first"])
                keep((name, "load+first/load", k), (other["load"] + other["first"]) / other["load"])
            got = run({"what": "load", "path": path + ".bare", "points": args.points}, build_dir)
            keep((name, "bare/read"), got["load"] / got["read"])
            busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
            try:
                got = run({"what": "load", "path": path, "points": args.points}, build_dir)
            finally:
                busy.kill()
                busy.wait()
            keep((name, "busy/read"), got["load"] / got["read"])
            got = run({"what": "save", "path": path, "points": args.points}, build_dir)
            keep((name, "save/write"), got["save"] / got["write"])
            if args.only_load_save:
                continue
            for copies in (False, True):
                got = run({"what": "copies", "copies": copies, "path": path,
                           "points": args.points}, build_dir)
                keep((name, "copies" if copies else "distinct"), got["seconds"])
            got = run({"what": "walk", "path": path, "points": args.points}, build_dir)
            keep((name, "walk"), got["seconds"])
            best[(name, "recall")] = got["recall"]
    kernels = os.environ.get("TARNWICK_SCAN_KERNELS", "auto")
    lines = [
        f"# command: .venv/bin/python bench/bench_first_write.py --builds "
        f"{','.join(n for n, _ in builds)} --repeats {args.repeats} --points {args.points}",
        f"# machine: {cpu_model()}, {os.cpu_count()} logical CPUs shared with other jobs; "
        f"TARNWICK_SCAN_KERNELS={kernels}; best of {args.repeats}, fresh processes, builds interleaved",
        f"# snapshot: {args.points:,} x 128 with two payload keys per point, "
        f"{os.path.getsize(path) / 1e6:.1f} MB",
        "",
        f"{'build':8} {'read ms':>8} {'load ms':>8} {'read/load':>9} {'bare':>5} {'busy':>5} "
        f"{'first ms':>9} {'(load+first)/load':>17} {'write/save':>10} {'B/point':>8} "
        f"{'copies s':>9} {'x':>5} {'walk ms':>8} {'recall':>7}",
    ]
    for name, _ in builds:
        g = lambda field: best.get((name, field), float("nan"))  # noqa: E731
        lines.append(
            f"{name:8} {g('read') * 1e3:8.1f} {g('load') * 1e3:8.1f} {1 / g('load/read'):9.2f} "
            f"{1 / g('bare/read'):5.2f} {1 / g('busy/read'):5.2f} "
            f"{g('first') * 1e3:9.1f} {g('load+first') / g('load'):17.2f} {1 / g('save/write'):10.2f} "
            f"{g('bytes_per_point'):8.0f} {g('copies'):9.2f} {g('copies') / g('distinct'):5.2f} "
            f"{g('walk') * 1e3:8.1f} {g('recall'):7.4f}")
    if more:
        lines.append("")
        for name, _ in builds:
            firsts = [best[(name, "first")]] + [best[(name, "first", k)] for k in range(1, args.files)]
            worst = max([best[(name, "load+first")] / best[(name, "load")]] +
                        [best[(name, "load+first/load", k)] for k in range(1, args.files)])
            lines.append(f"{name:8} first upsert per file, ms: "
                         f"{' '.join(f'{f * 1e3:.1f}' for f in firsts)}; worst (load+first)/load {worst:.2f}")
    lines += ["", "read/load: plain read time over load time, best ratio of one process (goal at least "
              "0.8); bare: the same for a snapshot without payloads; busy: with payloads while another "
              "process keeps one core busy; (load+first)/load: goal at most 1.1; write/save: a plain "
              "write + fsync of the same bytes over save (goal at least 0.8); B/point: resident bytes "
              "the loaded store adds per point once written to; copies s: batch_upsert of 20,000 x 32 with 5,000 copies "
              "of one vector, x: over the same without copies; walk ms: batch_search of 1,000 queries, "
              "limit 10, default beam."]
    text = "\n".join(lines) + "\n"
    print(text)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
