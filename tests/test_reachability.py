"""Every stored point stays findable: after builds on any number of workers,
deletes, re-inserts and loads of the store's own files, a breadth-first walk of
layer 0 from the entry point reaches every node, and a search as wide as the
store returns every point."""
import json
import os
import subprocess
import sys
from collections import deque
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tarnwick
from snapshot_format import read_snapshot


def unreachable(store, folder):
    """The graph's nodes that a breadth-first walk of layer 0 from the entry
    point does not reach, and ids its lists name without a node, read from a
    saved file."""
    path = Path(folder) / "reach.snapshot"
    store.save(str(path))
    state = read_snapshot(path.read_bytes())
    nodes = state["nodes"]
    if state["entry_point"] is None:
        return set(nodes)
    seen, queue = {state["entry_point"]}, deque([state["entry_point"]])
    while queue:
        for n in nodes[queue.popleft()][1][0]:
            if n not in seen:
                seen.add(n)
                queue.append(n)
    dangling = {n for _, lists in nodes.values() for layer in lists for n in layer} - set(nodes)
    return (set(nodes) - seen) | dangling


def unreturned(store, live, query):
    """Live ids a search as wide as the store leaves out (every point has the
    query's length, so every one is comparable under l2)."""
    return set(live) - {i for i, _ in store.search(query, len(store), "l2")}


def make_vectors(rng, count, dim, kind):
    if kind == "duplicates":  # every vector several times over
        return np.repeat(rng.normal(size=(count // 5 + 1, dim)), 5, axis=0)[:count].astype(np.float32)
    if kind == "near":  # near-duplicates around few centres
        centres = rng.normal(size=(max(1, count // 50), dim))
        picks = centres[rng.integers(0, len(centres), count)]
        return (picks + rng.normal(scale=1e-4, size=(count, dim))).astype(np.float32)
    if kind == "clustered":
        centres = rng.normal(size=(40, dim))
        return (centres[rng.integers(0, 40, count)] + 0.3 * rng.normal(size=(count, dim))).astype(np.float32)
    return rng.normal(size=(count, dim)).astype(np.float32)


def churn(scenario, folder):
    """Builds a store by batch_upsert, then runs rounds of batch and single
    deletes (the entry point among them), batch and single re-inserts, and a
    save/load with inserts after it; returns every failure seen."""
    count, dim, kind, seed, rounds = scenario
    rng = np.random.default_rng(seed)
    vectors = make_vectors(rng, count, dim, kind)
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(count, dtype=np.uint64), vectors)
    live = dict(enumerate(vectors))
    failures = []

    def check(step):
        lost = unreachable(store, folder)
        missed = unreturned(store, live, vectors[0])
        if lost or missed:
            failures.append([list(scenario), step, sorted(lost)[:10], sorted(missed)[:10]])

    check("build")
    next_id = count
    for round_number in range(rounds):
        ids = sorted(live)
        gone = set(rng.choice(ids, size=len(ids) // 10, replace=False).tolist())
        if round_number % 2 == 0:
            gone.add(read_snapshot(Path(folder, "reach.snapshot").read_bytes())["entry_point"])
        store.batch_delete(sorted(gone))
        for point_id in rng.choice(sorted(set(ids) - gone), size=20, replace=False).tolist():
            store.delete(point_id)
            gone.add(point_id)
        for point_id in gone:
            live.pop(point_id, None)
        back = sorted(gone)[: len(gone) // 2]
        fresh = make_vectors(rng, len(back) + 30, dim, kind)
        store.batch_upsert(back + list(range(next_id, next_id + 30)), fresh)
        for point_id, vector in zip(back + list(range(next_id, next_id + 30)), fresh):
            live[point_id] = vector
        next_id += 30
        for point_id, vector in zip(sorted(gone)[len(back):][:20], make_vectors(rng, 20, dim, kind)):
            store.upsert(point_id, vector.tolist(), None)
            live[point_id] = vector
        check(f"round {round_number}")
    loaded = tarnwick.VectorStorage()
    loaded.load(str(Path(folder) / "reach.snapshot"))
    store = loaded
    extra = make_vectors(rng, 600, dim, kind)
    store.batch_upsert(list(range(next_id, next_id + 600)), extra)
    live.update(zip(range(next_id, next_id + 600), extra))
    check("load, then inserts")
    gone = rng.choice(sorted(live), size=len(live) // 10, replace=False).tolist()
    store.batch_delete(gone[:-10])
    for point_id in gone[-10:]:
        store.delete(point_id)
    for point_id in gone:
        del live[point_id]
    check("load, inserts, then deletes")
    return failures


# (points, dimension, data, seed, rounds of churn)
SCENARIOS = [
    (1500, 8, "gaussian", 0, 3), (1500, 8, "gaussian", 1, 3), (1500, 8, "gaussian", 2, 3),
    (500, 2, "gaussian", 3, 4), (2500, 3, "near", 4, 3), (3000, 16, "duplicates", 5, 3),
    (4000, 32, "near", 6, 2), (6000, 128, "clustered", 7, 2), (10000, 128, "clustered", 8, 1),
    (20000, 24, "gaussian", 9, 1),
]


def run_in_child(workers, scenarios, tmp_path):
    """Runs the scenarios in a fresh interpreter whose worker pool has `workers` threads."""
    path = os.pathsep.join(filter(None, [str(Path(__file__).parent), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "RAYON_NUM_THREADS": str(workers), "PYTHONPATH": path}
    run = subprocess.run([sys.executable, __file__, json.dumps(scenarios), str(tmp_path)],
                         capture_output=True, text=True, env=env, timeout=1800)
    assert run.returncode == 0, run.stderr[-3000:]
    return json.loads(run.stdout)


@pytest.mark.slow
@pytest.mark.parametrize("workers", [1, 4])  # the serial build, and a parallel one with more workers than cores
def test_every_point_stays_reachable_through_builds_deletes_and_loads(workers, tmp_path):
    assert run_in_child(workers, SCENARIOS, tmp_path) == []


def test_a_parallel_build_keeps_every_point_reachable(tmp_path):
    """The issue's reproduction, on four workers (also run under TSan)."""
    assert run_in_child(4, [(1500, 8, "gaussian", seed, 1) for seed in range(3)], tmp_path) == []


operations = st.lists(
    st.one_of(
        st.tuples(st.just("upsert"), st.integers(0, 900), st.integers(0, 2**32)),
        st.tuples(st.just("delete"), st.integers(0, 900), st.just(0)),
        st.tuples(st.just("batch_delete"), st.integers(1, 120), st.integers(0, 2**32)),
        st.tuples(st.just("batch_upsert"), st.integers(1, 700), st.integers(0, 2**32)),
    ),
    min_size=1, max_size=12)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ops=operations)
def test_any_sequence_of_changes_keeps_every_point_reachable(ops, tmp_path):
    """Random sequences of upserts, deletes and batches on duplicate-heavy
    3-d points (many ties, much pruning) keep the graph whole."""
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(600, dtype=np.uint64),
                       make_vectors(np.random.default_rng(0), 600, 3, "duplicates"))
    live = set(range(600))
    for op, arg, seed in ops:
        rng = np.random.default_rng(seed)
        if op == "upsert":
            store.upsert(arg, make_vectors(rng, 1, 3, "duplicates")[0].tolist(), None)
            live.add(arg)
        elif op == "delete":
            store.delete(arg)
            live.discard(arg)
        elif op == "batch_delete" and live:
            gone = rng.choice(sorted(live), size=min(arg, len(live)), replace=False).tolist()
            store.batch_delete(gone)
            live -= set(gone)
        elif op == "batch_upsert":
            ids = rng.choice(1000, size=arg, replace=False).tolist()
            store.batch_upsert(ids, make_vectors(rng, arg, 3, "duplicates"))
            live |= set(ids)
    assert len(store) == len(live)
    assert unreachable(store, tmp_path) == set()
    if live:
        query = store.get(min(live))[0]
        assert unreturned(store, live, query) == set()


COPIES_CHILD = r"""
import sys
import numpy as np
import tarnwick
from snapshot_format import point_entry, snapshot
from test_reachability import unreachable
dim, m, ef_construction, folder = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
vector = np.linspace(0.5, 1.5, dim, dtype=np.float32)
path = folder + "/params.snapshot"
with open(path, "wb") as f:
    f.write(snapshot([point_entry(7, vector.tolist())], m=m, ef_construction=ef_construction))
store = tarnwick.VectorStorage()
store.load(path)
for point_id in range(3000):
    store.upsert(point_id, vector, None)
store.batch_upsert(np.arange(3000, 9000, dtype=np.uint64), np.tile(vector, (6000, 1)))
assert len(store) == 9000
assert unreachable(store, folder) == set()
state = __import__("snapshot_format").read_snapshot(open(folder + "/reach.snapshot", "rb").read())
print(max(len(lists[0]) for _, lists in state["nodes"].values()))
"""


@pytest.mark.parametrize("dim, m, ef_construction", [(2, 16, 64), (4, 16, 64), (2, 2**40, 2**40)])
def test_copies_of_one_vector_build_promptly_and_stay_reachable(dim, m, ef_construction, tmp_path):
    """3,000 upserts and a batch of 6,000 of one and the same vector, after a
    file with default parameters or with m and ef_construction past their
    bounds: every copy reachable, and no list takes in the copies the others
    refuse (every list within its budget). The time limit only says that it
    finishes: it took minutes when lists grew with the copies."""
    path = os.pathsep.join(filter(None, [str(Path(__file__).parent), os.environ.get("PYTHONPATH")]))
    run = subprocess.run([sys.executable, "-c", COPIES_CHILD, str(dim), str(m), str(ef_construction),
                          str(tmp_path)], capture_output=True, text=True, timeout=300,
                         env={**os.environ, "PYTHONPATH": path})
    assert run.returncode == 0, run.stderr[-3000:]
    assert int(run.stdout) <= 2 * min(m, 32)

if __name__ == "__main__":
    results = []
    for scenario in json.loads(sys.argv[1]):
        results += churn(tuple(scenario), sys.argv[2])
    print(json.dumps(results))


@pytest.mark.slow
def test_churn_of_single_deletes_keeps_the_recall_of_a_fresh_store():
    """Rounds that delete a fifth of the points one call at a time and add them
    again elsewhere leave a graph the default beam walks about as well as a
    fresh store of the same content: next to no query strands in another
    cluster (finding none of its ten). Levels are drawn at random, so the
    count is taken over several stores (before repairs kept the staying
    links, these six stranded 8 to 16 queries of 1,800; now 0 to 2)."""
    count, dim, clusters = 4000, 48, 40
    stranded, stranded_fresh, found_mean, fresh_mean = 0, 0, [], []
    for seed in range(1, 7):
        rng = np.random.default_rng(seed)
        centres = 3 * rng.normal(size=(clusters, dim)).astype(np.float32)

        def sample(n):
            return (centres[rng.integers(0, clusters, n)] + rng.normal(size=(n, dim))).astype(np.float32)

        vectors, queries = sample(count), sample(300)
        store = tarnwick.VectorStorage()
        store.batch_upsert(np.arange(count), vectors)
        for _ in range(8):
            moved = rng.choice(count, count // 5, replace=False)
            vectors[moved] = sample(len(moved))
            for i in moved:
                store.delete(int(i))
                store.upsert(int(i), vectors[i], None)
        fresh = tarnwick.VectorStorage()
        fresh.batch_upsert(np.arange(count), vectors)
        unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        truth = np.argsort(-(queries @ unit.T), axis=1)[:, :10]

        def found(s):
            return np.array([len({i for i, _ in s.search(q, 10, "cosine")} & set(t.tolist()))
                             for q, t in zip(queries, truth)])

        churned, rebuilt = found(store), found(fresh)
        stranded += int((churned == 0).sum())
        stranded_fresh += int((rebuilt == 0).sum())
        found_mean.append(churned.mean())
        fresh_mean.append(rebuilt.mean())
    assert stranded <= stranded_fresh + 3, (stranded, stranded_fresh)
    assert np.mean(found_mean) >= np.mean(fresh_mean) - 0.05, (found_mean, fresh_mean)
