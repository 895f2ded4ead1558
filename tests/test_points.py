"""Managing points: batch_upsert against sequential upserts, delete and
batch_delete with graph repair, get, len, membership and the beam properties."""
import math
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwick
from conftest import run_cpp_test, same_results
from test_graph import exact_top, held_out

SETTINGS = settings(max_examples=40, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

U64_MAX = 2**64 - 1
components = st.floats(width=32, allow_nan=True, allow_infinity=True)
payloads = st.one_of(st.none(), st.dictionaries(
    st.sampled_from(["tenant_id", "a", "b"]),
    st.one_of(st.sampled_from(["x", "y", "z" * 70]), st.integers(-2**63, 2**63 - 1),
              st.floats(allow_nan=True)), max_size=3))
batches = st.lists(st.tuples(st.one_of(st.integers(0, 8), st.just(U64_MAX)),
                             st.lists(components, min_size=2, max_size=2), payloads), max_size=20)


def bits(value):
    return struct.pack("<d", value)


def point_state(store, ids):
    """Every id's point as bits, so that NaN and -0.0 compare exactly."""
    state = {}
    for i in ids:
        point = store.get(i)
        if point is not None:
            vector, payload = point
            payload = None if payload is None else sorted(
                (k, bits(v) if isinstance(v, float) else v) for k, v in payload.items())
            point = ([bits(x) for x in vector], payload)
        state[i] = point
    return state


# ---- batch_upsert ---------------------------------------------------------------

@SETTINGS
@given(batch=batches, split=st.integers(0, 20))
def test_batch_upsert_is_upserts_in_order(batch, split):
    one_by_one, batched = tarnwick.VectorStorage(), tarnwick.VectorStorage()
    for point_id, vector, payload in batch:
        one_by_one.upsert(point_id, vector, payload)
    # Two calls, so that a later batch also replaces points of an earlier one.
    for part in (batch[:split], batch[split:]):
        batched.batch_upsert([p[0] for p in part], [p[1] for p in part], [p[2] for p in part])
    ids = {p[0] for p in batch} | {100}
    assert point_state(batched, ids) == point_state(one_by_one, ids)
    assert len(batched) == len(one_by_one) == len({p[0] for p in batch})
    for query in ([1.0, 0.5], [-2.0, 0.0]):
        for metric in ("cosine", "dot", "l2"):
            same_results(batched.search(query, 30, metric), one_by_one.search(query, 30, metric))
            same_results(batched.search(query, 30, metric, "x"), one_by_one.search(query, 30, metric, "x"))


BAD_BATCHES = [
    # (arguments, exception, text, note)
    (([1, 2], [[1.0]]), ValueError, "point_ids has 2 items but vectors has 1", None),
    (([1], [[1.0]], [None, None]), ValueError, "point_ids has 1 items but payloads has 2", None),
    (([1, -1], [[1.0], [2.0]]), OverflowError, None, "while processing 'point_ids' item 1"),
    (([1, "a"], [[1.0], [2.0]]), TypeError, None, "while processing 'point_ids' item 1"),
    ((5, [[1.0]]), TypeError, "'int' object is not an instance of 'Sequence'",
     "while processing 'point_ids'"),
    (([1, 2], [[1.0], "ab"]), TypeError, "Can't extract `str` to `Vec`",
     "while processing 'vectors' item 1"),
    (([1, 2], [[1.0], [None]]), TypeError, None, "while processing 'vectors' item 1"),
    (([1], [[1.0]], [5]), TypeError, "'int' object is not an instance of 'dict'",
     "while processing 'payloads' item 0"),
    (([1], [[1.0]], [{1: 2}]), TypeError, "'int' object is not an instance of 'str'",
     "while processing 'payloads' item 0"),
    (([1], [[1.0]], {"a": 1}), TypeError, "'dict' object is not an instance of 'Sequence'",
     "while processing 'payloads'"),
]


@pytest.mark.parametrize("args, kind, text, note", BAD_BATCHES)
def test_bad_batches_change_nothing(store, args, kind, text, note):
    store.upsert(1, [9.0], {"keep": 1})
    with pytest.raises(kind) as raised:
        store.batch_upsert(*args)
    if text is not None:
        assert str(raised.value) == text
    assert getattr(raised.value, "__notes__", [None]) == [note]
    assert len(store) == 1 and store.get(1) == ([9.0], {"keep": 1})


@pytest.mark.parametrize("call, text", [
    (lambda s: s.batch_upsert([1], [[1.0]], None, None),
     "VectorStorage.batch_upsert() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda s: s.batch_upsert([1]), "VectorStorage.batch_upsert() missing 1 required positional argument: 'vectors'"),
    (lambda s: s.batch_upsert([1], [[1.0]], progress=3), "'int' object is not callable"),
    (lambda s: s.delete(), "VectorStorage.delete() missing 1 required positional argument: 'point_id'"),
    (lambda s: s.get(1, 2), "VectorStorage.get() takes 1 positional arguments but 2 were given"),
    (lambda s: s.batch_delete(ids=[1]), "VectorStorage.batch_delete() got an unexpected keyword argument 'ids'"),
    (lambda s: s.delete("7"), "'str' object cannot be interpreted as an integer"),
])
def test_binding_errors_of_new_methods(store, call, text):
    with pytest.raises(TypeError) as raised:
        call(store)
    assert str(raised.value) == text


def test_progress_is_called_between_chunks_and_may_use_the_store(store):
    count = 10_000
    vectors = np.random.default_rng(1).normal(size=(count, 8)).astype(np.float32).tolist()
    seen = []

    def progress(done, total):
        # Re-entrant calls: the store is consistent and unlocked between chunks.
        seen.append((done, total, len(store), len(store.search(vectors[0], 3, "cosine"))))
        store.upsert(10**9 + done, [1.0] * 8, None)

    store.batch_upsert(list(range(count)), vectors, progress=progress)
    assert [s[:2] for s in seen] == [(d, count) for d in (4096, 8192, count)]
    assert [s[2] for s in seen] == [4096, 8192 + 1, count + 2]
    assert all(s[3] == 3 for s in seen)
    assert len(store) == count + 3


def test_an_exception_in_progress_keeps_the_chunks_already_stored(store):
    def progress(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        store.batch_upsert(list(range(5000)), [[float(i), 1.0] for i in range(5000)], progress=progress)
    assert len(store) == 4096
    assert all(store.get(i) == ([float(i), 1.0], None) for i in (0, 4095))
    assert store.get(4096) is None


def test_ctrl_c_mid_batch_leaves_a_consistent_store(tmp_path):
    """SIGINT arriving while chunks are stored stops the batch at a chunk
    boundary: every point is there whole or not at all, and the store works.
    The signal is sent from outside once the first chunk is in, so it lands
    while later chunks are stored; on a machine so busy that the batch ends
    before the signal arrives, the batch is tried again."""
    script = textwrap.dedent(f"""
        import os, signal, subprocess, sys, numpy as np, tarnwick
        # A shell starting the suite in the background hands down SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        vectors = np.random.default_rng(2).normal(size=(200_000, 16)).astype(np.float32).tolist()
        for attempt in range(5):
            store = tarnwick.VectorStorage()
            killers = []

            def progress(done, total):
                if not killers:
                    killers.append(subprocess.Popen(["kill", "-INT", str(os.getpid())]))

            try:
                store.batch_upsert(list(range(len(vectors))), vectors, progress=progress)
                killers[0].wait()  # a signal arriving after the batch ends raises here
                print("attempt", attempt, "not interrupted; kill exited", killers[0].returncode,
                      file=sys.stderr)
            except KeyboardInterrupt:
                if len(store) == len(vectors):
                    print("attempt", attempt, "interrupted after the batch", file=sys.stderr)
                    continue
                n = len(store)
                assert 0 < n < len(vectors) and n % 4096 == 0, n
                assert all(store.get(i) == (vectors[i], None) for i in range(n))
                assert store.get(n) is None
                assert store.search(vectors[7], 1, "cosine")[0][0] == 7
                store.save({str(tmp_path / 'after.snap')!r})
                print("interrupted", n)
                break
        else:
            print("finished every time")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("interrupted"), run.stderr
    loaded = tarnwick.VectorStorage()
    loaded.load(str(tmp_path / "after.snap"))
    assert len(loaded) == int(run.stdout.split()[1])


# ---- delete, get, len, in -----------------------------------------------------

SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-45, 3.4028234663852886e38]


@pytest.mark.parametrize("payload", [
    None, {}, {"tenant_id": "acme", "n": -2**63, "f": -0.0, "g": math.nan, "long": "é" * 60},
    {"k": "x" * 64, "t": "x" * 65, "i": 2**63 - 1, "inf": -math.inf},
])
def test_get_round_trips_points_bit_for_bit(store, payload):
    store.upsert(U64_MAX, SPECIAL, payload)
    vector, got = store.get(U64_MAX)
    assert [bits(x) for x in vector] == [bits(float(np.float32(x))) for x in SPECIAL]
    if payload is None:
        assert got is None
    else:
        assert got.keys() == payload.keys()
        for key, value in payload.items():
            assert type(got[key]) is type(value)
            assert (bits(got[key]) == bits(value)) if isinstance(value, float) else got[key] == value


def test_membership_and_length(store):
    assert len(store) == 0 and not store and 0 not in store
    store.upsert(5, [1.0], None)
    store.upsert(5, [2.0], None)
    assert len(store) == 1 and 5 in store and True not in store
    assert -1 not in store and 2**64 not in store and 4 not in store
    with pytest.raises(TypeError):
        "5" in store
    assert store.delete(5) is True and store.delete(5) is False and 5 not in store
    assert store.get(5) is None and len(store) == 0


@pytest.fixture(scope="module")
def graph_data():
    return held_out(5, 3000, 60, 16)


def fresh(vectors, ids):
    store = tarnwick.VectorStorage()
    store.batch_upsert(list(map(int, ids)), vectors[ids].tolist())
    return store


def recall_of(store, vectors, ids, queries):
    hits = 0
    for q in queries:
        truth = set(ids[exact_top(vectors[ids], q, 10, "cosine")].tolist())
        got = [i for i, _ in store.search(q.tolist(), 10, "cosine")]
        assert len(got) == 10
        hits += len(truth & set(got))
    return hits / (10 * len(queries))


def test_deleting_30_percent_keeps_recall_and_never_returns_a_deleted_id(graph_data):
    vectors, queries = graph_data
    ids = np.arange(len(vectors))
    store = fresh(vectors, ids)
    gone = np.random.default_rng(3).choice(ids, size=900, replace=False)
    assert store.batch_delete(gone.tolist() + gone[:10].tolist() + [10**9]) == 900
    kept = np.setdiff1d(ids, gone)
    assert len(store) == len(kept)
    gone_set = set(gone.tolist())
    for q in queries:
        assert not gone_set & {i for i, _ in store.search(q.tolist(), 50, "l2")}
    assert recall_of(store, vectors, kept, queries) >= recall_of(fresh(vectors, kept), vectors, kept, queries) - 0.03


def test_delete_every_point_one_by_one_then_refill(graph_data, tmp_path):
    vectors, queries = graph_data
    store = fresh(vectors[:600], np.arange(600))
    order = np.random.default_rng(4).permutation(600)
    for n, i in enumerate(order):
        assert store.delete(int(i))
        if n % 97 == 0:  # the graph stays searchable while it shrinks, entry point included
            got = store.search(queries[0].tolist(), 5, "cosine")
            assert len(got) == min(5, 599 - n) and not {i for i, _ in got} & set(order[:n + 1].tolist())
    assert len(store) == 0 and store.search([1.0] * 16, 5, "cosine") == []
    store.save(str(tmp_path / "empty"))
    assert (tmp_path / "empty").read_bytes() == bytes([0, 16, 64, 32, 0, 0, 0])
    store.batch_upsert(list(range(600, 1200)), vectors[:600].tolist())
    # The refilled graph finds a stored vector (an approximate walk: within its ten nearest).
    assert 603 in [i for i, _ in store.search(vectors[3].tolist(), 10, "cosine")]
    assert len(store.search(queries[0].tolist(), 10, "cosine")) == 10


def test_saved_file_after_deletes_has_no_trace_of_them(graph_data, tmp_path):
    vectors, _ = graph_data
    store = fresh(vectors[:1000], np.arange(1000))
    store.upsert(2000, [1.0] * 16, {"tenant_id": "t"})
    gone = list(range(0, 1000, 3)) + [2000]
    store.batch_delete(gone)
    store.save(str(tmp_path / "a"))
    same = fresh(vectors[:1000], np.arange(1000))
    same.batch_delete(gone)
    same.save(str(tmp_path / "b"))
    from snapshot_format import read_snapshot
    state = read_snapshot((tmp_path / "a").read_bytes())
    named = set(state["points"]) | set(state["nodes"])
    for _, lists in state["nodes"].values():
        named |= {n for layer in lists for n in layer}
    assert not named & set(gone)
    assert named == set(range(1000)) - set(gone)
    assert state["entry_point"] in named
    loaded = tarnwick.VectorStorage()
    loaded.load(str(tmp_path / "a"))
    assert len(loaded) == 1000 - 334 and loaded.search([1.0] * 16, 5, "cosine", "t") == []


def test_tenant_lists_follow_deletes_and_reinserts(graph_data):
    vectors, queries = graph_data
    store = tarnwick.VectorStorage()
    tenants = [{"tenant_id": "even" if i % 2 == 0 else "odd"} for i in range(3000)]
    store.batch_upsert(list(range(3000)), vectors.tolist(), tenants)
    store.batch_delete(list(range(0, 3000, 4)))
    store.upsert(1, vectors[1].tolist(), {"tenant_id": "even"})  # changes tenant
    for q in queries[:10]:
        got = [i for i, _ in store.search(q.tolist(), 20, "cosine", "even")]
        assert len(got) == 20 and all(i % 4 == 2 or i == 1 for i in got)
    assert store.search(vectors[1].tolist(), 1, "dot", "odd")[0][0] != 1


@pytest.mark.parametrize("seed", range(3))
def test_tenants_that_come_and_go_are_searched_by_their_current_members(seed, tmp_path):
    """A tenant whose last point leaves is forgotten and its code serves the
    next new one: searches of every tenant, new, current or gone, see exactly
    its current points, before and after a save and load."""
    rng = np.random.default_rng(seed)
    store = tarnwick.VectorStorage()
    owner = {}  # id -> tenant
    for step in range(600):
        pid = int(rng.integers(0, 40))
        if rng.random() < 0.3:
            store.delete(pid)
            owner.pop(pid, None)
        else:
            tenant = f"s{step}" if rng.random() < 0.7 else owner.get(int(rng.integers(0, 40)), "s0")
            store.upsert(pid, [1.0, float(pid)], {"tenant_id": tenant})
            owner[pid] = tenant
    loaded = tarnwick.VectorStorage()
    store.save(str(tmp_path / "s"))
    loaded.load(str(tmp_path / "s"))
    for tenant in {f"s{step}" for step in range(0, 600, 7)} | set(owner.values()):
        want = sorted(pid for pid, t in owner.items() if t == tenant)
        for s in (store, loaded):
            assert sorted(pid for pid, _ in s.search([1.0, 0.5], 100, "l2", tenant)) == want
            assert sorted(pid for pid, _ in s.query([1.0, 0.5], 100, "l2", tenant_id=tenant)) == want


def test_table_internals():
    """The id index against a model, and every change to the point table left
    consistent and unchanged when an allocation inside it fails."""
    run_cpp_test("table_test")


# ---- the beam --------------------------------------------------------------------

def test_beam_properties(store, tmp_path):
    assert (store.m, store.ef_construction, store.ef_search) == (16, 64, 32)
    store.ef_search = 4096
    store.ef_search = 1
    for bad, kind in [(0, ValueError), (4097, ValueError), (-1, ValueError), (2**70, ValueError),
                      (1.5, TypeError), ("8", TypeError)]:
        with pytest.raises(kind):
            store.ef_search = bad
    with pytest.raises(AttributeError):
        store.m = 8
    with pytest.raises(AttributeError):
        del store.ef_search
    store.ef_search = 200
    store.save(str(tmp_path / "s"))
    assert (tmp_path / "s").read_bytes() == bytes([0, 16, 64, 0xC8, 0x01, 0, 0, 0])
    loaded = tarnwick.VectorStorage()
    loaded.load(str(tmp_path / "s"))
    assert loaded.ef_search == 200


def test_a_wider_beam_finds_more(graph_data):
    vectors, queries = graph_data
    store = fresh(vectors, np.arange(len(vectors)))
    ids = np.arange(len(vectors))
    store.ef_search = 1
    narrow = recall_of(store, vectors, ids, queries)
    store.ef_search = 200
    wide = recall_of(store, vectors, ids, queries)
    assert wide > narrow and wide >= 0.98


def test_deletes_in_a_loaded_graph_with_dangling_ids_and_points_without_nodes(tmp_path):
    """A hand-made file: 600 points with nodes whose lists also name ids without
    points, 10 points without nodes, a node without a point. Deleting the entry
    point, a point with a node, one without, and ids that only lists name leaves
    no list naming a deleted id, and searches still return full lists."""
    from snapshot_format import node_entry, point_entry, read_snapshot, snapshot
    rng = np.random.default_rng(8)
    vectors = rng.normal(size=(610, 4)).astype(np.float32)
    points = [point_entry(i, vectors[i].tolist()) for i in range(610)]
    nodes = [node_entry(i, [[(i + 1) % 600, (i + 7) % 600, 10_000 + i]]) for i in range(600)]
    nodes.append(node_entry(20_000, [[3, 4]]))
    path = tmp_path / "hand"
    path.write_bytes(snapshot(points, nodes, entry_point=0))
    store = tarnwick.VectorStorage()
    store.load(str(path))
    assert store.batch_delete([0, 5, 605, 10_005, 20_000]) == 3
    assert store.delete(10_006) is False and len(store) == 607
    store.save(str(tmp_path / "after"))
    state = read_snapshot((tmp_path / "after").read_bytes())
    assert not {0, 5, 605} & set(state["points"])
    for _, lists in state["nodes"].values():
        assert not {0, 5, 605} & {n for layer in lists for n in layer}
    assert state["entry_point"] in state["points"] and state["entry_point"] in state["nodes"]
    for q in rng.normal(size=(20, 4)).tolist():
        got = [i for i, _ in store.search(q, 10, "l2")]
        assert len(got) == 10 and not {0, 5, 605} & set(got)


@pytest.mark.parametrize("seed", range(4))
def test_graph_stays_whole_through_churn(seed, tmp_path):
    """Rounds of batch deletes (the entry point among them every other round),
    single deletes, and upserts of new and of deleted ids: after each round the
    saved graph has a node for every point and no other, its lists name only
    points, never their owner, never twice, within the caps (2m at layer 0, m
    above), its entry point is a node, and searches return full lists of live ids."""
    from snapshot_format import read_snapshot
    rng = np.random.default_rng(seed)
    store = tarnwick.VectorStorage()
    store.batch_upsert(np.arange(800, dtype=np.uint64), rng.normal(size=(800, 6)).astype(np.float32))
    live, next_id = set(range(800)), 800
    for round_number in range(6):
        state = read_snapshot(_saved(store, tmp_path))
        gone = set(rng.choice(sorted(live), size=int(rng.integers(1, 150)), replace=False).tolist())
        if round_number % 2 == 0 and state["entry_point"] is not None:
            gone.add(state["entry_point"])
        assert store.batch_delete(sorted(gone)) == len(gone)
        single = int(rng.choice(sorted(live - gone)))
        assert store.delete(single) and not store.delete(single)
        live -= gone | {single}
        back = sorted(gone)[: len(gone) // 2]
        fresh = list(range(next_id, next_id + 40))
        next_id += 40
        store.batch_upsert(back + fresh, rng.normal(size=(len(back) + 40, 6)).tolist())
        live |= set(back) | set(fresh)

        state = read_snapshot(_saved(store, tmp_path))
        assert set(state["points"]) == live == set(state["nodes"]) and len(store) == len(live)
        assert state["entry_point"] in state["nodes"]
        for key, (_, lists) in state["nodes"].items():
            assert len(lists[0]) <= 32 and all(len(layer) <= 16 for layer in lists[1:])
            for layer in lists:
                assert key not in layer and len(set(layer)) == len(layer) and set(layer) <= live
        for q in rng.normal(size=(5, 6)).tolist():
            got = [i for i, _ in store.search(q, 10, "cosine")]
            assert len(got) == 10 and set(got) <= live


def _saved(store, folder):
    path = folder / "churn.snapshot"
    store.save(str(path))
    return path.read_bytes()


@pytest.mark.parametrize("empty_by", ["delete", "batch_delete"])
def test_an_emptied_store_takes_new_points_as_a_new_store_would(tmp_path, empty_by):
    # Emptied, the store starts afresh (rows laid out for the next length, no
    # keys of gone points): its settings stay, and a follower and a replay of
    # its log end where it does.
    rng = np.random.default_rng(3)
    store = tarnwick.VectorStorage()
    store.ef_search = 77
    settings_before = (store.m, store.ef_construction, store.ef_search)
    store.save(str(tmp_path / "s.snap"))
    store.open_log(str(tmp_path / "s.log"))
    follower = tarnwick.VectorStorage()
    follower.load(str(tmp_path / "s.snap"))
    follower.follow_log(str(tmp_path / "s.log"), poll=None)
    store.batch_upsert(np.arange(600, dtype=np.uint64), rng.normal(size=(600, 3)).astype(np.float32),
                       [{"gone": i} for i in range(600)])
    if empty_by == "delete":
        for i in range(600):
            store.delete(i)
    else:
        store.batch_delete(np.arange(600, dtype=np.uint64))
    assert (len(store), store.query([1.0, 0.0, 0.0], 5, where={"gone": 1})) == (0, [])
    vectors = rng.normal(size=(800, 8)).astype(np.float32)
    store.batch_upsert(np.arange(1000, 1800, dtype=np.uint64), vectors, [{"k": i % 3} for i in range(800)])
    assert (store.m, store.ef_construction, store.ef_search) == settings_before
    query = rng.normal(size=8).astype(np.float32)
    every = store.query(query, 800)
    assert sorted(i for i, _ in every) == list(range(1000, 1800))
    assert {i for i, _ in store.query(query, 800, where={"k": 1})} == set(range(1001, 1800, 3))
    assert {i for i, _ in store.query(query, 10, where={"gone": {"$exists": True}})} == set()
    follower.catch_up()
    store.close_log()
    replayed = tarnwick.VectorStorage()
    replayed.load(str(tmp_path / "s.snap"))
    replayed.open_log(str(tmp_path / "s.log"))
    ids = list(range(600)) + list(range(1000, 1800))
    assert point_state(follower, ids) == point_state(store, ids) == point_state(replayed, ids)
