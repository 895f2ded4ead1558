"""Buffers read directly (NumPy arrays, memoryview, array.array, bytes,
bytearray): every result bit for bit and every error what walking the same
object item by item gives. The walk is forced through `Walked`, a plain
Sequence that yields the object's own items."""
import array
import math
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as npst

from tarnwick import VectorStorage

SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

READ_TYPES = (np.ndarray, memoryview, array.array, bytes, bytearray)


class Walked:
    """The same items as `obj`, from a type no buffer reader knows. With
    depth 2 the rows it yields are walked too."""

    def __init__(self, obj, depth=1):
        self.obj, self.depth = obj, depth

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, index):
        return self.obj[index]

    def __iter__(self):
        if self.depth == 1:
            return iter(self.obj)
        return (Walked(row) if type(row) in READ_TYPES else row for row in self.obj)


def bits(values):
    """Floats as their 64-bit patterns, so that NaN payloads and -0.0 compare."""
    return [struct.unpack("<Q", struct.pack("<d", value))[0] for value in values]


def outcome(call, *args):
    try:
        return ("returned", call(*args))
    except Exception as error:  # the type, text and notes are the outcome
        return ("raised", type(error), str(error), getattr(error, "__notes__", None))


def length(obj):
    """The number of points to give ids or vectors for; 1 when `obj` has no length."""
    try:
        return len(obj)
    except Exception:
        return 1


def stored_vectors(store, ids):
    return [None if store.get(i) is None else bits(store.get(i)[0]) for i in ids]


def upsert_state(vector):
    store = VectorStorage()
    store.upsert(1, vector, None)
    return stored_vectors(store, [1])


def search_state(vector):
    store = VectorStorage()
    store.upsert(1, [1.0, 2.0, 3.0], None)
    store.upsert(2, [0.0], None)
    return [(i, bits([s])) for i, s in store.search(vector, 5, "euclidean")]


def batch_upsert_state(vectors):
    store = VectorStorage()
    store.batch_upsert(range(length(vectors)), vectors)
    return stored_vectors(store, range(length(vectors)))


def batch_search_state(vectors):
    store = VectorStorage()
    for i, vector in enumerate([[1.0, 0.0], [0.5, -2.0], [3.0], [1.0, 2.0, 3.0]]):
        store.upsert(i, vector, None)
    return [[(i, bits([s])) for i, s in result] for result in store.batch_search(vectors, 3, "dot")]


def id_state(ids):
    store = VectorStorage()
    store.batch_upsert(ids, [[float(i)] for i in range(length(ids))])
    points = sorted(store.search([1.0], 1000, "dot"))
    deleted = store.batch_delete(ids)
    return points, deleted, len(store)


def assert_same_as_walk(state, obj, depth=1):
    fast = outcome(state, obj)
    assert fast == outcome(state, Walked(obj, depth))
    return fast


# Arrays of every dtype we read, in both byte orders, with elements from the
# dtype's own strategy (infinities, -0.0, extreme integers) or from raw bytes
# (NaN payloads, signalling NaNs, subnormals).
read_dtypes = st.one_of(
    npst.boolean_dtypes(),
    npst.integer_dtypes(endianness="?"),
    npst.unsigned_integer_dtypes(endianness="?"),
    npst.floating_dtypes(endianness="?", sizes=(16, 32, 64)),
)


@st.composite
def arrays(draw, dims):
    dtype = draw(read_dtypes)
    shape = draw(npst.array_shapes(min_dims=dims, max_dims=dims, min_side=0, max_side=7))
    if draw(st.booleans()):
        base = draw(npst.arrays(dtype, shape))
    else:
        raw = draw(st.binary(min_size=math.prod(shape) * dtype.itemsize,
                             max_size=math.prod(shape) * dtype.itemsize))
        base = np.frombuffer(raw, dtype=dtype).reshape(shape).copy()
    layout = draw(st.sampled_from(["plain", "reversed", "stepped", "broadcast", "unaligned",
                                   "transposed"]))
    if layout == "reversed":
        return base[(slice(None, None, -1),) * dims]
    if layout == "stepped":
        return np.repeat(base, 3, axis=-1)[..., ::-3]
    if layout == "broadcast":  # stride zero
        return np.broadcast_to(base[..., :1], shape)
    if layout == "unaligned":
        holder = np.zeros(base.nbytes + 1, np.uint8)[1:].view(dtype).reshape(shape)
        holder[...] = base
        return holder
    if layout == "transposed" and dims == 2:
        return np.asfortranarray(base).T.T if draw(st.booleans()) else base.T
    return base


TYPECODES = {np.dtype(code): code for code in "bBhHiIlLqQfd"}


@st.composite
def vector_objects(draw):
    """A 1-D array, or the same elements in another exporter."""
    vector = draw(arrays(1))
    form = draw(st.sampled_from(["array", "memoryview", "array.array", "bytes", "cast"]))
    if form == "memoryview":
        return memoryview(vector)
    if form == "array.array" and vector.dtype in TYPECODES:
        return array.array(TYPECODES[vector.dtype], vector.tolist())
    raw = np.ascontiguousarray(vector).tobytes()
    if form == "bytes":
        return draw(st.sampled_from([bytes, bytearray]))(raw)
    if form == "cast":  # memoryview's own formats, 'n', 'N' and '?' among them
        code = draw(st.sampled_from("bBhHiIlLqQnN?efd"))
        size = struct.calcsize(code)
        return memoryview(raw[: len(raw) // size * size]).cast(code)
    return vector


class TestSameAsTheWalk:
    @SETTINGS
    @given(vector=vector_objects())
    def test_vectors(self, vector):
        assert_same_as_walk(upsert_state, vector)
        assert_same_as_walk(search_state, vector)

    @SETTINGS
    @given(vectors=arrays(2))
    def test_vector_lists(self, vectors):
        assert_same_as_walk(batch_upsert_state, vectors, depth=2)
        assert_same_as_walk(batch_search_state, vectors, depth=2)
        assert_same_as_walk(batch_upsert_state, list(vectors), depth=2)  # rows read one by one

    @SETTINGS
    @given(ids=arrays(1), form=st.sampled_from(["array", "memoryview", "array.array"]))
    def test_point_ids(self, ids, form):
        if form == "memoryview":
            ids = memoryview(ids)
        elif form == "array.array" and ids.dtype in TYPECODES:
            ids = array.array(TYPECODES[ids.dtype], ids.tolist())
        assert_same_as_walk(id_state, ids)

    @pytest.mark.parametrize("dtype", ["<i8", ">i8", "<u8", ">u8"])
    def test_integers_round_twice_as_python_ints_do(self, dtype):
        # Near 2**53 a double holds only even integers, near 2**63 multiples of
        # 1024: the double is rounded to a float in turn.
        info = np.iinfo(dtype)
        edges = [2**53 - 1, 2**53 + 1, 2**53 + 3, 2**62 + 2**38 + 1, 2**63 - 1, 2**63 - 2**39,
                 2**63 - 2**39 - 1, 2**64 - 1, 2**64 - 2**39, -(2**53) - 1, -(2**63), 0x7FFFFF7FFFFFFFFF]
        values = [v for v in edges if info.min <= v <= info.max]
        vector = np.array(values, dtype=dtype)
        assert upsert_state(vector) == [bits([float(np.float32(float(v))) for v in values])]
        assert_same_as_walk(upsert_state, vector)


class TestFallBack:
    """Objects left to the walk: whatever it gives or raises, with its notes."""

    CASES = [
        np.arange(3, dtype=np.float32),  # as a vector list: its items are no vectors
        np.array([1.0, "x"], dtype=object),
        np.array([1.0, 2.0], dtype=object),
        np.array(2.5, dtype=np.float32),  # 0-d
        np.ones((2, 3), np.float32),
        np.ones((2, 1), np.float32),
        np.ones((2, 3, 4), np.float32),
        np.ones((2, 1, 1), np.float32),
        np.ones(3, np.complex64),
        np.ones(3, np.longdouble),
        np.array(["1", "2"]),
        np.array([b"1", b"2"]),
        np.zeros(2, "datetime64[s]"),
        np.zeros(2, [("a", "<f4"), ("b", "<i2")]),
        np.zeros(2, [("a", "<f4"), ("b", "<i2")])["a"],  # unaligned field
        np.arange(4.0).reshape(2, 2).view(np.matrix),
        memoryview(np.zeros(3, ">f4")),
        memoryview(np.zeros((2, 3), np.float32)),
        memoryview(np.float32(1.0)),
        memoryview(b"ab").cast("c"),
        memoryview(b"\x00" * 16).cast("P"),
        array.array("u", "ab"),
        b"",
        bytearray(b"\x00\xff"),
    ]

    @pytest.mark.parametrize("obj", CASES, ids=lambda obj: type(obj).__name__)
    @pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::numpy.exceptions.ComplexWarning")
    def test_walk_outcome(self, obj):
        assert_same_as_walk(upsert_state, obj)
        assert_same_as_walk(batch_upsert_state, obj, depth=2)
        assert_same_as_walk(batch_search_state, obj, depth=2)
        assert_same_as_walk(id_state, obj)

    @pytest.mark.parametrize(
        "ids, error, message, item",
        [
            (np.array([3, -1], ">i8"), OverflowError, "can't convert negative int to unsigned", 1),
            (array.array("b", [4, 5, -2]), OverflowError, "can't convert negative int to unsigned", 2),
            (np.array([1.0, 2.0]), TypeError, "'numpy.float64' object cannot be interpreted as an integer", 0),
        ],
    )
    def test_refused_ids(self, ids, error, message, item):
        notes = [f"while processing 'point_ids' item {item}"]
        assert assert_same_as_walk(id_state, ids) == ("raised", error, message, notes)

    def test_subclasses_walk_their_own_way(self):
        class Doubling(np.ndarray):
            def __iter__(self):
                return (2 * item for item in super().__iter__())

        class Reversed(array.array):
            def __iter__(self):
                return reversed(list(super().__iter__()))

        class Shouting(bytes):
            def __iter__(self):
                return iter(b"".join(bytes([b]) * 2 for b in super().__iter__()))

        doubled = np.array([1.0, 2.5], np.float32).view(Doubling)
        assert upsert_state(doubled) == [bits([2.0, 5.0])]
        # Doubled as rows, and each row, itself a Doubling, doubled again.
        assert batch_upsert_state(np.ones((2, 2), np.float32).view(Doubling)) == [bits([4.0, 4.0])] * 2
        assert upsert_state(Reversed("f", [1.0, 2.0])) == [bits([2.0, 1.0])]
        assert upsert_state(Shouting(b"\x01\x02")) == [bits([1.0, 1.0, 2.0, 2.0])]
        assert id_state(Reversed("q", [5, 7]))[0] == [(5, 1.0), (7, 0.0)]

    def test_released_memoryview(self):
        # Python's iter() trips over a released memoryview (SystemError), so
        # the walk's own outcome is written out.
        view = memoryview(b"\x01\x02")
        view.release()
        for state in (upsert_state, batch_upsert_state):
            assert outcome(state, view) == ("raised", ValueError, "operation forbidden on released memoryview object",
                                            [f"while processing '{'vector' if state is upsert_state else 'vectors'}'"])

    def test_huge_broadcast_is_refused_before_anything_is_allocated(self):
        # More elements than a vector can hold, by stride zero: the walk would
        # fill memory item by item before failing; the buffer read refuses at
        # once. In a child whose address space is capped, so that a walk cannot
        # take the machine's memory.
        script = textwrap.dedent("""
            import resource, numpy as np, tarnwick
            size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1])
            resource.setrlimit(resource.RLIMIT_AS, ((size << 10) + (1 << 30), resource.RLIM_INFINITY))
            store = tarnwick.VectorStorage()
            ones = np.broadcast_to(np.uint8(1), (2**62,))
            rows = np.broadcast_to(np.uint8(1), (2**62, 1))
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            for call in (lambda: store.upsert(1, ones, None), lambda: store.batch_delete(ones),
                         lambda: store.batch_search(rows, 1, "dot")):
                try:
                    call()
                except MemoryError:
                    continue
                raise SystemExit("no MemoryError")
            print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        assert int(done.stdout) < 64 << 10  # KiB


def test_batch_upsert_from_arrays_matches_list_forms(rng):
    # More points than one step of batch_upsert stores.
    vectors = rng.standard_normal((5000, 16), dtype=np.float32)
    for ids in (rng.integers(0, 3000, 5000, dtype=np.int64),  # duplicates: the later wins
                rng.integers(2**63, 2**64 - 1, 5000, dtype=np.uint64, endpoint=True)):
        from_arrays, from_lists = VectorStorage(), VectorStorage()
        from_arrays.batch_upsert(ids, vectors)
        from_lists.batch_upsert(ids.tolist(), vectors.tolist())
        assert len(from_arrays) == len(from_lists) == len(set(ids.tolist()))
        unique = sorted(set(ids.tolist()))
        assert stored_vectors(from_arrays, unique) == stored_vectors(from_lists, unique)
        assert from_arrays.batch_delete(ids[::2]) == from_lists.batch_delete(ids[::2].tolist())
        assert len(from_arrays) == len(from_lists)


def test_a_batch_that_gives_its_memory_back_leaves_every_point_whole(rng):
    # 4,194,304 components or more: the batch frees its converted input and
    # returns the allocator's free memory to the system when it ends.
    vectors = rng.standard_normal((16_500, 256), dtype=np.float32)
    store = VectorStorage()
    store.batch_upsert(np.arange(len(vectors), dtype=np.uint64), vectors)
    store.batch_upsert([len(vectors)], vectors[:1])  # a small batch after it
    assert len(store) == len(vectors) + 1
    sample = rng.choice(len(vectors), 200, replace=False).tolist()
    assert stored_vectors(store, sample) == [bits(vectors[i].tolist()) for i in sample]
    # The widest beam on a store this size finds a stored point itself.
    assert store.query(vectors[sample[0]], 1, "euclidean", ef=4096) == [(sample[0], 0.0)]
