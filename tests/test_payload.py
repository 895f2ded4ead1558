"""Payload conversion: accepted kinds, skipped kinds and refused dicts. The
tenant filter is how a search sees a payload."""
import collections
import types

import pytest

from conftest import run_cpp_test, same_results  # noqa: F401


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


def test_filter_internals():
    """Filter rules on their numeric and text edges, and, over random payloads
    kept by puts, removals and loads, the payload indexes' estimates and
    candidates against the reference evaluation."""
    run_cpp_test("filter_test")
