"""Choosing the scan kernels: each value TARNWICK_SCAN_KERNELS accepts gives the
reference kernels' results bit for bit on the exact and the graph path, the
trace names the kernels that ran, and any other value stops the import."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tarnwick
from conftest import run_cpp_test

SETTINGS = ("auto", "scalar", "avx2", "avx512")
ACCEPTED = "'auto', 'scalar', 'avx2', 'avx512'"


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None


def runnable_sets():
    """The sets this processor runs, from the flags the kernels need; None when unknown."""
    flags = cpu_flags()
    if flags is None:
        return None
    sets = ["scalar"]
    if "avx2" in flags:
        sets.append("avx2")
        if {"avx512f", "avx512vl", "avx512dq"} <= flags:
            sets.append("avx512")
    return sets


def run_python(code, setting, trace, stdin=""):
    env = dict(os.environ)
    env.pop("TARNWICK_SCAN_KERNELS", None)
    env.pop("TARNWICK_SCAN_KERNELS_TRACE", None)
    if setting is not None:
        env["TARNWICK_SCAN_KERNELS"] = setting
    if trace:
        env["TARNWICK_SCAN_KERNELS_TRACE"] = "1"
    return subprocess.run([sys.executable, "-c", code], env=env, input=stdin, capture_output=True,
                          text=True, timeout=600)


SEARCH_SCRIPT = """
import json, sys
import tarnwick
job = json.load(sys.stdin)
out = []
for path, searches in job:
    store = tarnwick.VectorStorage()
    store.load(path)
    for query, limit, metric in searches:
        out.append([(pid, score.hex()) for pid, score in store.search(query, limit, metric)])
json.dump(out, sys.stdout)
"""


def awkward(rng, shape):
    """Values over sixty orders of magnitude, with zeros of both signs,
    infinities, NaN and subnormals sprinkled in."""
    values = rng.standard_normal(shape) * 10.0 ** rng.integers(-30, 31, shape)
    special = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 1e-45, -3e-42, 3.4e38])
    mask = rng.random(shape) < 0.03
    values[mask] = rng.choice(special, mask.sum())
    return values.astype(np.float32)


@pytest.fixture(scope="module")
def search_job(tmp_path_factory):
    """Snapshots of an exact-path store (many lengths, awkward values) and a
    graph-path store, and the searches to run on them: loading a snapshot
    gives every process the same graph."""
    folder = tmp_path_factory.mktemp("kernels")
    rng = np.random.default_rng(99)
    job = []

    exact = tarnwick.VectorStorage()
    searches = []
    dims = (1, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 33, 100, 129, 384)
    for dim in dims:
        for pid in range(25):
            exact.upsert(dim * 1000 + pid, awkward(rng, dim).tolist(), None)
        for metric in ("dot", "cosine", "l2"):
            searches.append([awkward(rng, dim).tolist(), 499, metric])
    exact.save(str(folder / "exact.snapshot"))
    job.append([str(folder / "exact.snapshot"), searches])

    graph = tarnwick.VectorStorage()
    centres = rng.standard_normal((12, 100))
    points = centres[rng.integers(0, 12, 1200)] + 0.3 * rng.standard_normal((1200, 100))
    for pid, vector in enumerate(points.astype(np.float32)):
        graph.upsert(pid, vector.tolist(), None)
    graph.save(str(folder / "graph.snapshot"))
    queries = (centres[rng.integers(0, 12, 8)] + 0.3 * rng.standard_normal((8, 100))).astype(np.float32)
    searches = [[q.tolist(), limit, metric] for q in queries for metric in ("dot", "cosine", "l2")
                for limit in (10, 150)]
    job.append([str(folder / "graph.snapshot"), searches])
    return json.dumps(job)


@pytest.fixture(scope="module")
def reference_results(search_job):
    run = run_python(SEARCH_SCRIPT, "scalar", trace=False, stdin=search_job)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""  # nothing is traced unless asked
    results = json.loads(run.stdout)
    assert sum(len(r) for r in results) > 4000
    return results


@pytest.mark.parametrize("setting", SETTINGS)
def test_each_setting_gives_the_reference_bits(setting, search_job, reference_results):
    runnable = runnable_sets()
    run = run_python(SEARCH_SCRIPT, setting, trace=True, stdin=search_job)
    if runnable is not None and setting not in runnable and setting != "auto":
        assert run.returncode != 0
        assert (f"ValueError: TARNWICK_SCAN_KERNELS='{setting}' names kernels this processor "
                f"cannot run; it runs 'auto', {', '.join(repr(s) for s in runnable)}") in run.stderr
        return
    assert run.returncode == 0, run.stderr
    expected = (runnable[-1] if setting == "auto" else setting) if runnable else None
    trace = run.stderr.splitlines()
    assert len(trace) == 1 and trace[0].startswith("tarnwick: scan kernels ")
    if expected is not None:
        assert trace[0] == f"tarnwick: scan kernels {expected}"
    assert json.loads(run.stdout) == reference_results


@pytest.mark.parametrize("setting", ["", "AVX2", "Auto", "avx", "avx2 ", " scalar", "avx512f",
                                     "sse4", "none", "1", "avx2,scalar"])
def test_other_settings_stop_the_import(setting):
    run = run_python("import tarnwick", setting, trace=True)
    assert run.returncode != 0
    assert run.stderr.splitlines()[-1] == (
        f"ValueError: TARNWICK_SCAN_KERNELS must be one of {ACCEPTED}, not '{setting}'")
    assert "tarnwick: scan kernels" not in run.stderr


def test_kernels_match_the_reference_bit_for_bit():
    """Every kernel set this processor runs against the in-order sums, over
    lengths 0 to 300 and beyond and awkward values, with each row fenced by
    unreadable pages; and the settings table."""
    output = run_cpp_test("kernel_test")
    runnable = runnable_sets()
    if runnable is not None:
        assert f"kernel sets run here: {' '.join(runnable)}" in output
