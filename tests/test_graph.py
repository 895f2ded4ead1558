"""The graph path of search: routing, complete results, tenant filtering,
per-query memory, walks by each metric's own distance, and recall."""
import math
from pathlib import Path

import numpy as np
import pytest

import tarnwick
from conftest import run_cpp_test

MAX_DISTANCE = 3.4028234663852886e38
ROOT = Path(__file__).resolve().parent.parent


def clustered(seed, count, dim, centres=20, noise=0.25):
    rng = np.random.default_rng(seed)
    middles = rng.normal(size=(centres, dim)).astype(np.float32)
    labels = rng.integers(0, centres, count)
    return (middles[labels] + noise * rng.normal(size=(count, dim))).astype(np.float32)


def held_out(seed, count, queries, dim, **shape):
    """A clustered set and queries drawn from the same clusters."""
    both = clustered(seed, count + queries, dim, **shape)
    return both[:count], both[count:]


def fill(vectors, ids=None, payloads=None):
    store = tarnwick.VectorStorage()
    for i, v in enumerate(vectors):
        store.upsert(int(ids[i]) if ids is not None else i, v.tolist(),
                     payloads[i] if payloads is not None else None)
    return store


def exact_top(vectors, query, k, metric):
    """Ids of the exact top k in float64 (the truth recall is measured against)."""
    x, q = vectors.astype(np.float64), query.astype(np.float64)
    if metric == "cosine":
        scores = -(x @ q) / (np.linalg.norm(x, axis=1) * np.linalg.norm(q))
    elif metric == "dot_product":
        scores = -(x @ q)
    else:
        scores = np.linalg.norm(x - q, axis=1)
    return np.argsort(scores, kind="stable")[:k]


def in_order_score(query, vector, metric):
    """The score the store reports, summed in float32 in index order."""
    q, v = np.asarray(query, np.float32), np.asarray(vector, np.float32)
    s = np.float32(-0.0)
    if metric == "euclidean":
        for a, b in zip(q, v):
            d = np.float32(a - b)
            s = np.float32(s + np.float32(d * d))
        return float(np.sqrt(s))
    for a, b in zip(q, v):
        s = np.float32(s + np.float32(a * b))
    return float(s)


def recall(store, vectors, queries, k, metric, tenant=None, members=None):
    hits = 0
    for q in queries:
        pool = vectors if members is None else vectors[members]
        truth = exact_top(pool, q, k, metric)
        if members is not None:
            truth = members[truth]
        got = {i for i, _ in store.search(q.tolist(), k, metric, tenant)}
        hits += len(got & set(truth.tolist()))
    return hits / (k * len(queries))


@pytest.fixture(scope="module")
def clustered_store():
    vectors, queries = held_out(11, 4000, 100, 24)
    return vectors, queries, fill(vectors)


# ---- routing ---------------------------------------------------------------

def test_routing_switches_to_graph_at_500_points():
    # A point of another length is left out by the scan but appears on the
    # graph path with the fixed score of a pair that cannot be compared.
    rng = np.random.default_rng(5)
    store = tarnwick.VectorStorage()
    for i in range(498):
        store.upsert(i, rng.normal(size=8).tolist(), None)
    store.upsert(498, [1.0, 2.0, 3.0], None)
    query = rng.normal(size=8).tolist()
    scan = store.search(query, 1000, "cosine")
    assert len(scan) == 498 and 498 not in {i for i, _ in scan}

    store.upsert(499, rng.normal(size=8).tolist(), None)
    graph = dict(store.search(query, 1000, "cosine"))
    assert graph.get(498) == -MAX_DISTANCE
    assert len(graph) == 500


@pytest.mark.parametrize("metric", ["cosine", "dot_product", "euclidean"])
def test_graph_scores_are_the_metric_scores(clustered_store, metric):
    vectors, _, store = clustered_store
    query = vectors[7] + 0.01
    results = store.search(query.tolist(), 10, metric)
    assert len(results) == 10
    for point_id, score in results:
        want = in_order_score(query, vectors[point_id], metric)
        if metric == "cosine":
            # 1 - (1 - similarity): equal up to the rounding of the two steps.
            nq = math.sqrt(in_order_score(query, query, "dot"))
            nv = math.sqrt(in_order_score(vectors[point_id], vectors[point_id], "dot"))
            want = want / (nq * nv)
            assert score == pytest.approx(want, abs=1e-6)
        else:
            assert score == want
    scores = [s for _, s in results]
    assert scores == sorted(scores, reverse=metric != "euclidean")


@pytest.mark.parametrize("metric,special", [("cosine", -MAX_DISTANCE), ("dot_product", 0.0),
                                            ("euclidean", MAX_DISTANCE)])
def test_graph_path_scores_pairs_that_cannot_be_compared(metric, special):
    vectors = clustered(3, 600, 6)
    store = fill(vectors)
    store.upsert(10_000, [1.0, 2.0], None)  # another length
    results = dict(store.search(vectors[0].tolist(), 2000, metric))
    assert results[10_000] == special
    assert math.copysign(1.0, results[10_000]) == math.copysign(1.0, special)


def test_limit_zero_and_unique_ids_on_graph_path(clustered_store):
    vectors, _, store = clustered_store
    assert store.search(vectors[0].tolist(), 0, "cosine") == []
    for metric in ["cosine", "dot", "l2"]:
        ids = [i for i, _ in store.search(vectors[1].tolist(), 300, metric)]
        assert len(ids) == len(set(ids)) == 300


# ---- complete results (limit above ef_search) --------------------------------

@pytest.mark.parametrize("limit", [33, 100, 250])
def test_graph_search_returns_limit_results(clustered_store, limit):
    vectors, _, store = clustered_store
    results = store.search(vectors[3].tolist(), limit, "cosine")
    assert len(results) == limit
    truth = set(exact_top(vectors, vectors[3], limit, "cosine").tolist())
    assert len(truth & {i for i, _ in results}) >= 0.95 * limit


def test_huge_limit_returns_the_reached_points_without_allocating_by_limit(clustered_store):
    vectors, _, store = clustered_store
    results = store.search(vectors[0].tolist(), 2**64 - 1, "euclidean")
    assert len(results) >= 0.999 * len(vectors)
    assert len({i for i, _ in results}) == len(results)


# ---- per-query memory independent of id values --------------------------------

@pytest.mark.parametrize("big_id", [2**64 - 1, 2**63, 2**63 + 12345])
def test_huge_ids_in_a_graph_store(big_id):
    vectors = clustered(9, 1000, 16)
    ids = np.arange(1000, dtype=np.uint64)
    ids[417] = big_id
    store = fill(vectors, ids=ids)
    for metric in ["cosine", "dot_product", "euclidean"]:
        results = store.search(vectors[417].tolist(), 5, metric)
        assert len(results) == 5
        if metric != "dot_product":
            assert results[0][0] == big_id
    for _ in range(200):  # many searches: nothing grows with the id values
        store.search(vectors[417].tolist(), 10, "cosine")


# ---- walks by the query's own metric --------------------------------------------

@pytest.fixture(scope="module")
def spread_norm_store():
    rng = np.random.default_rng(21)
    vectors, queries = held_out(21, 3000, 60, 16, centres=30, noise=0.4)
    vectors *= rng.uniform(0.5, 2.0, size=(len(vectors), 1)).astype(np.float32)
    return vectors, queries, fill(vectors)


@pytest.mark.parametrize("metric,floor", [("dot_product", 0.9), ("euclidean", 0.95),
                                          ("cosine", 0.95)])
def test_each_metric_walks_by_its_own_distance(spread_norm_store, metric, floor):
    vectors, queries, store = spread_norm_store
    assert recall(store, vectors, queries, 10, metric) >= floor


# ---- tenants ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def tenant_store():
    # One large tenant (graph walk through all points), nine small ones (exact
    # scan), interleaved in the clusters, and points without a tenant.
    vectors, queries = held_out(31, 8000, 40, 16, centres=40, noise=0.3)
    rng = np.random.default_rng(31)
    names = np.where(rng.random(len(vectors)) < 0.95, "big",
                     np.array([f"t{k}" for k in rng.integers(0, 9, len(vectors))]))
    payloads = [{"tenant_id": str(n)} for n in names]
    for i in range(0, len(vectors), 97):
        payloads[i] = None
        names[i] = ""
    return vectors, names, queries, fill(vectors, payloads=payloads)


@pytest.mark.parametrize("tenant", ["big", "t0", "t4"])
def test_tenant_search_loses_nothing(tenant_store, tenant):
    vectors, names, queries, store = tenant_store
    members = np.flatnonzero(names == tenant)
    for limit in [10, 100, len(members) + 5]:
        for q in queries[:5]:
            results = store.search(q.tolist(), limit, "cosine", tenant)
            assert len(results) == min(limit, len(members))
            assert all(names[i] == tenant for i, _ in results)
    filtered = recall(store, vectors, queries, 10, "cosine", tenant, members)
    unfiltered = recall(store, vectors, queries, 10, "cosine")
    assert filtered >= unfiltered - 0.01


def test_tenant_reachable_only_through_others():
    # Tenant "b" points sit in one cluster that only "a" points surround; the
    # walk must pass through "a" to find them.
    vectors = clustered(41, 3000, 8, centres=10, noise=0.2)
    payloads = [{"tenant_id": "a"} for _ in vectors]
    far = np.flatnonzero(np.arange(len(vectors)) % 1000 == 999)
    for i in far:
        payloads[i] = {"tenant_id": "b"}
    store = fill(vectors, payloads=payloads)
    results = store.search(vectors[0].tolist(), 10, "euclidean", "b")
    assert sorted(i for i, _ in results) == sorted(far.tolist())


@pytest.mark.parametrize("tenant", ["nobody", ""])
def test_unknown_tenant_on_graph_path_is_empty(clustered_store, tenant):
    vectors, _, store = clustered_store
    assert store.search(vectors[0].tolist(), 10, "cosine", tenant) == []


@pytest.fixture(scope="module")
def mixed_tenant_store():
    # Tenant "big" holds most points and is walked, "small" is scanned; a tenth
    # of each cannot be compared with the queries: zero vectors (under cosine)
    # and vectors of another length. (Under cosine, a limit just above the
    # comparable points of "big" lets the walk answer with incomparable ones.)
    vectors, queries = held_out(43, 6000, 3, 16)
    rng = np.random.default_rng(43)
    names = np.where(rng.random(len(vectors)) < 0.95, "big", "small")
    kind = rng.choice(3, size=len(vectors), p=[0.9, 0.05, 0.05])  # whole, zero, shorter
    store = tarnwick.VectorStorage()
    for i, v in enumerate(vectors):
        vector = [0.0] * 16 if kind[i] == 1 else v[:6].tolist() if kind[i] == 2 else v.tolist()
        store.upsert(i, vector, {"tenant_id": str(names[i])})
    return names, kind, queries, store


@pytest.mark.parametrize("tenant", ["big", "small"])
@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_tenant_search_returns_every_comparable_point(mixed_tenant_store, tenant, metric):
    # min(limit, the tenant's comparable points) of them, on either path; a walk
    # may add incomparable points of the tenant, at the fixed score, but only
    # when the limit asks for more than the comparable ones.
    names, kind, queries, store = mixed_tenant_store
    comparable = (names == tenant) & (kind != 2) & ((kind != 1) if metric == "cosine" else True)
    count, members = int(comparable.sum()), int((names == tenant).sum())
    fixed = {"cosine": -MAX_DISTANCE, "dot": 0.0, "l2": MAX_DISTANCE}[metric]
    for limit in [10, count - 1, count, count + 5, members + 5]:
        for q in queries:
            results = store.search(q.tolist(), limit, metric, tenant)
            scores = [s for _, s in results]
            assert scores == sorted(scores, reverse=metric != "l2")
            found = [i for i, _ in results if comparable[i]]
            assert len(found) == min(limit, count) and len(results) <= limit
            extra = [(i, s) for i, s in results if not comparable[i]]
            assert all(names[i] == tenant and s == fixed for i, s in extra)
            assert not extra or limit > count


def test_graph_cosine_score_is_one_minus_the_distance():
    # The walk measures 1 - similarity and reports 1 minus that, in float32: the
    # exact scan's similarity from 0.5 on, within 2^-24 of it below.
    rng = np.random.default_rng(47)
    vectors = rng.normal(size=(1200, 16)).astype(np.float32)
    graph = fill(vectors)
    queries = rng.normal(size=(10, 16)).astype(np.float32).tolist()
    for q in queries:
        walked = graph.search(q, 1200, "cosine")
        assert len(walked) > 1000
        for i, score in walked[:: 7]:
            exact = tarnwick.VectorStorage()
            exact.upsert(0, vectors[i].tolist(), None)
            similarity = exact.search(q, 1, "cosine")[0][1]
            assert score == float(np.float32(1) - (np.float32(1) - np.float32(similarity)))
            assert score == similarity if similarity >= 0.5 else abs(score - similarity) <= 2.0 ** -24


# ---- quality -----------------------------------------------------------------------

def test_recall_floor_on_clustered_set(clustered_store):
    vectors, queries, store = clustered_store
    assert recall(store, vectors, queries, 10, "cosine") >= 0.95


def test_reinserted_points_are_found_at_their_new_place(clustered_store):
    vectors = clustered(13, 1500, 12)
    store = fill(vectors)
    moved = clustered(14, 1500, 12)
    for i in range(0, 1500, 3):
        store.upsert(i, moved[i].tolist(), None)
    current = vectors.copy()
    current[::3] = moved[::3]
    found = sum(store.search(current[i].tolist(), 1, "euclidean")[0][0] == i
                for i in range(0, 1500, 7))
    assert found >= 0.99 * len(range(0, 1500, 7))


# ---- graph internals (C++) ---------------------------------------------------------

@pytest.mark.parametrize("program", ["graph_test", "walk_test"])
def test_graph_internals(program):
    """Insertion invariants and reachability; the walks on hand-made graphs."""
    run_cpp_test(program)


# ---- walks on hand-made loaded graphs ------------------------------------------------

F32 = np.float32
MAX_F32 = F32(MAX_DISTANCE)


def f32_sum(terms):
    s = F32(-0.0)
    for t in terms:
        s = F32(s + t)
    return s


def model_distance(metric, q, v):
    """The walk distance of a pair, in float32 with in-order sums."""
    if v is None or len(q) != len(v):
        return MAX_F32
    if metric == "cosine":
        nq, nv = f32_sum(a * a for a in q), f32_sum(b * b for b in v)
        if nq == 0 or nv == 0:
            return MAX_F32
        return F32(1) - f32_sum(a * b for a, b in zip(q, v)) / (np.sqrt(nq) * np.sqrt(nv))
    if metric == "euclidean":
        return np.sqrt(f32_sum((a - b) * (a - b) for a, b in zip(q, v)))
    return -f32_sum(a * b for a, b in zip(q, v))


def model_graph_search(vectors, nodes, entry, max_level, ef, q, limit, metric):
    """The greedy descent and the base-layer beam as specified, by the query's
    own distance; vectors: key -> float32 array; nodes: key -> 16 lists."""
    def dist(key):
        return model_distance(metric, q, vectors.get(key))

    # Walks by Euclidean distance or the inner product pass zero vectors by:
    # kept as results, never moved to, expanded as if at MAX_DISTANCE.
    zero_d = {"euclidean": np.sqrt(f32_sum(a * a for a in q)), "dot_product": F32(0)}.get(metric)

    def passes_by(key, d):
        return d == zero_d and f32_sum(b * b for b in vectors[key]) == 0

    current = entry
    for layer in range(max_level, 0, -1):
        best = dist(current)
        if layer > 15 or not nodes:
            continue
        moving_off = current in vectors and passes_by(current, best)
        while current in nodes and nodes[current][layer] and vectors:
            moved = False
            for n in nodes[current][layer]:
                if n in vectors and not passes_by(n, dist(n)) and \
                        dist(n) < (MAX_F32 if moving_off else best):
                    best, current, moved, moving_off = dist(n), n, True, False
            if not moved:
                break
    nearest = []
    if current in vectors:
        visited = {current}
        candidates = [(dist(current), current)]
        nearest = list(candidates)
        while candidates:
            candidates.sort(key=lambda p: p[0])
            _, u = candidates.pop(0)
            worst = max(d for d, _ in nearest) if nearest else MAX_F32
            for n in nodes.get(u, [[]])[0]:
                if n in visited:
                    continue
                visited.add(n)
                if n not in vectors:
                    continue
                d = dist(n)
                if worst > d or len(nearest) < ef:
                    candidates.append((MAX_F32 if passes_by(n, d) else d, n))
                    nearest.append((d, n))
                    if len(nearest) > ef:
                        nearest.sort(key=lambda p: p[0])
                        nearest.pop()
        nearest.sort(key=lambda p: p[0])
    results = []
    for d, key in nearest[:limit]:
        v = vectors[key]
        if metric == "cosine":
            score = F32(1) - d
        elif len(v) != len(q):
            score = F32(0.0) if metric == "dot_product" else MAX_F32
        elif metric == "dot_product":
            score = f32_sum(a * b for a, b in zip(q, v))
        else:
            score = d
        results.append((key, float(score)))
    results.sort(key=lambda r: r[1], reverse=metric != "euclidean")
    return results


@pytest.mark.parametrize("seed", range(6))
def test_walks_on_loaded_graphs_follow_the_procedure(tmp_path, seed):
    # Lists longer than any cap, repeats, self links, ids without a point,
    # points without a node, a max_level above 15, and many exact ties.
    from snapshot_format import node_entry, point_entry, snapshot

    rng = np.random.default_rng(seed)
    keys = [int(k) for k in rng.choice(2**40, 560, replace=False)]
    keys[3] = 2**64 - 1
    vectors = {}
    for k in keys:
        dim = 3 if rng.random() < 0.05 else 4
        vectors[k] = rng.integers(-2, 3, dim).astype(np.float32)
    dangling = [2**63 + i for i in range(20)]
    known = keys + dangling
    nodes = {}
    for k in known:
        if rng.random() < 0.07:
            continue
        lists = [[]] * 16
        lists[0] = [known[i] for i in rng.integers(0, len(known), rng.integers(0, 45))]
        for layer in (1, 2, 3):
            if rng.random() < 0.3 / layer:
                lists[layer] = [known[i] for i in rng.integers(0, len(known), rng.integers(0, 20))]
        nodes[k] = lists
    ef_search = int(rng.choice([4, 16, 32]))
    max_level = int(rng.choice([0, 2, 3, 17]))
    entry = keys[int(rng.integers(0, len(keys)))] if seed != 5 else dangling[2]
    data = snapshot([point_entry(k, vectors[k].tolist()) for k in keys],
                    [node_entry(k, nodes[k]) for k in nodes],
                    ef_search=ef_search, entry_point=entry, max_level=max_level)
    path = tmp_path / "graph.bin"
    path.write_bytes(data)
    store = tarnwick.VectorStorage()
    store.load(str(path))

    compared = 0
    for _ in range(8):
        q = rng.integers(-2, 3, 4).astype(np.float32)
        for metric in ["cosine", "dot_product", "euclidean"]:
            for limit in {1, ef_search // 2, ef_search}:
                want = model_graph_search(vectors, nodes, entry, max_level, ef_search, q, limit,
                                          metric)
                assert store.search(q.tolist(), limit, metric) == want
                compared += bool(want)
    assert seed == 5 or compared > 0


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("share", [0.01, 0.2, 0.5])
def test_points_that_cannot_be_measured_do_not_hide_the_others(bad, share):
    """Vectors with a component that is not finite (an embedding model's
    failure) have NaN cosine distances to everything: the graph walks pass them
    by, so every other point stays findable, as without them, whichever walk."""
    vectors = clustered(7, 1500, 16)
    spoiled = np.arange(0, 1500, int(round(1 / share)))  # the first added among them
    vectors[spoiled, 3] = bad
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(1500), vectors)
    # A parallel build's graph varies from run to run: 0-1 of the 166 checked
    # miss themselves as a rule, 3 were seen on a loaded machine; a walk that
    # such points stick hid 12-25 of them.
    for early_stop in (False, True):
        missed = [i for i in range(1, 1500, 9) if i not in set(spoiled)
                  and store.query(vectors[i], 3, "cosine", early_stop=early_stop)[0][0] != i]
        assert len(missed) <= 4, (early_stop, missed)
    assert store.search(vectors[1], 3, "cosine")[0] == (1, pytest.approx(1.0))


@pytest.mark.parametrize("share", [0.02, 0.05])
@pytest.mark.parametrize("seed", [0, 2, 4])
def test_zero_vectors_do_not_hold_euclidean_walks(seed, share):
    """Zero vectors (failed embeddings, often many copies) have no place in a
    graph linked by cosine distance, yet a Euclidean walk measures each at the
    query's norm: one that moved into them was held among their copies and
    answered with zero vectors only, while the true neighbours lay nearer.
    The walks keep them as results but do not move through them."""
    rng = np.random.default_rng(seed)
    vectors = rng.normal(size=(5000, 8)).astype(np.float32)
    zero = rng.random(5000) < share
    vectors[zero] = 0.0
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(5000), vectors)
    queries = rng.normal(size=(100, 8)).astype(np.float32)
    truth = [set(exact_top(vectors, q, 10, "euclidean")) for q in queries]
    for name, answer in (("search", lambda q: store.search(q.tolist(), 10, "l2")),
                         ("fast walk", lambda q: store.query(q, 10, "l2", early_stop=True))):
        answers = [[p for p, _ in answer(q)] for q in queries]
        # Held: answered by zero vectors only, though the ten nearest points
        # all lie nearer than any zero vector.
        held = sum(all(zero[p] for p in got) and not any(zero[p] for p in want)
                   for got, want in zip(answers, truth))
        recall = np.mean([len(set(got) & want) / 10 for got, want in zip(answers, truth)])
        assert held == 0 and recall >= 0.95, (name, held, recall)


@pytest.mark.parametrize("how", ["upsert", "batch_upsert"])
def test_points_stored_again_alike_keep_their_links(tmp_path, how):
    """A pipeline run twice stores every point again with the vector it has,
    payloads changed: the graph stays link for link as it was (relinking it
    all took as long as the first build), the payloads change, and a point
    whose vector moves, if only by its last bit, is linked again."""
    from follow_helpers import graph_of
    rng = np.random.default_rng(5)
    vectors = rng.normal(size=(1500, 16)).astype(np.float32)
    store = tarnwick.VectorStorage()
    store.batch_upsert(list(range(1500)), vectors)
    store.save(str(tmp_path / "before"))
    payloads = [{"run": 2, "i": i} for i in range(1500)]
    if how == "upsert":
        for i in range(1500):
            store.upsert(i, vectors[i], payloads[i])
    else:
        store.batch_upsert(list(range(1500)), vectors, payloads)
    store.save(str(tmp_path / "again"))
    assert graph_of(tmp_path / "again") == graph_of(tmp_path / "before")
    assert [store.get(i)[1] for i in (0, 777, 1499)] == [payloads[i] for i in (0, 777, 1499)]
    moved = vectors[:300].copy()
    moved.view(np.uint32)[:, -1] ^= 1
    getattr(store, how)(*((0, moved[0], None) if how == "upsert" else (list(range(300)), moved)))
    store.save(str(tmp_path / "moved"))
    assert graph_of(tmp_path / "moved") != graph_of(tmp_path / "before")
    assert store.get(0)[0] == moved[0].tolist()
