"""batch_search: each query answered as search answers it, in input order, on
worker pools of any size, with the argument checks and errors of the method."""

import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarnwick

BATCH_METRIC_ERROR = (
    "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'."
)
METRIC_NAMES = ["cosine", "dot_product", "dot", "euclidean", "l2", "COSINE", "Dot", "L2"]
TENANTS = ["north", "south", ""]


def tenant_of(point_id):
    """The tenant text given to a point, or None for points without one."""
    if point_id % 5 == 0:
        return None
    return TENANTS[point_id % 3]


def payload_of(point_id):
    tenant = tenant_of(point_id)
    if tenant is None:
        return None if point_id % 10 == 0 else {"tenant_id": point_id}  # an int never matches
    return {"tenant_id": tenant, "rank": point_id}


def random_vector(rng, dim):
    return [rng.uniform(-1.0, 1.0) for _ in range(dim)]


def filled_store(count, dim, seed=11):
    store = tarnwick.VectorStorage()
    rng = random.Random(seed)
    for point_id in range(count):
        store.upsert(point_id, random_vector(rng, dim), payload_of(point_id))
    return store


@pytest.fixture(scope="module")
def store():
    return filled_store(300, 6)


@pytest.fixture(scope="module")
def queries():
    rng = random.Random(5)
    return [random_vector(rng, 6) for _ in range(37)]


def run_python(script, env_updates=None, timeout=120):
    """Runs a script in a fresh interpreter with the pool's variables cleared."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_updates or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


class TestEqualToSearch:
    @pytest.mark.parametrize("metric", METRIC_NAMES)
    @pytest.mark.parametrize("tenant", [None, "north", ""])
    def test_every_query_matches_search(self, store, queries, metric, tenant):
        expected = [store.search(q, 7, metric, tenant) for q in queries]
        assert store.batch_search(queries, 7, metric, tenant) == expected
        assert any(expected), "the fixture should give non-empty answers"

    @pytest.mark.parametrize("limit", [0, 1, 3, 1000, 2**64 - 1])
    def test_limits(self, store, queries, limit):
        expected = [store.search(q, limit, "l2") for q in queries]
        got = store.batch_search(queries, limit, "l2")
        assert got == expected
        assert all(len(inner) == min(limit, 300) for inner in got)

    @pytest.mark.parametrize("count", [1, 2, 3, 8, 9, 65])
    def test_batch_sizes_around_part_boundaries(self, store, count):
        rng = random.Random(count)
        batch = [random_vector(rng, 6) for _ in range(count)]
        assert store.batch_search(batch, 4, "cosine") == [store.search(q, 4, "cosine") for q in batch]

    def test_repeated_query_gets_identical_answers(self, store, queries):
        got = store.batch_search([queries[0]] * 20, 5, "dot")
        assert got == [store.search(queries[0], 5, "dot")] * 20

    def test_results_follow_input_order(self, store):
        # Each query is a stored vector, so under l2 its own point comes first.
        rng = random.Random(11)
        vectors = [random_vector(rng, 6) for _ in range(300)]
        ids = list(range(0, 300, 7))
        random.Random(3).shuffle(ids)
        got = store.batch_search([vectors[i] for i in ids], 1, "l2")
        assert [inner[0][0] for inner in got] == ids
        assert all(inner[0][1] == 0.0 for inner in got)

    def test_result_shape(self, store, queries):
        got = store.batch_search(queries[:3], 2, "cosine")
        assert type(got) is list and len(got) == 3
        for inner in got:
            assert type(inner) is list
            for pair in inner:
                assert type(pair) is tuple and type(pair[0]) is int and type(pair[1]) is float


class TestQueryShapes:
    def test_empty_batch(self, store):
        assert store.batch_search([], 5, "cosine") == []
        assert store.batch_search((), 5, "l2", "north") == []

    def test_mixed_query_lengths_are_answered_independently(self):
        store = tarnwick.VectorStorage()
        rng = random.Random(2)
        for point_id in range(60):
            dim = (2, 3, 0)[point_id % 3]
            store.upsert(point_id, random_vector(rng, dim), None)
        batch = [[0.5, 0.25], [0.1, 0.2, 0.3], [], [1.0] * 7, [0.0, 0.0], [-1.0, 2.0]]
        for metric in ("cosine", "dot", "l2"):
            got = store.batch_search(batch, 100, metric)
            assert got == [store.search(q, 100, metric) for q in batch]
            assert {point_id % 3 for point_id, _ in got[0]} == {0}  # length 2 only
            assert {point_id % 3 for point_id, _ in got[1]} == {1}
            assert got[3] == []  # no point of length 7
        cosine = store.batch_search(batch, 100, "cosine")
        assert cosine[2] == [] and cosine[4] == []  # zero and empty queries have no cosine
        dot = store.batch_search(batch, 100, "dot")
        assert len(dot[2]) == 20 and all(score == 0.0 for _, score in dot[2])

    def test_queries_of_other_sequence_types(self, store, queries):
        expected = store.batch_search(queries[:4], 5, "cosine")
        as_array = np.array(queries[:4], dtype=np.float64)
        assert store.batch_search(as_array, 5, "cosine") == expected
        assert store.batch_search(tuple(tuple(q) for q in queries[:4]), 5, "cosine") == expected
        assert store.batch_search([b"\x01\x02", range(3)], 1, "dot") == [
            store.search([1.0, 2.0], 1, "dot"),
            store.search([0.0, 1.0, 2.0], 1, "dot"),
        ]

    def test_conversion_may_call_back_into_the_store(self):
        # An element's __float__ runs before the queries are searched, so a
        # point it inserts is already visible to the batch.
        store = tarnwick.VectorStorage()
        store.upsert(1, [1.0, 0.0], None)

        class Inserting:
            def __float__(self):
                store.upsert(2, [0.0, 1.0], None)
                store.batch_search([[1.0, 0.0], [0.0, 1.0]], 1, "dot")
                return 1.0

        got = store.batch_search([[0.0, 1.0], [0.0, Inserting()]], 1, "dot")
        assert got == [[(2, 1.0)], [(2, 1.0)]]


class TestTenants:
    @pytest.mark.parametrize("tenant", TENANTS + ["nobody", "5"])
    def test_filter_applies_to_every_query(self, store, queries, tenant):
        got = store.batch_search(queries, 300, "dot", tenant)
        assert got == [store.search(q, 300, "dot", tenant) for q in queries]
        members = {i for i in range(300) if tenant_of(i) == tenant}
        for inner in got:
            assert {point_id for point_id, _ in inner} == members

    def test_none_means_no_filter(self, store, queries):
        assert store.batch_search(queries, 4, "l2", None) == store.batch_search(queries, 4, "l2")
        assert store.batch_search(queries, 4, "l2", tenant_id=None) == [
            store.search(q, 4, "l2") for q in queries
        ]


class TestErrors:
    @pytest.mark.parametrize("name", ["cos", "l2 ", "", "manhattan", "dot-product"])
    @pytest.mark.parametrize("batch", [[], [[1.0, 2.0]], [[1.0], [2.0], [3.0]]])
    def test_unknown_metric(self, store, name, batch):
        with pytest.raises(ValueError) as raised:
            store.batch_search(batch, 3, name)
        assert raised.value.args == (BATCH_METRIC_ERROR,)

    @pytest.mark.parametrize(
        "call, kind, text, note",
        [
            (lambda s: s.batch_search("ab", 1, "cosine"), TypeError,
             "Can't extract `str` to `Vec`", "query_vectors"),
            (lambda s: s.batch_search([[1.0], "ab"], 1, "cosine"), TypeError,
             "Can't extract `str` to `Vec`", "query_vectors"),
            (lambda s: s.batch_search(5, 1, "cosine"), TypeError,
             "'int' object is not an instance of 'Sequence'", "query_vectors"),
            (lambda s: s.batch_search([[1.0], 5], 1, "cosine"), TypeError,
             "'int' object is not an instance of 'Sequence'", "query_vectors"),
            (lambda s: s.batch_search([[1.0, "x"]], 1, "cosine"), TypeError,
             "must be real number, not str", "query_vectors"),
            (lambda s: s.batch_search({1, 2}, 1, "cosine"), TypeError,
             "'set' object is not an instance of 'Sequence'", "query_vectors"),
            (lambda s: s.batch_search([[1.0]], -1, "cosine"), OverflowError, None, "limit"),
            (lambda s: s.batch_search([[1.0]], 1, 3), TypeError,
             "'int' object is not an instance of 'str'", "metric"),
            (lambda s: s.batch_search([[1.0]], 1, "cosine", 7), TypeError,
             "'int' object is not an instance of 'str'", "tenant_id"),
        ],
    )
    def test_conversion_errors_name_the_argument(self, store, call, kind, text, note):
        with pytest.raises(kind) as raised:
            call(store)
        if text is not None:
            assert str(raised.value) == text
        assert raised.value.__notes__ == [f"while processing '{note}'"]

    @pytest.mark.parametrize(
        "call, kind",
        [
            (lambda s: s.batch_search("ab", 1, "bogus"), TypeError),
            (lambda s: s.batch_search([[1.0]], -1, "bogus"), OverflowError),
            (lambda s: s.batch_search([], 1, "bogus", 7), TypeError),
        ],
    )
    def test_argument_errors_come_before_the_metric(self, store, call, kind):
        with pytest.raises(kind):
            call(store)

    @pytest.mark.parametrize(
        "call, text",
        [
            (lambda s: s.batch_search(),
             "VectorStorage.batch_search() missing 3 required positional arguments: "
             "'query_vectors', 'limit', and 'metric'"),
            (lambda s: s.batch_search([], 1, "dot", None, 5),
             "VectorStorage.batch_search() takes from 3 to 4 positional arguments but 5 were given"),
            (lambda s: s.batch_search([], 1, metric="dot", k=2),
             "VectorStorage.batch_search() got an unexpected keyword argument 'k'"),
            (lambda s: s.batch_search([], 1, "dot", query_vectors=[]),
             "VectorStorage.batch_search() got multiple values for argument 'query_vectors'"),
        ],
    )
    def test_binding_errors(self, store, call, text):
        with pytest.raises(TypeError) as raised:
            call(store)
        assert str(raised.value) == text
        assert not hasattr(raised.value, "__notes__")

    def test_keywords(self, store, queries):
        got = store.batch_search(query_vectors=queries[:2], limit=2, metric="dot", tenant_id="south")
        assert got == [store.search(q, 2, "dot", "south") for q in queries[:2]]


# Runs in a fresh interpreter: builds a store, checks batch_search against
# search on batches of many sizes and prints how many worker threads the
# process has before the pool exists, after, and after a later batch.
POOL_SCRIPT = """
    import os, random, sys
    import tarnwick

    def threads():
        names = []
        for task in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        return names.count("tarnwick-worker")

    rng = random.Random(1)
    store = tarnwick.VectorStorage()
    for i in range(400):
        store.upsert(i, [rng.uniform(-1, 1) for _ in range(5)],
                     {"tenant_id": "ab"[i % 2]} if i % 3 else None)
    before = threads()
    assert store.batch_search([], 3, "cosine") == []  # an empty batch builds the pool
    after = threads()
    for count in (1, 2, 3, 5, 16, 17, 250):
        batch = [[rng.uniform(-1, 1) for _ in range(5)] for _ in range(count)]
        for metric, tenant in (("cosine", None), ("l2", "a"), ("dot", "b")):
            expected = [store.search(q, 9, metric, tenant) for q in batch]
            assert store.batch_search(batch, 9, metric, tenant) == expected, (count, metric)
    os.environ["RAYON_NUM_THREADS"] = "5"  # read once: later batches keep the pool
    store.batch_search([[1.0] * 5] * 4, 1, "dot")
    print(before, after, threads())
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize(
    "env, workers",
    [
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "1"}, 3),
        ({"RAYON_NUM_THREADS": "+2"}, 2),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "two", "RAYON_RS_NUM_CPUS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 2", "RAYON_RS_NUM_CPUS": "-1"}, None),
        # More workers than the address space can describe: none start, and
        # batches run on the calling thread. A sanitizer's allocator ends the
        # process on such a request instead of failing it.
        pytest.param(
            {"RAYON_NUM_THREADS": "99999999999999999"}, 0,
            marks=pytest.mark.skipif("san.so" in os.environ.get("LD_PRELOAD", ""),
                                     reason="sanitizer allocators abort on impossible sizes"),
        ),
        ({"RAYON_NUM_THREADS": "2.0"}, None),
        ({}, None),
    ],
)
def test_pool_size_and_results_in_a_fresh_process(env, workers):
    done = run_python(POOL_SCRIPT, env)
    assert done.returncode == 0, done.stderr
    before, after, later = map(int, done.stdout.split())
    expected = os.cpu_count() if workers is None else workers
    assert (before, after, later) == (0, expected, expected)
