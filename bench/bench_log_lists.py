"""The writer's own cost of logging the lists its changes chose: upsert and
batch_upsert rates with a log open (sync='batch') and no followers, and the log
bytes per point, for two or more tarnwick builds, each run a fresh process,
builds interleaved, best of REPEATS.

Usage: .venv/bin/python bench/bench_log_lists.py NAME=DIR,NAME=DIR REPEATS
Files go to tarnwick_log_lists_NAME/ in the system's temporary directory."""
import os, subprocess, sys, json, tempfile
CHILD = r'''
import os, sys, time, numpy as np, tarnwick
d = sys.argv[1]; os.makedirs(d, exist_ok=True)
for f in ("log", "snapshot"):
    try: os.unlink(f"{d}/{f}")
    except FileNotFoundError: pass
rng = np.random.default_rng(28)
base = rng.standard_normal((5000, 128), dtype=np.float32)
rows = rng.standard_normal((3000, 128), dtype=np.float32)
batch = rng.standard_normal((20000, 128), dtype=np.float32)
w = tarnwick.VectorStorage()
w.batch_upsert(np.arange(5000, dtype=np.uint64), base)
w.save(f"{d}/snapshot")
w.open_log(f"{d}/log", sync="batch")
t = time.perf_counter()
for i, row in enumerate(rows): w.upsert(5000 + i, row, None)
single = len(rows) / (time.perf_counter() - t)
size1 = os.path.getsize(f"{d}/log")
t = time.perf_counter()
w.batch_upsert(np.arange(10**6, 10**6 + len(batch), dtype=np.uint64), batch)
batched = len(batch) / (time.perf_counter() - t)
size2 = os.path.getsize(f"{d}/log") - size1
w.close_log()
print(single, batched, size1 / len(rows), size2 / len(batch))
'''
builds = dict(b.split("=") for b in sys.argv[1].split(","))
repeats = int(sys.argv[2])
results = {name: [] for name in builds}
for _ in range(repeats):
    for name, path in builds.items():
        env = dict(os.environ, PYTHONPATH=path)
        out = subprocess.run([sys.executable, "-c", CHILD, os.path.join(tempfile.gettempdir(), f"tarnwick_log_lists_{name}")], env=env, capture_output=True, text=True, check=True).stdout
        results[name].append([float(x) for x in out.split()])
kern = os.environ.get("TARNWICK_SCAN_KERNELS", "best the processor has")
print(f"# writer with a log open (sync='batch'), no followers: store of 5000 x 128, 3000 single upserts, then batch_upsert of 20000; best of {repeats}, interleaved; scan kernels: {kern}")
for name, rows in results.items():
    print(f"{name:6}: upsert {max(r[0] for r in rows):7.0f} points/s, batch_upsert {max(r[1] for r in rows):7.0f} points/s; log bytes per point: single upserts {rows[0][2]:.0f}, batch_upsert {rows[0][3]:.0f}")
