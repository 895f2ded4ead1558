"""The exact scan: ranking, ties, limits, tenants and replacement of points."""
import numpy as np
import pytest

import tarnwick

from conftest import same_results
from reference import rank

METRICS = ["dot", "cosine", "l2"]


class TestRanking:
    @pytest.mark.parametrize("metric", METRICS)
    def test_ties_keep_insertion_order(self, store, metric):
        ids = [50, 3, 99, 7, 2**64 - 1, 0]
        for pid in ids:
            store.upsert(pid, [1.0, 2.0], None)
        assert [pid for pid, _ in store.search([1.0, 1.0], 10, metric)] == ids
        assert [pid for pid, _ in store.search([1.0, 1.0], 3, metric)] == ids[:3]

    def test_euclidean_ascends_others_descend(self, store):
        for pid, x in enumerate([3.0, -1.0, 2.0, 0.5]):
            store.upsert(pid, [x], None)
        assert [p for p, _ in store.search([1.0], 4, "dot")] == [0, 2, 3, 1]
        assert [p for p, _ in store.search([1.0], 4, "l2")] == [3, 2, 0, 1]  # 0 and 1 tie at 2.0

    @pytest.mark.parametrize("limit", [0, 1, 5, 37, 499, 2**64 - 1])
    @pytest.mark.parametrize("metric", METRICS)
    def test_limits_against_model(self, store, rng, limit, metric):
        # Few distinct values make many ties, which the limit must cut in order.
        vectors = rng.integers(-2, 3, size=(499, 4)).astype(np.float32).tolist()
        points = []
        for pid, vector in zip(rng.permutation(10**6)[:499].tolist(), vectors):
            store.upsert(pid, vector, None)
            points.append((pid, vector, None))
        query = [1.0, -1.0, 0.5, 2.0]
        same_results(store.search(query, limit, metric), rank(points, query, limit, metric))

    def test_empty_store(self, store):
        for metric in METRICS:
            assert store.search([1.0], 10, metric) == []

    def test_results_never_repeat_an_id(self, store, rng):
        for _ in range(3):
            for pid in range(50):
                store.upsert(pid, rng.standard_normal(3).tolist(), None)
        result = store.search([1.0, 0.0, 0.0], 1000, "dot")
        assert sorted(pid for pid, _ in result) == list(range(50))


class TestReplacement:
    def test_replacing_keeps_position_and_takes_new_vector(self, store):
        store.upsert(1, [1.0], None)
        store.upsert(2, [1.0], None)
        store.upsert(1, [1.0], None)
        assert [p for p, _ in store.search([1.0], 5, "dot")] == [1, 2]
        store.upsert(1, [0.5], None)
        assert store.search([1.0], 5, "dot") == [(2, 1.0), (1, 0.5)]

    def test_replacing_with_another_length(self, store):
        store.upsert(1, [1.0, 1.0], None)
        store.upsert(1, [4.0], None)
        assert store.search([1.0, 1.0], 5, "dot") == []
        assert store.search([1.0], 5, "dot") == [(1, 4.0)]

    def test_many_replacements_with_changing_lengths(self, store, rng):
        # Replaced vectors leave space behind; the store must stay correct as it reclaims it.
        expected = {}
        for round_ in range(40):
            for pid in range(200):
                dim = 1 + (pid + round_) % 300
                vector = rng.standard_normal(dim).astype(np.float32).tolist()
                store.upsert(pid, vector, None)
                expected[pid] = vector
        for pid in (0, 57, 199):
            vector = expected[pid]
            result = store.search(vector, 200, "l2")
            assert result[0] == (pid, 0.0)


class TestTenants:
    @pytest.fixture
    def tenant_store(self, store):
        payloads = [
            {"tenant_id": "a"},
            {"tenant_id": "b"},
            {"tenant_id": "a", "x": 1},
            {"tenant_id": 7},
            {"tenant_id": "7"},
            {"tenant_id": ""},
            {"tenant_id": "é" * 40},  # 80 bytes: stored as a long text
            {},
            None,
            {"tenant_id": 7.0},
            {"TENANT_ID": "a"},
        ]
        for pid, payload in enumerate(payloads):
            store.upsert(pid, [1.0, float(pid)], payload)
        return store

    @pytest.mark.parametrize(
        "tenant, ids",
        [
            ("a", [0, 2]),
            ("b", [1]),
            ("7", [4]),
            ("", [5]),
            ("é" * 40, [6]),
            ("A", []),
            ("a ", []),
            ("nobody", []),
        ],
    )
    def test_filter(self, tenant_store, tenant, ids):
        for metric in METRICS:
            got = tenant_store.search([1.0, 0.0], 100, metric, tenant)
            assert sorted(pid for pid, _ in got) == ids

    def test_no_filter(self, tenant_store):
        assert len(tenant_store.search([1.0, 0.0], 100, "dot")) == 11

    def test_tenant_follows_replacement(self, tenant_store):
        tenant_store.upsert(0, [1.0, 0.0], {"tenant_id": "b"})
        tenant_store.upsert(1, [1.0, 1.0], None)
        tenant_store.upsert(20, [1.0, 0.0], {"tenant_id": "b"})
        assert [p for p, _ in tenant_store.search([1.0, 0.0], 10, "dot", "a")] == [2]
        assert [p for p, _ in tenant_store.search([1.0, 0.0], 10, "dot", "b")] == [0, 20]

    @pytest.mark.parametrize("metric", METRICS)
    def test_filtered_ranking_matches_model(self, store, rng, metric):
        points = []
        for pid in range(300):
            payload = {"tenant_id": f"t{pid % 7}"} if pid % 5 else None
            vector = rng.standard_normal(6).astype(np.float32).tolist()
            store.upsert(pid, vector, payload)
            points.append((pid, vector, payload))
        # Move some points between tenants: the order among a tenant's points stays the table's.
        for pid in range(0, 300, 11):
            payload = {"tenant_id": "t3"}
            store.upsert(pid, points[pid][1], payload)
            points[pid] = (pid, points[pid][1], payload)
        query = rng.standard_normal(6).astype(np.float32).tolist()
        for tenant in ("t3", "t5"):
            same_results(store.search(query, 15, metric, tenant), rank(points, query, 15, metric, tenant))


@pytest.mark.parametrize("metric", ["dot", "cosine", "l2"])
@pytest.mark.parametrize("seed", range(4))
def test_runs_of_rows_score_as_single_points_do(metric, seed):
    """The scan streams whole runs of 64 slots whose vectors share the query's
    length; a tenant holding every point takes the point-by-point path. Both
    must rank the same points with the same bits, zero vectors, NaN, ties and
    a hole left by a deletion included."""
    rng = np.random.default_rng(seed)
    store = tarnwick.VectorStorage()
    count = 300
    vectors = rng.integers(-3, 4, size=(count, 8)).astype(np.float32)  # many ties
    vectors[rng.choice(count, 10, replace=False)] = 0.0
    vectors[rng.choice(count, 3, replace=False), 2] = np.nan
    store.batch_upsert(np.arange(count, dtype=np.uint64), vectors, [{"tenant_id": "all"}] * count)
    store.upsert(count, [1.0] * 5, {"tenant_id": "all"})  # another length
    if seed % 2:
        store.delete(int(rng.integers(0, count)))
    for q in rng.integers(-3, 4, size=(5, 8)).astype(np.float32):
        same_results(store.search(q, 400, metric), store.search(q, 400, metric, "all"))
