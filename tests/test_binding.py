"""The module, the class and the calling conventions of every method: binding,
conversion of each argument kind, the notes naming failed arguments, results."""
import array
import gc
import inspect
import pathlib
import weakref

import pytest

import tarnwick
from tarnwick import VectorStorage


class TestModuleAndClass:
    def test_module_exports_only_the_class(self):
        assert tarnwick.__all__ == ["VectorStorage"]
        public = {name for name in dir(tarnwick) if not name.startswith("__")}
        assert public == {"VectorStorage"}

    def test_class_identity(self):
        assert VectorStorage.__module__ == "builtins"
        assert VectorStorage.__qualname__ == "VectorStorage"
        assert VectorStorage.__name__ == "VectorStorage"
        assert repr(VectorStorage()).startswith("<builtins.VectorStorage object at ")

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (VectorStorage,), {})

    def test_instances_have_no_dict_and_no_weakrefs(self):
        store = VectorStorage()
        assert not hasattr(store, "__dict__")
        with pytest.raises(AttributeError):
            store.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(store)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
            ((1, 2), {}, "VectorStorage.__new__() takes 0 positional arguments but 2 were given"),
            ((), {"x": 1}, "VectorStorage.__new__() got an unexpected keyword argument 'x'"),
            ((1,), {"x": 1}, "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
        ],
    )
    def test_constructor_refuses_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            VectorStorage(*args, **kwargs)
        assert str(caught.value) == message

    def test_text_signatures(self):
        assert VectorStorage.search.__text_signature__ == "($self, query_vector, limit, metric, tenant_id=None)"
        params = inspect.signature(VectorStorage.upsert).parameters
        assert list(params) == ["self", "point_id", "vector", "payload"]
        assert all(p.default is inspect.Parameter.empty for p in params.values())
        assert inspect.signature(VectorStorage.search).parameters["tenant_id"].default is None
        assert VectorStorage.__text_signature__ == "()"
        assert VectorStorage.upsert.__doc__.startswith("Universally inserts or updates")
        assert VectorStorage.search.__doc__.endswith("if parsing passes encounter unrecognized metric tokens.")
        assert "memory partition segment layer" in VectorStorage.__doc__

    def test_stores_are_independent(self):
        a, b = VectorStorage(), VectorStorage()
        a.upsert(1, [1.0], None)
        assert a.search([1.0], 5, "dot") == [(1, 1.0)]
        assert b.search([1.0], 5, "dot") == []


class TestBinding:
    @pytest.mark.parametrize(
        "method, args, kwargs, message",
        [
            ("upsert", (1, [0.5]), {}, "VectorStorage.upsert() missing 1 required positional argument: 'payload'"),
            ("upsert", (), {}, "VectorStorage.upsert() missing 3 required positional arguments: 'point_id', 'vector', and 'payload'"),
            ("upsert", (1,), {}, "VectorStorage.upsert() missing 2 required positional arguments: 'vector' and 'payload'"),
            ("upsert", (1, [1.0], None, 4), {}, "VectorStorage.upsert() takes 3 positional arguments but 4 were given"),
            ("search", (), {}, "VectorStorage.search() missing 3 required positional arguments: 'query_vector', 'limit', and 'metric'"),
            ("search", ([1.0], 1, "dot", None, 5), {}, "VectorStorage.search() takes from 3 to 4 positional arguments but 5 were given"),
            ("search", ([1.0], 1, "dot"), {"limit": 2}, "VectorStorage.search() got multiple values for argument 'limit'"),
            ("search", ([1.0], 1, "dot"), {"k": 2}, "VectorStorage.search() got an unexpected keyword argument 'k'"),
            ("search", (), {"metric": "dot", "limit": 1}, "VectorStorage.search() missing 1 required positional argument: 'query_vector'"),
        ],
    )
    def test_binding_errors(self, store, method, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            getattr(store, method)(*args, **kwargs)
        assert str(caught.value) == message
        assert not getattr(caught.value, "__notes__", None)

    def test_surplus_positional_reported_before_bad_keyword(self, store):
        with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
            store.upsert(1, [1.0], None, 4, bogus=1)

    def test_first_bad_keyword_ends_binding(self, store):
        with pytest.raises(TypeError) as caught:
            store.search([1.0], 1, "dot", zz=1, limit=3)
        assert str(caught.value) == "VectorStorage.search() got an unexpected keyword argument 'zz'"

    def test_keywords_only_and_none_tenant(self, store):
        store.upsert(point_id=3, vector=[2.0], payload=None)
        expected = [(3, 2.0)]
        assert store.search(query_vector=[1.0], limit=1, metric="dot") == expected
        assert store.search([1.0], 1, "dot", None) == expected
        assert store.search([1.0], 1, "dot", tenant_id=None) == expected


def note_of(excinfo):
    return getattr(excinfo.value, "__notes__", None)


class TestConversions:
    @pytest.mark.parametrize(
        "point_id, exc, text",
        [
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (1.0, TypeError, None),
            ("1", TypeError, None),
            (None, TypeError, None),
        ],
    )
    def test_bad_point_ids(self, store, point_id, exc, text):
        with pytest.raises(exc) as caught:
            store.upsert(point_id, [1.0], None)
        assert note_of(caught) == ["while processing 'point_id'"]
        assert store.search([1.0], 10, "dot") == []

    @pytest.mark.parametrize("point_id, stored", [(True, 1), (0, 0), (2**64 - 1, 2**64 - 1)])
    def test_accepted_point_ids(self, store, point_id, stored):
        store.upsert(point_id, [1.0], None)
        assert store.search([1.0], 10, "dot") == [(stored, 1.0)]

    def test_index_protocol_is_used_for_ids_and_limits(self, store):
        class Index:
            def __init__(self, value):
                self.value = value

            def __index__(self):
                return self.value

        store.upsert(Index(7), [1.0], None)
        store.upsert(8, [0.5], None)
        assert store.search([1.0], Index(1), "dot") == [(7, 1.0)]

    @pytest.mark.parametrize(
        "vector, exc, message",
        [
            ("abc", TypeError, "Can't extract `str` to `Vec`"),
            (5, TypeError, "'int' object is not an instance of 'Sequence'"),
            (None, TypeError, "'None' is not an instance of 'Sequence'"),
            ({1.0, 2.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
            ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'"),
            ((x for x in [1.0]), TypeError, "'generator' object is not an instance of 'Sequence'"),
            ([1.0, "x"], TypeError, None),
            ([1.0, 10**400], OverflowError, None),
        ],
    )
    def test_bad_vectors(self, store, vector, exc, message):
        with pytest.raises(exc) as caught:
            store.upsert(1, vector, None)
        if message is not None:
            assert str(caught.value) == message
        assert note_of(caught) == ["while processing 'vector'"]
        assert store.search([], 10, "dot") == []

    def test_nested_type_name_is_qualified(self, store):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError) as caught:
            store.upsert(1, Outer.Inner(), None)
        assert str(caught.value) == "'TestConversions.test_nested_type_name_is_qualified.<locals>.Outer.Inner' object is not an instance of 'Sequence'"

    @pytest.mark.parametrize(
        "vector, floats",
        [
            (b"\x01\x02", [1.0, 2.0]),
            ((1, 2.5), [1.0, 2.5]),
            (range(3), [0.0, 1.0, 2.0]),
            (array.array("d", [0.25, -4.0]), [0.25, -4.0]),
            ([True, False], [1.0, 0.0]),
            ([1e40], [float("inf")]),
            ([-1e40], [float("-inf")]),
            ([0.1], [0.10000000149011612]),
            ([], []),
        ],
    )
    def test_vector_kinds(self, store, vector, floats):
        store.upsert(1, vector, None)
        # The dot product with a one-hot query reads back each stored component.
        for i, value in enumerate(floats):
            query = [0.0] * len(floats)
            query[i] = 1.0
            [(pid, score)] = store.search(query, 1, "dot")
            assert pid == 1 and score == value

    def test_float_protocol_of_items(self, store):
        class Half:
            def __float__(self):
                return 0.5

        store.upsert(1, [Half(), Half()], None)
        assert store.search([1.0, 1.0], 1, "dot") == [(1, 1.0)]

    def test_length_is_only_a_hint(self, store):
        class Liar:
            def __init__(self, length, items):
                self.length, self.items = length, items

            def __len__(self):
                return self.length

            def __getitem__(self, i):
                return self.items[i]

        # An absurd length must not make the conversion allocate for it.
        store.upsert(1, Liar(2**62, [1.0, 2.0]), None)
        store.upsert(2, Liar(0, [3.0, 4.0]), None)
        assert sorted(store.search([1.0, 1.0], 5, "dot")) == [(1, 3.0), (2, 7.0)]

    def test_failing_len_is_ignored(self, store):
        class NoLen:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i < 2:
                    return 1.0
                raise IndexError

        store.upsert(1, NoLen(), None)
        assert store.search([1.0, 1.0], 5, "dot") == [(1, 2.0)]

    def test_iterator_failure_is_the_conversion_failure(self, store):
        class Broken:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                raise KeyError("boom")

        with pytest.raises(KeyError) as caught:
            store.upsert(1, Broken(), None)
        assert note_of(caught) == ["while processing 'vector'"]

    def test_list_mutated_during_conversion(self, store):
        vector = [1.0, 2.0, 3.0, 4.0]

        class Shrinker:
            def __float__(self):
                del vector[2:]
                return 9.0

        vector[1] = Shrinker()
        store.upsert(1, vector, None)
        assert store.search([1.0, 1.0], 1, "dot") == [(1, 10.0)]

    @pytest.mark.parametrize(
        "args, exc, message, note",
        [
            (([1.0], 5, 3), TypeError, "'int' object is not an instance of 'str'", "metric"),
            (([1.0], 5, b"dot"), TypeError, "'bytes' object is not an instance of 'str'", "metric"),
            (([1.0], 5, "dot", 7), TypeError, "'int' object is not an instance of 'str'", "tenant_id"),
            (([1.0], -1, "dot"), OverflowError, None, "limit"),
            (([1.0], 1.5, "dot"), TypeError, None, "limit"),
            (("ab", 1, "dot"), TypeError, "Can't extract `str` to `Vec`", "query_vector"),
            (([1.0], 1, "\ud800"), UnicodeEncodeError, None, "metric"),
        ],
    )
    def test_search_argument_failures(self, store, args, exc, message, note):
        with pytest.raises(exc) as caught:
            store.search(*args)
        if message is not None:
            assert str(caught.value) == message
        assert note_of(caught) == [f"while processing '{note}'"]

    def test_arguments_are_checked_before_the_metric(self, store):
        with pytest.raises(TypeError):
            store.search([1.0], 1, "nonsense", 7)

    def test_note_failure_is_discarded(self, store):
        class NoNotes(Exception):
            def add_note(self, note):
                raise RuntimeError("cannot")

        class Item:
            def __float__(self):
                raise NoNotes("original")

        with pytest.raises(NoNotes) as caught:
            store.upsert(1, [Item()], None)
        assert caught.value.args == ("original",)
        assert note_of(caught) is None

    def test_argument_order_decides_which_failure_is_reported(self, store):
        with pytest.raises(TypeError) as caught:
            store.upsert(1, "bad", {1: 2})
        assert note_of(caught) == ["while processing 'vector'"]


class TestReentrancy:
    def test_float_calling_back_into_the_same_store(self, store):
        store.upsert(1, [1.0], None)
        seen = []

        class Reentrant:
            def __float__(self):
                seen.append(store.search([1.0], 5, "dot"))
                store.upsert(2, [2.0], None)
                return 3.0

        store.upsert(3, [Reentrant()], None)
        assert seen == [[(1, 1.0)]]
        assert store.search([1.0], 5, "dot") == [(3, 3.0), (2, 2.0), (1, 1.0)]
        assert store.search([Reentrant()], 1, "dot") == [(3, 9.0)]


class TestResults:
    def test_result_shape(self, store):
        store.upsert(2**64 - 1, [0.1], None)
        result = store.search([1.0], 3, "dot")
        assert type(result) is list and len(result) == 1
        pid, score = result[0]
        assert type(result[0]) is tuple and type(pid) is int and type(score) is float
        assert pid == 2**64 - 1
        assert score == 0.10000000149011612  # the float32 value, widened exactly


def rss_bytes():
    with open("/proc/self/statm") as statm:
        import os

        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class TestFailedCallsLeaveNothingBehind:
    def test_repeated_failures_leak_neither_references_nor_memory(self, store):
        store.upsert(1, [1.0, 2.0], {"tenant_id": "a"})
        before = store.search([1.0, 1.0], 10, "dot")
        bad_item = object()
        long_vector = [0.5] * 5000 + [bad_item]
        long_text = "t" * 300
        bad_payload = {"ok": long_text, "big": 2**70}
        refs = [sys_refs(o) for o in (bad_item, long_vector, long_text, bad_payload)]

        def fail_all():
            for call in (
                lambda: store.upsert(2, long_vector, None),
                lambda: store.upsert(2, [1.0, 1.0], bad_payload),
                lambda: store.upsert(2, [1.0, 1.0], {1: long_text}),
                lambda: store.search(long_vector, 1, "dot"),
                lambda: store.search([1.0], 1, "bogus"),
                lambda: store.search([1.0], 1, "dot", 7),
            ):
                with pytest.raises((TypeError, OverflowError, ValueError)):
                    call()

        for _ in range(200):
            fail_all()
        gc.collect()
        start = rss_bytes()
        for _ in range(3000):
            fail_all()
        gc.collect()
        grown = rss_bytes() - start
        assert grown < 4 << 20, f"resident memory grew by {grown} bytes"
        assert [sys_refs(o) for o in (bad_item, long_vector, long_text, bad_payload)] == refs
        assert store.search([1.0, 1.0], 10, "dot") == before


def sys_refs(obj):
    import sys

    return sys.getrefcount(obj)


class TestPathArgument:
    def test_vector_storage_methods_are_the_registered_ones(self):
        names = [n for n in ("upsert", "search", "batch_search", "save", "load") if hasattr(VectorStorage, n)]
        assert names[:2] == ["upsert", "search"]
        for name in names:
            assert getattr(VectorStorage, name).__doc__

    def test_pathlib_is_not_a_str(self, store):
        if not hasattr(store, "save"):
            pytest.skip("save is not registered yet")
        with pytest.raises(TypeError) as caught:
            store.save(pathlib.Path("x"))
        assert str(caught.value) == "'PosixPath' object is not an instance of 'str'"
        assert note_of(caught) == ["while processing 'path'"]
