"""Writes a seed corpus for the snapshot fuzzer: files saved by the module
from stores filled through upsert, hand-made files with graphs, and the hostile
files of the loader's tests cut to the fuzzer's 64 KiB input limit; and, given
a second directory, logs written by a store for the log fuzzer."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import tarnwick  # noqa: E402
from hostile_files import (  # noqa: E402
    huge_dimension_head, huge_dimension_tail, huge_parameters, ids_without_points,
    long_neighbour_list, many_tenants, tenant_switches,
)
from snapshot_format import (  # noqa: E402
    FLOAT, INTEGER, KEYWORD, NEW_STORE, ONE_POINT, TEXT, node_entry, point_entry, snapshot,
)


def main(directory):
    out = Path(directory)
    out.mkdir(parents=True, exist_ok=True)
    store = tarnwick.VectorStorage()
    store.save(str(out / "new_store"))
    for i in range(40):
        payload = None if i % 4 == 0 else {
            "tenant_id": f"t{i % 3}", "n": i - 20, "x": i / 7, "long": "é" * (i * 2)}
        store.upsert(i * 1_000_003, [float(i), -0.0, float("inf")][: i % 4], payload)
        if i in (1, 5, 39):
            store.save(str(out / f"upserted_{i}"))
    (out / "one_point").write_bytes(ONE_POINT)
    (out / "trailing").write_bytes(NEW_STORE + b"\x01\x02")
    (out / "graph").write_bytes(snapshot(
        [point_entry(1, [1.0, 2.0], [("tenant_id", KEYWORD, "a"), ("i", INTEGER, -5)]),
         point_entry(2, [0.5], [("t", TEXT, "x" * 70), ("f", FLOAT, 1.5)], record_id=9),
         point_entry(1, [3.0], [])],
        [node_entry(1, [[2, 3], [2]]), node_entry(2, [[1]] * 16, node_id=4), node_entry(77, [[1, 2]])],
        entry_point=1, max_level=2))
    hostile = {
        "long_list": long_neighbour_list(8_190),
        # 60,000 entries naming 100 points over and over.
        "long_list_repeats": snapshot(
            [point_entry(k, []) for k in range(100)],
            [node_entry(0, [[k % 100 for k in range(60_000)]])], entry_point=0),
        "tenant_switches": tenant_switches(1_500, 1_500),
        "huge_parameters": huge_parameters(),
        "huge_parameters_graph": snapshot(
            [point_entry(k, [float(k % 13)]) for k in range(1_500)],
            [node_entry(k, [[(k + 1) % 1_500, (k * 7) % 1_500]]) for k in range(1_500)],
            m=2**62, ef_construction=2**62, ef_search=2**62, entry_point=0),
        "ids_without_points": ids_without_points(20_000),
        "many_tenants": many_tenants(2_000),
        "huge_dimension": huge_dimension_head() + huge_dimension_tail(),
    }
    for name, data in hostile.items():
        assert len(data) <= 65536, (name, len(data))
        (out / f"hostile_{name}").write_bytes(data)


def log_seeds(directory):
    """Logs of every record kind, one of them cut inside its last record."""
    out = Path(directory)
    out.mkdir(parents=True, exist_ok=True)
    for name, dimension in (("small", 3), ("wide", 64)):
        path = out / f"log_{name}"
        path.unlink(missing_ok=True)
        store = tarnwick.VectorStorage()
        store.open_log(str(path), sync="none")
        for i in range(12):
            store.upsert(i, [float(i + k) for k in range(dimension)],
                         None if i % 3 else {"tenant_id": f"t{i % 2}", "n": i, "f": i / 4, "long": "x" * 80})
        store.batch_upsert(list(range(20, 30)), [[0.5] * dimension] * 10)
        store.delete(3)
        store.batch_delete([4, 5, 99])
        store.ef_search = 33
        store.close_log()
    data = (out / "log_small").read_bytes()
    (out / "log_torn").write_bytes(data[:-5])
    # The same records after a header of the first version, which logs had
    # before headers named the snapshot they continue.
    from log_format import HEADER, first_header  # noqa: E402
    (out / "log_first_version").write_bytes(first_header() + data[HEADER:])


if __name__ == "__main__":
    main(sys.argv[1])
    if len(sys.argv) > 2:
        log_seeds(sys.argv[2])
