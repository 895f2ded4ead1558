"""Typed uses of the tarnwick API. mypy and pyright check this file against the
installed stubs, and tests/test_typing.py runs it against the module, so what the
stubs accept the module accepts. Each call in `rejected_calls` must be a type
error (the checkers report unused ignores, so a stub that stops rejecting one
fails) and must raise at run time."""
import array
from collections.abc import Callable
from pathlib import Path
from typing import assert_type

import numpy as np

from tarnwick import VectorStorage

Point = tuple[list[float], dict[str, str | int | float] | None]
Hit = tuple[int, float, dict[str, str | int | float] | None]


def exercise(path: str) -> VectorStorage:
    """Calls every method with the argument types the stubs admit; returns the store."""
    store = VectorStorage()
    rows = np.arange(1, 13, dtype=np.float32).reshape(4, 3)
    texts: dict[str, str] = {"tenant_id": "b"}
    mixed: dict[str, object] = {"tenant_id": "a", "year": 2026, "score": 0.5, "tags": ["left out"]}

    assert_type(store.upsert(1, [0.5, 1, np.float32(2.0)], mixed), None)
    store.upsert(np.uint64(2), rows[0], None)
    store.upsert(3, array.array("f", [1.0, 2.0, 3.0]), texts)
    store.upsert(point_id=4, vector=(1.0, 0.0, 0.0), payload={"tenant_id": "a"})

    assert_type(store.search((1.0, 2.0, 3.0), 2, "cosine"), list[tuple[int, float]])
    assert_type(store.search(rows[1], np.int64(2), "L2", tenant_id="a"), list[tuple[int, float]])
    assert_type(store.batch_search(rows, 2, "dot"), list[list[tuple[int, float]]])
    assert_type(store.batch_search([rows[0], [1, 2, 3]], 2, "dot_product", "b"),
                list[list[tuple[int, float]]])

    seen: list[tuple[int, int]] = []
    store.batch_upsert(np.arange(10, 14, dtype=np.uint64), rows, [None, {"k": 1}, None, texts],
                       progress=lambda done, total: seen.append((done, total)))
    assert_type(store.batch_upsert(range(20, 24), rows.tolist()), None)

    years: dict[str, int] = {"year": 2026}
    assert_type(store.query([1.0, 2.0, 3.0]), list[tuple[int, float]])
    assert_type(store.query(rows[0], 3, "L2", where=years, tenant_id="a", ef=np.int32(64),
                            early_stop=True), list[tuple[int, float]])
    either: bool = len(store) > 0
    nested = store.query(rows[0], where={
        "$or": [{"year": {"$gte": 2020, "$lt": 2030}}, {"k": {"$in": [1, 2.5, "x"]}}],
        "$not": {"tenant_id": {"$exists": False}}}, with_payload=True)
    assert_type(nested, list[Hit])
    assert_type(store.query(rows[0], with_payload=either), list[tuple[int, float]] | list[Hit])
    assert_type(store.batch_query(rows, 2, "dot", tenant_id="b"), list[list[tuple[int, float]]])
    assert_type(store.batch_query([rows[0], [1, 2, 3]], where={"$and": [years, {"k": 1}]},
                                  with_payload=True), list[list[Hit]])
    assert_type(store.delete(20), bool)
    assert_type(store.batch_delete([21, np.uint64(22), 99]), int)
    assert_type(store.get(1), Point | None)
    assert_type(len(store), int)
    assert_type(np.uint64(1) in store, bool)

    store.ef_search = 64
    store.ef_search = np.int32(48)
    assert_type(store.ef_search, int)
    assert_type(store.m + store.ef_construction, int)
    store.save(path)
    store.load(path)
    return store


def subclass() -> type:
    class Subclass(VectorStorage):  # type: ignore[misc]
        pass
    return Subclass


def set_m(store: VectorStorage) -> None:
    store.m = 3  # type: ignore[misc]


def set_ef_search(store: VectorStorage) -> None:
    store.ef_search = "64"  # type: ignore[assignment]


def rejected_calls(store: VectorStorage) -> list[Callable[[], object]]:
    """Calls that the stubs reject and the module refuses."""
    return [
        lambda: VectorStorage(16),  # type: ignore[call-arg]
        lambda: store.upsert("1", [1.0], None),  # type: ignore[arg-type]
        lambda: store.upsert(1, "123", None),  # type: ignore[arg-type]
        lambda: store.upsert(1, [1.0, "2"], None),  # type: ignore[list-item]
        lambda: store.upsert(1, [1.0]),  # type: ignore[call-arg]
        lambda: store.upsert(1, [1.0], {1: "x"}),  # type: ignore[dict-item]
        lambda: store.upsert(1, [1.0], [("tenant_id", "a")]),  # type: ignore[arg-type]
        lambda: store.search([1.0], 5, "cosine", tenant_id=3),  # type: ignore[arg-type]
        lambda: store.search([1.0], 5.0, "cosine"),  # type: ignore[arg-type]
        lambda: store.batch_search([1.0, 2.0], 5, "cosine"),  # type: ignore[list-item]
        lambda: store.save(Path("store.snapshot")),  # type: ignore[arg-type]
        lambda: store.batch_upsert([1], [[1.0]], None, None),  # type: ignore[call-arg]
        lambda: store.batch_upsert([1.5], [[1.0]]),  # type: ignore[list-item]
        lambda: store.batch_upsert([1], [[1.0]], progress=3),  # type: ignore[arg-type]
        lambda: store.batch_delete(7),  # type: ignore[arg-type]
        lambda: store.query([1.0, 2.0, 3.0], 5, "cosine", None),  # type: ignore[call-overload]
        lambda: store.query([1.0, 2.0, 3.0], where={1: "a"}),  # type: ignore[dict-item]
        lambda: store.query([1.0, 2.0, 3.0], where=[("year", 1)]),  # type: ignore[call-overload]
        lambda: store.query([1.0, 2.0, 3.0], where={"year": None}),  # type: ignore[dict-item]
        lambda: store.query([1.0, 2.0, 3.0], ef="64"),  # type: ignore[call-overload]
        lambda: store.batch_query([1.0, 2.0], 5),  # type: ignore[list-item]
        lambda: store.get(12345)[0],  # type: ignore[index]
        lambda: "1" in store,  # type: ignore[operator]
        lambda: set_m(store),
        lambda: set_ef_search(store),
        subclass,
    ]
