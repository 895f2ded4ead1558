"""tarnwick_ray.ShardedVectorStorage on a local Ray with 2 shards: rankings equal
to one store's on exact-path shards, recall on graph-path shards, routing and
point operations, snapshots with their manifest, and a dead shard."""
import fcntl
import json
import math
import time

import numpy as np

import pytest

ray = pytest.importorskip("ray", reason="the ray extra is not installed (scripts/setup.sh ray)")

import tarnwick  # noqa: E402
from reference import rank  # noqa: E402
from tarnwick_ray import ShardedVectorStorage, ShardUnavailableError, shard_of  # noqa: E402
from tarnwick_ray.sharded import merge, shards_of  # noqa: E402
from test_graph import exact_top, held_out  # noqa: E402

METRICS = ["cosine", "dot_product", "euclidean"]
U64_MAX = 2**64 - 1


@pytest.fixture(scope="module")
def local_ray():
    # One local Ray for the module: 2 CPUs, a small object store, no dashboard.
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=200 * 2**20,
             log_to_driver=False)
    yield
    ray.shutdown()


def same_ranking(got, want, full):
    """got is a correct top list if its scores are want's, in order, and each of
    its (distinct) ids has that score in the full ranking; so the ids at every
    score equal want's, except among tied points cut at the end."""
    assert [s for _, s in got] == [s for _, s in want]
    assert len({i for i, _ in got}) == len(got)
    assert all(full[i] == s for i, s in got)


def points_with_ties(seed, count, dim):
    """Vectors with exact duplicates (equal scores across shards), a few of another
    length and zero vectors (left out by the scan), tenants a/b and no payload."""
    rng = np.random.default_rng(seed)
    vectors = rng.normal(size=(count, dim)).astype(np.float32).tolist()
    for i in range(0, count, 7):
        vectors[i] = vectors[(i * 3) % count]
    for i in range(3, count, 50):
        vectors[i] = [0.0] * dim if i % 100 == 3 else vectors[i][:dim - 1]
    ids = list(dict.fromkeys(rng.integers(2, U64_MAX, count * 2, dtype=np.uint64, endpoint=True).tolist()))[:count]
    ids[:2] = [0, U64_MAX]
    payloads = [None if i % 11 == 0 else {"tenant_id": "ab"[i % 2], "i": i} for i in range(count)]
    return ids, vectors, payloads


@pytest.fixture(scope="module")
def exact_pair(local_ray):
    """450 points: 2 shards of fewer than 500 each, and one store of the same points."""
    ids, vectors, payloads = points_with_ties(5, 450, 6)
    one = tarnwick.VectorStorage()
    one.batch_upsert(ids, vectors, payloads)
    sharded = ShardedVectorStorage(2, threads_per_shard=1)
    sharded.batch_upsert(ids, vectors, payloads)
    queries = np.random.default_rng(6).normal(size=(12, 6)).astype(np.float32).tolist()
    queries += [vectors[7], vectors[21]]  # queries equal to duplicated points
    return one, sharded, queries, (ids, vectors, payloads)


# ---- merging and the hash -------------------------------------------------------------

@pytest.mark.parametrize("answers, limit, lower, expected", [
    ([[(1, 0.9), (2, 0.5)], [(3, 0.7)]], 2, False, [(1, 0.9), (3, 0.7)]),
    ([[(1, 0.5), (2, 0.5)], [(3, 0.5), (4, 0.4)]], 3, False, [(1, 0.5), (2, 0.5), (3, 0.5)]),
    ([[(5, 0.5)], [(3, 0.5), (4, 0.1)]], 3, True, [(4, 0.1), (5, 0.5), (3, 0.5)]),
    ([[(1, math.nan), (2, 1.0)], [(3, 2.0)]], 5, False, [(3, 2.0), (2, 1.0), (1, math.nan)]),
    ([[(1, math.nan)], [(3, 2.0), (4, 1.0)]], 2, False, [(3, 2.0), (4, 1.0)]),
    ([[], []], 3, False, []),
    ([[(1, 1.0)], [(2, 2.0)]], 0, True, []),
])
def test_merge_orders_by_direction_then_shard_then_shard_order(answers, limit, lower, expected):
    got = merge(answers, limit, lower)
    assert [i for i, _ in got] == [i for i, _ in expected]


def test_hash_is_stable_spread_and_vectorised():
    ids = np.array([0, 1, 2, 2**32, 2**63, U64_MAX] + list(range(10, 10_000, 7)), dtype=np.uint64)
    for shards in (1, 2, 3, 8):
        routed = shards_of(ids, shards)
        assert routed.tolist() == [shard_of(int(i), shards) for i in ids]
        counts = np.bincount(routed, minlength=shards)
        assert counts.min() > 0.8 * len(ids) / shards
    # Fixed values: a change of hash would strand every saved point on the wrong shard.
    assert [shard_of(i, 1000) for i in (0, 1, U64_MAX)] == [
        int(v) % 1000 for v in (0xE220A8397B1DCDAF, 0x910A2DEC89025CC1, 0xE4D971771B652C20)]


# ---- rankings --------------------------------------------------------------------------

@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("tenant", [None, "a", "zz"])
def test_exact_shards_rank_as_one_store(exact_pair, metric, tenant):
    one, sharded, queries, _ = exact_pair
    for limit in (0, 1, 7, 40, 1000):
        batch = sharded.batch_search(queries, limit, metric, tenant)
        assert batch == one_by_one(sharded, queries, limit, metric, tenant)
        for query, got in zip(queries, batch):
            full = dict(one.search(query, 1000, metric, tenant))
            same_ranking(got, one.search(query, limit, metric, tenant), full)


def one_by_one(sharded, queries, limit, metric, tenant):
    return [sharded.search(q, limit, metric, tenant) for q in queries]


def test_exact_shards_rank_as_the_exact_scan_beyond_500_points(local_ray):
    # 900 points: one store walks its graph, each shard (~450) still scans.
    ids, vectors, payloads = points_with_ties(8, 900, 5)
    sharded = ShardedVectorStorage(2)
    sharded.batch_upsert(np.array(ids, dtype=np.uint64), vectors, payloads)
    assert max(np.bincount(shards_of(np.array(ids, dtype=np.uint64), 2))) < 500
    points = list(zip(ids, vectors, payloads))
    rng = np.random.default_rng(9)
    for metric in METRICS:
        for tenant in (None, "b"):
            for query in rng.normal(size=(4, 5)).astype(np.float32).tolist():
                full = dict(rank(points, query, 10_000, metric, tenant))
                same_ranking(sharded.search(query, 25, metric, tenant),
                             rank(points, query, 25, metric, tenant), full)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("options", [
    {"where": {"i": {"$lt": 100}}},
    {"where": {"$or": [{"i": {"$gte": 400}}, {"tenant_id": "b"}]}, "with_payload": True},
    {"where": {"i": {"$in": [3, 7, 8, 500]}}, "with_payload": True},
    {"tenant_id": "a", "where": {"i": {"$ne": 5}}, "ef": 5, "early_stop": True},
    {"where": {"tenant_id": {"$exists": False}}, "with_payload": True},
])
def test_queries_rank_as_one_store(exact_pair, metric, options):
    one, sharded, queries, _ = exact_pair
    for limit in (0, 1, 7, 1000):
        batch = sharded.batch_query(queries, limit, metric, **options)
        assert batch == [sharded.query(q, limit, metric, **options) for q in queries]
        for query, got in zip(queries, batch):
            full = {hit[0]: hit[1:] for hit in one.query(query, 1000, metric, **options)}
            want = one.query(query, limit, metric, **options)
            assert [hit[1] for hit in got] == [hit[1] for hit in want]
            assert len({hit[0] for hit in got}) == len(got)
            assert all(full[hit[0]] == hit[1:] for hit in got)  # payload included
    assert sharded.query(queries[0]) == sharded.search(queries[0], 10, "cosine")
    assert sharded.batch_query(queries[:3], 4) == sharded.batch_search(queries[:3], 4, "cosine")


def test_graph_shards_recall_at_least_one_store(local_ray):
    # Spread clusters and a narrow beam, so that recall is below 1 and can differ.
    vectors, queries = held_out(21, 3000, 150, 32, centres=40, noise=2.0)
    one = tarnwick.VectorStorage()
    one.batch_upsert(np.arange(3000), vectors)
    sharded = ShardedVectorStorage(2, threads_per_shard=1)
    sharded.batch_upsert(np.arange(3000), vectors)
    one.ef_search = sharded.ef_search = 10
    assert min(np.bincount(shards_of(np.arange(3000, dtype=np.uint64), 2))) >= 500  # graph path
    for metric in METRICS:
        truth = [set(exact_top(vectors, q, 10, metric).tolist()) for q in queries]
        hits = {}
        for name, store in (("one", one), ("sharded", sharded)):
            results = store.batch_search(queries, 10, metric)
            hits[name] = sum(len(t & {i for i, _ in r}) for t, r in zip(truth, results))
        assert hits["sharded"] >= hits["one"], (metric, hits)
        assert hits["sharded"] >= 0.9 * 10 * len(queries), (metric, hits)


# ---- points ----------------------------------------------------------------------------

def test_point_operations_match_one_store(local_ray):
    sharded, one = ShardedVectorStorage(2), tarnwick.VectorStorage()
    ids, vectors, payloads = points_with_ties(3, 120, 4)
    for store in (sharded, one):
        store.batch_upsert(ids[:60], vectors[:60], payloads[:60])
        for args in zip(ids[60:], vectors[60:], payloads[60:]):
            store.upsert(*args)
        store.batch_upsert(ids[:10], vectors[50:60])  # replaces whole, payload gone
    probe = ids + [1, 2, 3]
    assert [sharded.get(i) for i in probe] == [one.get(i) for i in probe]
    assert len(sharded) == len(one) == 120
    assert [i in sharded for i in probe + [-1, "x"]] == [i in one for i in probe] + [False, False]
    # Each point sits on the shard its id hashes to, and only there.
    counts = np.bincount([sharded.shard_of(i) for i in ids], minlength=2)
    assert [ray.get(a.call.remote("__len__")) for a in sharded.actors] == counts.tolist()
    assert all(ray.get(sharded.actors[sharded.shard_of(i)].call.remote("__contains__", i))
               for i in ids)
    assert sharded.delete(ids[5]) is True and sharded.delete(ids[5]) is False
    assert sharded.batch_delete(ids[:20] + ids[:3] + [7]) == 19
    assert len(sharded) == 100 and sharded.get(ids[0]) is None
    sharded.ef_search = 99
    assert (sharded.ef_search, sharded.m, sharded.ef_construction) == (99, one.m, one.ef_construction)
    # Queries take the fast walk unless the store or the call says otherwise.
    assert sharded.early_stop is True
    sharded.early_stop = False
    assert sharded.early_stop is False


@pytest.fixture(scope="module")
def small_store(local_ray):
    store = ShardedVectorStorage(2)
    store.batch_upsert(range(1, 40), [[float(i)] for i in range(1, 40)])
    return store


@pytest.mark.parametrize("args, error, text", [
    (([1, 2], [[1.0]]), ValueError, "point_ids has 2 items but vectors has 1"),
    (([1], [[1.0]], [None, None]), ValueError, "point_ids has 1 items but payloads has 2"),
    (([1, -1], [[1.0], [2.0]]), OverflowError, "outside 0..2\\*\\*64-1"),
    (([1, 2**64], [[1.0], [2.0]]), OverflowError, "outside"),
    (([1, "a"], [[1.0], [2.0]]), TypeError, "point ids must be int"),
    (([1, 2.0], [[1.0], [2.0]]), TypeError, "point ids must be int"),
    ((5, [[1.0]]), TypeError, "point_ids must be a sequence"),
    ((np.array([1.0]), [[1.0]]), TypeError, "1-D integer array"),
    ((np.array([-1]), [[1.0]]), OverflowError, "0..2"),
    (([1, 2], [[1.0], "ab"]), TypeError, "vectors item 1 is str"),
    (([1, 2], [[1.0], ["x"]]), TypeError, "vectors item 1 holds values that are not real"),
    (([1, 2], [[1.0], 3.0]), TypeError, "vectors item 1 is float"),
    (([1, 2], [[1.0], [2.0]], [None, {1: "a"}]), TypeError, "payloads item 1 has a key"),
    (([1, 2], [[1.0], [2.0]], [None, {"a": 2**63}]), OverflowError, "does not fit"),
    (([1, 2], [[1.0], [2.0]], [None, "a"]), TypeError, "payloads item 1 is str"),
    (([1, 2], [[1.0], [2.0]], [None, {"a": "\ud800"}]), UnicodeEncodeError, "surrogates"),
])
def test_a_bad_batch_changes_no_shard(small_store, args, error, text):
    sharded = small_store
    before = [sharded.get(i) for i in range(1, 40)]
    with pytest.raises(error, match=text):
        sharded.batch_upsert(*args)
    assert [sharded.get(i) for i in range(1, 40)] == before and len(sharded) == 39
    with pytest.raises(error):  # what one store refuses too
        tarnwick.VectorStorage().batch_upsert(*args)


def test_shard_errors_arrive_as_themselves(exact_pair):
    one, sharded, queries, _ = exact_pair
    with pytest.raises(ValueError, match="Unsupported metric option") as raised:
        sharded.search(queries[0], 3, "manhattan")
    assert type(raised.value) is ValueError
    with pytest.raises(OverflowError):
        sharded.batch_search(queries, -1, "cosine")
    with pytest.raises(TypeError):
        sharded.upsert(3, "abc", None)
    for call in (sharded.query, sharded.batch_query):
        with pytest.raises(ValueError, match="near") as raised:
            call(queries[:1] if call == sharded.batch_query else queries[0], 3,
                 where={"i": {"$near": 1}})
        assert type(raised.value) is ValueError
    progress = []
    sharded.batch_upsert([11, 12, 13], np.ones((3, 6), np.float32), progress=lambda *a: progress.append(a))
    sharded.batch_delete([11, 12, 13])
    assert progress[-1] == (3, 3) and [t for _, t in progress] == [3] * len(progress)


# ---- snapshots -------------------------------------------------------------------------

def test_save_and_load_round_trip_and_refusals(exact_pair, tmp_path, local_ray):
    one, sharded, queries, (ids, _, _) = exact_pair
    sharded.save(tmp_path / "snap")
    manifest = json.loads((tmp_path / "snap" / "manifest.json").read_text())
    assert (manifest["shards"], manifest["hash"], sum(manifest["points"])) == (2, "splitmix64", 450)

    copy = ShardedVectorStorage(2)
    copy.upsert(U64_MAX - 5, [1.0], None)  # replaced by the load
    copy.load(tmp_path / "snap")
    assert len(copy) == 450 and U64_MAX - 5 not in copy
    assert [copy.get(i) for i in ids[:50]] == [sharded.get(i) for i in ids[:50]]
    for metric in METRICS:
        assert copy.batch_search(queries, 15, metric) == sharded.batch_search(queries, 15, metric)

    def tampered(**changes):
        path = tmp_path / f"bad{len(changes)}{next(iter(changes))}"
        path.mkdir()
        for file in (tmp_path / "snap").iterdir():
            (path / file.name).write_bytes(file.read_bytes())
        (path / "manifest.json").write_text(json.dumps({**manifest, **changes}))
        return path

    three = ShardedVectorStorage(3)
    for store, directory, text in [
        (three, tmp_path / "snap", "holds 2 shards; this store has 3"),
        (copy, tampered(hash="fnv1a"), "written with hash 'fnv1a'"),
        (copy, tampered(points=[1, 449]), "from different saves"),
        (copy, tampered(format="other"), "not a ShardedVectorStorage manifest"),
        (copy, tampered(files=["../x", "y"]), "malformed"),
    ]:
        with pytest.raises(ValueError, match=text):
            store.load(directory)
    assert len(copy) == 450 and copy.batch_search(queries, 15, "l2") == sharded.batch_search(queries, 15, "l2")
    with pytest.raises(FileNotFoundError):
        copy.load(tmp_path / "absent")
    (tmp_path / "snap" / manifest["files"][1]).write_bytes(b"\x01")
    with pytest.raises(OSError):
        copy.load(tmp_path / "snap")
    assert len(copy) == 450 and len(three) == 0


def test_logs_beside_the_snapshots_keep_later_changes(exact_pair, tmp_path, local_ray):
    one, sharded, queries, (ids, vectors, payloads) = exact_pair
    store = ShardedVectorStorage(2)
    store.batch_upsert(ids, vectors, payloads)
    store.save(tmp_path / "snap", log=True)
    store.batch_delete(ids[:40])
    store.upsert(7, [1.0] * len(vectors[0]), {"late": 1})
    want = [store.get(i) for i in ids[:60]] + [store.get(7)]
    # Another store loads the directory while the first still logs to it: refused,
    # and the refusal leaves it as it was.
    copy = ShardedVectorStorage(2)
    with pytest.raises(OSError):
        copy.load(tmp_path / "snap")
    assert len(copy) == 0
    # Nor may it save there: the first store's logs continue those snapshots.
    files = {p.name: p.read_bytes() for p in (tmp_path / "snap").iterdir()}
    with pytest.raises(OSError, match="held open by another store"):
        copy.save(tmp_path / "snap")
    assert {p.name: p.read_bytes() for p in (tmp_path / "snap").iterdir()} == files
    for actor in store.actors:
        ray.kill(actor)  # a crash: nothing saved since the first save
    for log in (tmp_path / "snap").glob("*.log"):
        wait_until_unlocked(log)  # the killed processes are gone
    for log in (None, True):
        copy.load(tmp_path / "snap", log=log)
        assert [copy.get(i) for i in ids[:60]] + [copy.get(7)] == want
        assert copy.batch_search(queries, 10, "l2") == copy.batch_search(queries, 10, "l2")
    # A checkpoint, and a save elsewhere that closes the logs and leaves them whole.
    copy.save(tmp_path / "snap")
    copy.upsert(8, [2.0] * len(vectors[0]), None)
    copy.save(tmp_path / "other")
    fresh = ShardedVectorStorage(2)
    fresh.load(tmp_path / "snap")
    assert fresh.get(8) == copy.get(8) and [fresh.get(i) for i in ids[:60]] + [fresh.get(7)] == want
    fresh.load(tmp_path / "snap", log=False)
    assert 8 not in fresh and len(fresh) == len(copy) - 1


# ---- a dead shard ----------------------------------------------------------------------

def wait_until_unlocked(path, seconds=120):
    with open(path, "rb") as file:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                time.sleep(0.05)
    pytest.fail(f"{path} is still locked {seconds} s after its writer was killed")


def wait_until_dead(actor, seconds=120):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            ray.get(actor.__ray_ready__.remote(), timeout=seconds)
        except ray.exceptions.RayActorError:
            return
        time.sleep(0.05)
    pytest.fail(f"the actor still answers {seconds} s after it was killed")


def test_a_killed_shard_is_an_error_never_a_short_result(local_ray):
    sharded = ShardedVectorStorage(2)
    sharded.batch_upsert(range(100), np.random.default_rng(1).normal(size=(100, 3)))
    victim = 1
    on_victim = next(i for i in range(100) if sharded.shard_of(i) == victim)
    on_other = next(i for i in range(100) if sharded.shard_of(i) != victim)
    ray.kill(sharded.actors[victim], no_restart=True)
    wait_until_dead(sharded.actors[victim])  # the kill is only requested, not awaited
    message = f"shard {victim} of 2 is unavailable"
    for call in (lambda: sharded.search([1.0, 0.0, 0.0], 10, "cosine"),
                 lambda: sharded.batch_search([[1.0, 0.0, 0.0]] * 3, 10, "l2", "t"),
                 lambda: len(sharded),
                 lambda: sharded.get(on_victim),
                 lambda: sharded.upsert(on_victim, [1.0, 2.0, 3.0], None),
                 lambda: sharded.batch_upsert(range(10), np.ones((10, 3))),
                 lambda: sharded.batch_delete(range(100))):
        with pytest.raises(ShardUnavailableError, match=message):
            call()
    assert sharded.get(on_other) is not None  # the living shard still answers for its own ids


def test_restarting_shards_are_refused(local_ray):
    with pytest.raises(ValueError, match="max_restarts must be 0"):
        ShardedVectorStorage(2, actor_options={"max_restarts": 3})
    with pytest.raises(ValueError, match="shards must be a positive int"):
        ShardedVectorStorage(0)


def test_vectors_of_another_length_are_refused_naming_both_lengths(local_ray, tmp_path):
    store = ShardedVectorStorage(2)
    store.batch_upsert(range(20), np.ones((20, 3)))
    store.save(tmp_path)
    loaded = ShardedVectorStorage(2)
    loaded.load(tmp_path)
    for call, name in [
        (lambda s: s.upsert(30, [1.0, 2.0], None), "the vector has 2"),
        (lambda s: s.batch_upsert([30, 31], [[1.0] * 3, [1.0] * 4]), "vectors item 1 has 4"),
        (lambda s: s.batch_upsert([30, 31], np.ones((2, 5))), "each row of vectors has 5"),
        (lambda s: s.search([1.0] * 4, 3, "cosine"), "the query vector has 4"),
        (lambda s: s.query([1.0], 3, where={"a": 1}), "the query vector has 1"),
        (lambda s: s.batch_search([[1.0] * 3, [1.0] * 2], 3, "l2"), "query_vectors item 1 has 2"),
        (lambda s: s.batch_query(np.ones((4, 2)), 3), "each row of query_vectors has 2"),
    ]:
        for target in (store, loaded):
            with pytest.raises(ValueError, match=f"^{name} numbers but the store's vectors have 3"):
                call(target)
    assert len(store) == 20 and 30 not in store and 31 not in store
    assert store.query([1.0] * 3, 2) == loaded.query([1.0] * 3, 2)
    # An empty store takes vectors of several lengths in one batch, as one store does.
    mixed = ShardedVectorStorage(2)
    mixed.batch_upsert([1, 2], [[1.0], [1.0, 2.0]])
    assert mixed.search([1.0], 5, "l2")[0] == (1, 0.0)
    with pytest.raises(ValueError, match="has 3 numbers but the store's vectors have 1 or 2"):
        mixed.search([1.0] * 3, 5, "l2")
