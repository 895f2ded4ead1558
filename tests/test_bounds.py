"""Deciding from codes changes nothing a caller sees: searches with bounds (the
default) and with TARNWICK_BOUNDS=off return the same ids, scores and order,
bit for bit, for every metric, beam, limit and tenant, on stores that mix
ordinary points with ones no bound covers (other lengths, NaN, infinities,
huge and tiny magnitudes, zero vectors), before and after deletes and a
save/load. The soundness of the bounds themselves is checked in C++
(tests/cpp/code_test.cpp, run below)."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tarnwick
from conftest import run_cpp_test

# A graph depends on random level draws: the store is made once and saved,
# and each process loads the same file and answers every query.
SCRIPT = r"""
import json, sys
import numpy as np
import tarnwick

def build(seed, dim):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(12, dim)).astype(np.float32)
    labels = rng.integers(0, 12, 8000)
    data = (centres[labels] + 0.35 * rng.normal(size=(8000, dim))).astype(np.float32)
    store = tarnwick.VectorStorage()
    store.ef_search = 24
    ids = np.arange(8000, dtype=np.uint64) * 7 + 3
    # Tenant t1 holds 90% of the points: large enough to be walked, not scanned.
    payloads = [{"tenant_id": "t1" if i % 10 else "t%d" % (i % 20 // 10 * 2)} for i in range(8000)]
    store.batch_upsert(ids, data, payloads)
    odd = [
        [float("nan")] + [1.0] * (dim - 1),
        [float("inf")] + [0.5] * (dim - 1),
        [3e38] * dim,
        [1e-40] * dim,
        [0.0] * dim,
        [-0.0] * dim,
        [1.0] * (dim + 1),
        [],
        [1e20] + [1e-20] * (dim - 1),
        (data[5] * 1e-30).tolist(),
        (data[6] * 1e15).tolist(),
        data[7].tolist(),
    ]
    for i, v in enumerate(odd):
        store.upsert(10_000 + i, v, {"tenant_id": "t%d" % (i % 3)})
    for i in range(40):
        store.upsert(int(ids[i]), (data[i] * -1.0).tolist(), None)
    store.batch_delete([int(x) for x in ids[100:160]])
    queries = [q.tolist() for q in centres] + [
        (data[9] + 0.1 * rng.normal(size=dim)).tolist(),
        [0.0] * dim, [1e-40] * dim, [1e30] * dim, [float("nan")] * dim,
        [1.0] * (dim + 1), data[7].tolist(), (data[7] * -1).tolist(),
    ]
    return store, queries

def answers(store, queries):
    out = []
    for ef in (1, 8, 40):
        store.ef_search = ef
        for metric in ("cosine", "dot", "l2"):
            for tenant in (None, "t1"):
                for limit in (1, 10, 100):
                    for q in queries:
                        found = store.search(q, limit, metric, tenant)
                        out.append([[i, float(s).hex()] for i, s in found])
            out.append([[[i, float(s).hex()] for i, s in r]
                        for r in store.batch_search(queries, 10, metric)])
    return out

seed, dim, path, step = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
store, queries = build(seed, dim)
if step == "build":
    store.save(path)
    print(json.dumps(answers(store, queries)))
else:
    loaded = tarnwick.VectorStorage()
    loaded.load(path)
    print(json.dumps(answers(loaded, queries)))
"""


def run(seed, dim, path, step, bounds):
    env = dict(os.environ)
    env.pop("TARNWICK_BOUNDS", None)
    if not bounds:
        env["TARNWICK_BOUNDS"] = "off"
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(seed), str(dim), str(path), step],
                          env=env, capture_output=True, text=True, timeout=600, check=True)
    return json.loads(done.stdout)


@pytest.mark.parametrize("seed, dim", [(1, 16), (2, 100), (3, 128), (4, 384)])
def test_searches_with_and_without_bounds_are_identical(tmp_path, seed, dim):
    path = tmp_path / "store.bin"
    built = run(seed, dim, path, "build", True)
    with_bounds = run(seed, dim, path, "load", True)
    without = run(seed, dim, path, "load", False)
    assert with_bounds == without
    # Not vacuous: the answers hold many points; the loaded store answers
    # as the one that was saved.
    assert sum(len(a) for a in with_bounds) > 10_000
    assert built == with_bounds


def test_bounds_are_sound_for_every_kernel_set():
    output = run_cpp_test("code_test")
    assert "kernel set scalar" in output


def write_points_only_snapshot(path, rows):
    """A snapshot of points (any lengths) with no payloads and an empty graph:
    every search of the loaded store is an exact scan, whatever its size."""
    def varint(value):
        out = bytearray()
        while value >= 0x80:
            out.append(value & 0x7F | 0x80)
            value >>= 7
        out.append(value)
        return bytes(out)
    with open(path, "wb") as out:
        out.write(varint(len(rows)))
        for pid, row in enumerate(rows):
            row = np.asarray(row, dtype="<f4")
            out.write(varint(pid) + varint(pid) + varint(len(row)) + row.tobytes() + b"\x00")
        out.write(varint(16) + varint(64) + varint(32) + b"\x00" + varint(0) + varint(0))


SCAN_SCRIPT = r"""
import json, sys
import numpy as np
import tarnwick
store = tarnwick.VectorStorage()
store.load(sys.argv[1])
queries = json.loads(open(sys.argv[2]).read())
out = []
for metric in ("cosine", "dot", "l2"):
    for limit in (1, 3, 10, 100, 5000):
        for q in queries:
            out.append([[i, float(s).hex()] for i, s in store.search(q, limit, metric)])
    out.append([[[i, float(s).hex()] for i, s in r] for r in store.batch_search(queries, 10, metric)])
print(json.dumps(out))
"""


@pytest.mark.parametrize("dim", [5, 128, 200])
def test_exact_scans_with_and_without_bounds_are_identical(tmp_path, dim):
    rng = np.random.default_rng(dim)
    centres = rng.normal(size=(6, dim)).astype(np.float32)
    data = centres[rng.integers(0, 6, 3000)] + 0.3 * rng.normal(size=(3000, dim)).astype(np.float32)
    rows = [r for r in data]
    # Ties: repeated vectors, some scaled (equal cosines); and points no bound covers.
    rows += [data[11]] * 30 + [data[12] * 2.0] * 10 + [data[12]] * 10
    rows += [np.full(dim, v, np.float32) for v in (np.nan, np.inf, 3e38, 1e-40, 0.0, -0.0, 1e20)]
    rows += [np.ones(dim + 1, np.float32), np.ones(max(dim - 1, 0), np.float32)]
    rows += [data[13] * 1e-30, data[14] * 1e12]
    path = tmp_path / "points.bin"
    write_points_only_snapshot(path, rows)
    queries = [c.tolist() for c in centres] + [
        data[11].tolist(), (data[12] * 3).tolist(), (-data[11]).tolist(),
        [0.0] * dim, [1e-40] * dim, [1e30] * dim, [np.nan] * dim, [1.0] * (dim + 1),
        (data[15] + 1e-3).tolist(),
    ]
    query_path = tmp_path / "queries.json"
    query_path.write_text(json.dumps(queries, allow_nan=True))
    answers = []
    for bounds in (True, False):
        env = dict(os.environ)
        env.pop("TARNWICK_BOUNDS", None)
        if not bounds:
            env["TARNWICK_BOUNDS"] = "off"
        done = subprocess.run([sys.executable, "-c", SCAN_SCRIPT, str(path), str(query_path)],
                              env=env, capture_output=True, text=True, timeout=600, check=True)
        answers.append(json.loads(done.stdout))
    assert answers[0] == answers[1]
    assert sum(len(a) for a in answers[0]) > 20_000
