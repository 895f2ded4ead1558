"""Payload conversion: accepted kinds, skipped kinds and refused dicts. The
tenant filter is how a search sees a payload."""
import collections
import gc
import sys
import threading
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import run_cpp_test, same_results  # noqa: F401

import tarnwick


def tenants_of(store, tenant, dim=1):
    return sorted(pid for pid, _ in store.search([1.0] * dim, 100, "dot", tenant))


class TestAccepted:
    @pytest.mark.parametrize(
        "text",
        ["a" * 64, "a" * 65, "é" * 32, "€" * 21, "€" * 22, "", "x\0y", "😀"],
    )
    def test_any_text_length_is_a_tenant(self, store, text):
        store.upsert(1, [1.0], {"tenant_id": text})
        assert tenants_of(store, text) == [1]

    @pytest.mark.parametrize(
        "value",
        [None, [1], b"a", (1,), {"a": 1}, {1}, 1j, types.SimpleNamespace()],
    )
    def test_unsupported_values_are_skipped(self, store, value):
        store.upsert(1, [1.0], {"tenant_id": value, "other": value})
        assert tenants_of(store, "a") == []
        assert store.search([1.0], 5, "dot") == [(1, 1.0)]

    def test_integer_like_objects_are_skipped(self, store):
        class IndexOnly:
            def __index__(self):
                return 3

        store.upsert(1, [1.0], {"n": IndexOnly(), "tenant_id": "t"})
        assert tenants_of(store, "t") == [1]

    @pytest.mark.parametrize("value", [True, False, -1, 2**63 - 1, -(2**63), 1.5, float("nan"), -0.0])
    def test_numbers_are_accepted_but_never_tenants(self, store, value):
        store.upsert(1, [1.0], {"tenant_id": value})
        assert tenants_of(store, str(value)) == []
        assert store.search([1.0], 5, "dot") == [(1, 1.0)]

    def test_dict_subclasses_read_their_real_content(self, store):
        class Sneaky(dict):
            def items(self):
                return [("tenant_id", "fake")]

            def __iter__(self):
                return iter(["tenant_id"])

            def __getitem__(self, key):
                return "fake"

        store.upsert(1, [1.0], Sneaky(tenant_id="real"))
        store.upsert(2, [1.0], collections.OrderedDict(tenant_id="real"))
        store.upsert(3, [1.0], collections.defaultdict(int, tenant_id="real"))
        assert tenants_of(store, "real") == [1, 2, 3]
        assert tenants_of(store, "fake") == []

    def test_later_of_equal_keys_wins(self, store):
        class Key(str):
            def __hash__(self):
                return id(self)

            def __eq__(self, other):
                return self is other

        payload = {Key("tenant_id"): "first", Key("tenant_id"): "second"}
        store.upsert(1, [1.0], payload)
        assert tenants_of(store, "second") == [1]
        assert tenants_of(store, "first") == []

    def test_replacement_drops_the_old_payload(self, store):
        store.upsert(1, [1.0], {"tenant_id": "a"})
        store.upsert(1, [1.0], None)
        assert tenants_of(store, "a") == []
        store.upsert(1, [1.0], {"tenant_id": "b"})
        store.upsert(1, [1.0], {})
        assert tenants_of(store, "b") == []


class TestRefused:
    @pytest.mark.parametrize(
        "payload, message",
        [
            (types.MappingProxyType({"a": 1}), "'mappingproxy' object is not an instance of 'dict'"),
            ([("a", 1)], "'list' object is not an instance of 'dict'"),
            ("tenant", "'str' object is not an instance of 'dict'"),
        ],
    )
    def test_non_dicts(self, store, payload, message):
        with pytest.raises(TypeError) as caught:
            store.upsert(1, [1.0], payload)
        assert str(caught.value) == message
        assert caught.value.__notes__ == ["while processing 'payload'"]

    @pytest.mark.parametrize(
        "payload, exc, message",
        [
            ({1: None}, TypeError, "'int' object is not an instance of 'str'"),
            ({"ok": "x", b"k": "v"}, TypeError, "'bytes' object is not an instance of 'str'"),
            ({"big": 2**63}, OverflowError, None),
            ({"small": -(2**63) - 1}, OverflowError, None),
            ({"\ud800": 1}, UnicodeEncodeError, None),
            ({"k": "\udfff"}, UnicodeEncodeError, None),
        ],
    )
    def test_bad_content_leaves_the_store_unchanged(self, store, payload, exc, message):
        store.upsert(1, [2.0], {"tenant_id": "kept"})
        with pytest.raises(exc) as caught:
            store.upsert(1, [3.0], payload)
        if message is not None:
            assert str(caught.value) == message
        assert getattr(caught.value, "__notes__", None) is None
        assert store.search([1.0], 5, "dot") == [(1, 2.0)]
        assert tenants_of(store, "kept") == [1]


def expected_items(payload):
    """A payload as results hand it back: sorted by key, only str, int
    (bools as ints) and float values."""
    kept = {k: (int(v) if isinstance(v, bool) else v) for k, v in payload.items()
            if isinstance(v, (str, int, float))}
    return sorted(kept.items())


def typed(payload):
    return None if payload is None else [(k, v, type(v)) for k, v in payload.items()]


def returned_payloads(store, ids):
    """Each id's payload as get returns it, with each value's type beside it;
    query and batch_query are checked to return the same for their hits."""
    got = {pid: typed(store.get(pid)[1]) for pid in ids}
    hits = store.query([1.0, 0.0], len(store), "cosine", early_stop=False, with_payload=True)
    batch = store.batch_query([[1.0, 0.0], [1.0, 0.0]], len(store), "cosine", early_stop=False,
                              with_payload=True)
    assert hits and batch[0] == batch[1] == hits
    assert [typed(payload) for _, _, payload in hits] == [got[pid] for pid, _, _ in hits]
    return got


KEY = st.one_of(st.sampled_from(["tenant_id", "a", "b", "", "é", "日本", "\U0001f600x", "k" * 200]),
                st.text(st.characters(blacklist_categories=("Cs",)), max_size=140))
VALUE = st.one_of(st.text(max_size=80), st.integers(-(2**63), 2**63 - 1), st.floats(allow_nan=False),
                  st.booleans(), st.none())


class TestReturned:
    """Payload dicts handed back reuse one str per key across calls, points and
    dicts: the contents, key order and value types must not depend on what was
    built before, in what order, or how many distinct keys came and went."""

    @settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
    @given(payloads=st.lists(st.one_of(st.none(), st.dictionaries(KEY, VALUE, max_size=25)),
                             min_size=1, max_size=12),
           repeats=st.lists(st.integers(0, 11), max_size=12))
    def test_contents_order_and_types(self, payloads, repeats):
        # Points sharing a payload (same keys, hence the same dict layout) sit
        # next to points with other keys, in the order the walk returns them.
        payloads = payloads + [payloads[i % len(payloads)] for i in repeats]
        store = tarnwick.VectorStorage()
        for pid, payload in enumerate(payloads):
            store.upsert(pid, [1.0, pid / 100], payload)
        want = {pid: None if p is None else typed(dict(expected_items(p)))
                for pid, p in enumerate(payloads)}
        for _ in range(2):  # the second round finds every key already made
            assert returned_payloads(store, range(len(payloads))) == want

    def test_more_keys_than_the_cache_holds(self):
        # Every point has two shared keys and a key of its own; 3,000 own keys
        # make the cache start over repeatedly, between and within dicts.
        store = tarnwick.VectorStorage()
        n = 3000
        for pid in range(n):
            store.upsert(pid, [1.0, pid / n], {"a": pid, f"own-{pid:05d}": "x" * (pid % 3), "z": 0.5})
        want = {pid: [("a", pid, int), (f"own-{pid:05d}", "x" * (pid % 3), str), ("z", 0.5, float)]
                for pid in range(n)}
        for _ in range(2):
            assert returned_payloads(store, range(n)) == want

    def test_references_are_neither_leaked_nor_kept_after_the_store(self):
        store = tarnwick.VectorStorage()
        for pid in range(50):
            store.upsert(pid, [1.0, pid / 50], {"same": pid, "text": "v" * pid, f"k{pid % 7}": 1.5})
        key = next(iter(store.get(1)[1]))

        def calls(times):
            for _ in range(times):
                store.query([1.0, 0.0], 50, with_payload=True)
                store.batch_query([[1.0, 0.0]] * 3, 50, with_payload=True)
                store.get(7)
            gc.collect()

        calls(1)
        refs, blocks = sys.getrefcount(key), sys.getallocatedblocks()
        calls(300)
        assert sys.getrefcount(key) == refs
        assert sys.getallocatedblocks() - blocks < 200  # 60,000 dicts were made
        del store
        gc.collect()
        assert sys.getrefcount(key) == 2  # ours and the call's: the store's are gone

    def test_threads_share_a_store(self):
        store = tarnwick.VectorStorage()
        want = {}
        for pid in range(200):
            payload = {f"k{j}": f"{pid}-{j}" for j in range(pid % 5, 12)}
            store.upsert(pid, [1.0, pid / 200], payload)
            want[pid] = payload
        seen, errors = [], []

        def run():
            try:
                for _ in range(30):
                    for pid, _, payload in store.query([1.0, 0.0], 200, early_stop=False, with_payload=True):
                        seen.append(payload == want[pid] and list(payload) == sorted(payload))
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)

        threads = [threading.Thread(target=run) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
        assert not errors and len(seen) == 4 * 30 * 200 and all(seen)


def test_filter_internals():
    """Filter rules on their numeric and text edges, and, over random payloads
    kept by puts, removals and loads, the payload indexes' estimates and
    candidates against the reference evaluation."""
    run_cpp_test("filter_test")
