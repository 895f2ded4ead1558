"""What the tests of snapshots share: the messages of save and load, a
store's file and a file loaded into a store, and sample files."""
import os

import pytest

import tarnwick
from snapshot_format import FLOAT, INTEGER, KEYWORD, TEXT, node_entry, point_entry, read_snapshot, snapshot

CREATE = "Failed to create snapshot file: "
ENCODE = "Postcard binary serialization pipeline failure: "
WRITE = "Failed to write serialized bytes to disk: "
OPEN = "Failed to open snapshot file: "
READ = "Failed to read snapshot file bytes: "
DECODE = "Postcard binary deserialization pipeline failure (possible corruption): "


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


def saved_bytes(store, tmp_path, name="out.bin"):
    path = tmp_path / name
    store.save(str(path))
    return path.read_bytes()


def load_bytes(store, tmp_path, data, name="in.bin"):
    path = tmp_path / name
    path.write_bytes(data)
    store.load(str(path))


def decode_failure(tmp_path, data):
    """The OSError text of loading data into a filled store, which must stay as it was."""
    store = tarnwick.VectorStorage()
    store.upsert(7, [1.0, 2.0], {"tenant_id": "t"})
    before = saved_bytes(store, tmp_path, "before.bin")
    with pytest.raises(OSError) as caught:
        load_bytes(store, tmp_path, data)
    assert caught.value.args == (str(caught.value),)
    assert saved_bytes(store, tmp_path, "after.bin") == before
    return str(caught.value)


def first_upsert_file(saved, points, key):
    """The file of a store whose only upsert stored `points` under `key`: the
    upsert also made the graph's first node, with no links, as its entry point
    at a randomly drawn level, read back from the saved bytes."""
    level = read_snapshot(saved)["max_level"]
    assert 0 <= level <= 15
    return snapshot(points, nodes=[node_entry(key)], entry_point=key, max_level=level)


def leftovers(directory, keep):
    return sorted(set(os.listdir(directory)) - set(keep))


# A file touching every item kind: payload values of all variants, a node with
# neighbours on several layers, an entry point, key != id, a dangling id.
RICH = snapshot(
    points=[
        point_entry(1, [1.0, -0.0], [("tenant_id", KEYWORD, "a"), ("n", INTEGER, -300),
                                     ("x", FLOAT, 2.5), ("long", TEXT, "é" * 40)]),
        point_entry(300, [], None, record_id=301),
        point_entry(2, [0.5], []),
    ],
    nodes=[node_entry(1, [[300, 2, 99], [2]]), node_entry(300, [[1]], node_id=7)],
    entry_point=1, max_level=1,
)


def floats_file(vector):
    """The component patterns of vector, as read_snapshot reports them."""
    return read_snapshot(snapshot([point_entry(0, vector)]))["points"][0][1]
