"""The writer's own cost of logging the lists its changes chose, counted in
instructions rather than timed: on a shared machine the wall-clock rates of
bench_log_lists.py move by more than the cost being measured. Each build runs
the same writer under callgrind (one worker, RAYON_NUM_THREADS=1), counting
only inside upsert and upsert_batch, and the script prints the instructions
of each and the functions whose counts differ most from the first build's.
The level of each node is drawn at random, so walks differ a little from run
to run: differences of about 10 million in the walk's functions are noise.

Usage: .venv/bin/python bench/bench_log_lists_instructions.py NAME=DIR,NAME=DIR
(the first build is the reference). Takes about five minutes per build."""
import collections, os, re, subprocess, sys, tempfile

CHILD = r'''
import os, sys, numpy as np, tarnwick
d = sys.argv[1]
rng = np.random.default_rng(28)
base = rng.standard_normal((3000, 128), dtype=np.float32)
rows = rng.standard_normal((1000, 128), dtype=np.float32)
batch = rng.standard_normal((4000, 128), dtype=np.float32)
w = tarnwick.VectorStorage()
w.batch_upsert(np.arange(3000, dtype=np.uint64), base)
w.save(f"{d}/snapshot")
w.open_log(f"{d}/log", sync="batch")
for i in range(1000): w.upsert(5000 + i, rows[i], None)
for c in range(2):
    w.batch_upsert(np.arange(10**6 + c * 2000, 10**6 + c * 2000 + 2000, dtype=np.uint64),
                   batch[c * 2000:(c + 1) * 2000])
w.close_log()
'''


def counts(out_file):
    flat = collections.Counter()
    text = subprocess.run(["callgrind_annotate", "--threshold=100", out_file], capture_output=True, text=True).stdout
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+)\s+\([^)]*\)\s+(.*)$", line)
        if m:
            name = re.sub(r"\s*\[.*\]$", "", m.group(2)).split(":", 1)[-1]
            flat[re.sub(r"\(.*", "", name)] += int(m.group(1).replace(",", ""))
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", out_file], capture_output=True, text=True).stdout
    inclusive = {}
    for line in text.splitlines():
        for name in ("upsert", "upsert_batch"):
            if f"tarnwick::{name}(tarnwick::Store" in line:
                inclusive[name] = int(line.split()[0].replace(",", ""))
    return flat, inclusive


builds = dict(b.split("=") for b in sys.argv[1].split(","))
results = {}
for name, path in builds.items():
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
                        "--toggle-collect=tarnwick::upsert(*", "--toggle-collect=tarnwick::upsert_batch(*",
                        sys.executable, "-c", CHILD, d],
                       env=dict(os.environ, PYTHONPATH=path, RAYON_NUM_THREADS="1"), check=True, capture_output=True)
        results[name] = counts(out)
print("# instructions inside upsert (1000 single upserts) and upsert_batch (3000 points without a log, then "
      "2 x 2000 with one), sync='batch', one worker, callgrind")
reference = next(iter(results))
for name, (flat, inclusive) in results.items():
    print(f"{name:8}: upsert {inclusive['upsert'] / 1e6:8.1f} M, upsert_batch {inclusive['upsert_batch'] / 1e6:8.1f} M, "
          f"all {flat['PROGRAM TOTALS'] / 1e6:8.1f} M")
flat0 = results[reference][0]
names = sorted(set().union(*(r[0] for r in results.values())),
               key=lambda k: -max(abs(r[0][k] - flat0[k]) for r in results.values()))
print(f"\n# functions' own instructions (M), against {reference}")
print(f"{'function':60}" + "".join(f"{n:>12}" for n in results))
for k in names[:16]:
    print(f"{k[:60]:60}" + "".join(f"{(r[0][k] - flat0[k]) / 1e6 if n != reference else flat0[k] / 1e6:12.1f}"
                                   for n, r in results.items()))
