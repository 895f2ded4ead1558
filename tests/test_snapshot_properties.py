"""Property tests of snapshots: states reached through upsert and hand-made
files with graphs survive save and load exactly, and the decoder agrees with
the plain-Python model of the format on every mutated file."""
import struct

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwick
from snapshot_format import (
    FLOAT, INTEGER, KEYWORD, TEXT, U64_MAX, node_entry, point_entry, read_snapshot, snapshot,
)

SETTINGS = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

ids = st.one_of(st.integers(0, 6), st.sampled_from([127, 128, 2**63, U64_MAX]),
                st.integers(0, U64_MAX))
components = st.floats(width=32, allow_nan=True, allow_infinity=True)
texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=70)
payload_values = st.one_of(texts, st.integers(-2**63, 2**63 - 1),
                           st.floats(allow_nan=True, allow_infinity=True))
payloads = st.one_of(st.none(), st.dictionaries(texts, payload_values, max_size=4))
upserts = st.lists(st.tuples(ids, st.lists(components, max_size=4), payloads), max_size=12)


def model_payload(payload):
    if payload is None:
        return None
    model = {}
    for key, value in payload.items():
        if isinstance(value, str):
            kind = KEYWORD if len(value.encode()) <= 64 else TEXT
            model[key] = (kind, value)
        elif isinstance(value, int):
            model[key] = (INTEGER, value)
        else:
            model[key] = (FLOAT, struct.unpack("<Q", struct.pack("<d", value))[0])
    return model


def model_vector(vector):
    # The same hardware narrowing from double as the store's conversion.
    return tuple(int(b) for b in np.array(vector, dtype=np.float64).astype(np.float32).view(np.uint32))


def save_to(store, path):
    store.save(str(path))
    return path.read_bytes()


def same_result_sets(a, b):
    def bits(results):
        return sorted((point_id, struct.pack("<d", score)) for point_id, score in results)
    assert bits(a) == bits(b)


@SETTINGS
@given(operations=upserts, queries=st.lists(st.lists(components, max_size=4), min_size=1, max_size=3))
def test_upserted_states_survive_bit_for_bit(tmp_path, operations, queries):
    store = tarnwick.VectorStorage()
    model = {}
    for point_id, vector, payload in operations:
        store.upsert(point_id, vector, payload)
        model[point_id] = (point_id, model_vector(vector), model_payload(payload))

    first = save_to(store, tmp_path / "a.bin")
    state = read_snapshot(first)
    assert state["points"] == model

    loaded = tarnwick.VectorStorage()
    loaded.load(str(tmp_path / "a.bin"))
    assert read_snapshot(save_to(loaded, tmp_path / "b.bin")) == state
    for query in queries:
        for metric in ("cosine", "dot", "l2"):
            same_result_sets(loaded.search(query, 100, metric), store.search(query, 100, metric))
        same_result_sets(loaded.search(query, 100, "dot", "a"), store.search(query, 100, "dot", "a"))


small_ids = st.one_of(st.integers(0, 8), st.sampled_from([U64_MAX, 2**40]))
hand_points = st.lists(
    st.builds(lambda key, vector, payload, record_id: point_entry(key, vector, payload, record_id),
              small_ids, st.lists(components, max_size=3),
              st.one_of(st.none(), st.lists(st.tuples(st.sampled_from(["a", "b", "tenant_id"]),
                                                      st.just(KEYWORD), st.sampled_from(["a", "b"])),
                                            max_size=3)),
              st.one_of(st.none(), ids)),
    max_size=6)
hand_nodes = st.lists(
    st.builds(lambda key, lists, node_id: node_entry(key, lists, node_id),
              small_ids, st.lists(st.lists(small_ids, max_size=5), max_size=16),
              st.one_of(st.none(), ids)),
    max_size=6)


@SETTINGS
@given(points=hand_points, nodes=hand_nodes, m=ids, ef_construction=ids, ef_search=ids,
       entry_point=st.one_of(st.none(), ids), max_level=ids)
def test_hand_made_graphs_survive_load_and_save(tmp_path, points, nodes, m, ef_construction,
                                                ef_search, entry_point, max_level):
    data = snapshot(points, nodes, m, ef_construction, ef_search, entry_point, max_level)
    path = tmp_path / "in.bin"
    path.write_bytes(data)
    store = tarnwick.VectorStorage()
    store.load(str(path))
    again = save_to(store, tmp_path / "out.bin")
    assert read_snapshot(again) == read_snapshot(data)
    # The file holds each key once, so nothing is lost when it is read back.
    store.load(str(tmp_path / "out.bin"))
    assert read_snapshot(save_to(store, tmp_path / "out2.bin")) == read_snapshot(data)


@SETTINGS
@given(points=hand_points, nodes=hand_nodes, edits=st.lists(
    st.tuples(st.integers(0, 10**6), st.integers(0, 255), st.sampled_from(["set", "insert", "delete"])),
    min_size=1, max_size=4))
def test_decoder_agrees_with_the_model_on_mutated_files(tmp_path, points, nodes, edits):
    data = bytearray(snapshot(points, nodes, entry_point=3))
    for at, value, how in edits:
        at %= len(data) + 1
        if how == "insert":
            data.insert(at, value)
        elif at < len(data):
            if how == "set":
                data[at] = value
            else:
                del data[at]
    path = tmp_path / "mutated.bin"
    path.write_bytes(bytes(data))
    store = tarnwick.VectorStorage()
    try:
        expected = read_snapshot(bytes(data))
    except Exception as error:
        try:
            store.load(str(path))
        except OSError as failure:
            assert str(failure).endswith(": " + str(error))
        else:
            raise AssertionError(f"loaded a file the model rejects with {error}")
    else:
        store.load(str(path))
        assert read_snapshot(save_to(store, tmp_path / "out.bin")) == expected
