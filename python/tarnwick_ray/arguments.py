"""Checking and converting the arguments of ShardedVectorStorage's methods before
anything reaches a shard: point ids, rows of vectors and their lengths, as the
store itself would take them."""
from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any

import numpy as np

U64_MAX = 2**64 - 1
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def check_point_id(point_id: Any) -> int:
    if isinstance(point_id, float) or not hasattr(point_id, "__index__"):
        raise TypeError(f"point ids must be int, not {type(point_id).__name__}")
    value = operator.index(point_id)
    if not 0 <= value <= U64_MAX:
        raise OverflowError(f"point id {value} is outside 0..2**64-1")
    return value


def point_id_array(point_ids: Any) -> np.ndarray:
    """point_ids as a uint64 array; raises for an id that is not an int in 0..2**64-1."""
    if isinstance(point_ids, np.ndarray):
        if point_ids.ndim != 1 or point_ids.dtype.kind not in "iu":
            raise TypeError("point_ids must be a 1-D integer array or a sequence of int")
        if point_ids.dtype.kind == "i" and point_ids.size and point_ids.min() < 0:
            raise OverflowError("point ids must be in 0..2**64-1")
        return point_ids.astype(np.uint64)
    if isinstance(point_ids, (str, bytes, dict)) or not isinstance(point_ids, Sequence | range):
        raise TypeError(f"point_ids must be a sequence of int, not {type(point_ids).__name__}")
    checked = []
    for index, point_id in enumerate(point_ids):
        try:
            checked.append(check_point_id(point_id))
        except (TypeError, OverflowError) as error:
            error.add_note(f"while processing 'point_ids' item {index}")
            raise
    return np.array(checked, dtype=np.uint64)


def vector_rows(vectors: Any, count: int) -> np.ndarray | list:
    """vectors as a float32 matrix when they form one, else as a list of rows.

    The float32 values are those the store would make: each number goes to the
    nearest double and then to the nearest float. Rows that are not sequences of
    real numbers are refused here, before any shard changes."""
    if isinstance(vectors, (str, bytes, dict)) or not hasattr(vectors, "__len__"):
        raise TypeError(f"vectors must be a sequence of vectors, not {type(vectors).__name__}")
    if len(vectors) != count:
        raise ValueError(f"point_ids has {count} items but vectors has {len(vectors)}")
    if isinstance(vectors, np.ndarray) and vectors.ndim == 2 and vectors.dtype.kind in "fiub":
        with np.errstate(over="ignore"):  # beyond float32's range: infinities, as the store makes
            if vectors.dtype.kind == "f":
                return vectors.astype(np.float32, copy=False)
            return vectors.astype(np.float64).astype(np.float32)
    rows = list(vectors)
    for index, row in enumerate(rows):
        if isinstance(row, (str, bytes, dict)) or not hasattr(row, "__len__"):
            raise TypeError(f"vectors item {index} is {type(row).__name__}, not a sequence "
                            "of numbers")
        kind = np.asarray(row).dtype.kind if len(row) else "f"
        if kind not in "fiub":
            raise TypeError(f"vectors item {index} holds values that are not real numbers")
    lengths = {len(row) for row in rows}
    if len(lengths) == 1:
        try:
            with np.errstate(over="ignore"):
                return np.asarray(rows, dtype=np.float64).astype(np.float32).reshape(count, -1)
        except (OverflowError, ValueError, TypeError):
            pass  # ints beyond a double's range: the store's own conversion decides
    return rows


def length_of(vector: Any) -> int | None:
    """The length of a vector, or None for what the store refuses as a vector."""
    if isinstance(vector, (str, bytes, dict)) or not hasattr(vector, "__len__"):
        return None
    if isinstance(vector, np.ndarray) and vector.ndim != 1:
        return None
    return len(vector)


def rows_lengths(rows: np.ndarray | list[Any]) -> list[int | None]:
    if isinstance(rows, np.ndarray):
        return [rows.shape[1]] if len(rows) else []
    return [length_of(row) for row in rows]


def query_lengths(queries: Any) -> tuple[list[int | None], str]:
    """The lengths of a batch of queries, as far as they are vectors, and what
    names them in an error."""
    if isinstance(queries, np.ndarray):
        lengths = [queries.shape[1]] if queries.ndim == 2 and len(queries) else []
        return lengths, "each row of query_vectors"
    if isinstance(queries, (list, tuple)):
        return [length_of(query) for query in queries], "query_vectors item {}"
    return [], ""


def check_payload(payload: Any, index: int) -> None:
    """Raises for a payload the store would refuse: not None or a dict, a key that
    is not str, an int beyond 64 bits, text that is not valid UTF-8."""
    if payload is None:
        return
    if not isinstance(payload, dict):
        raise TypeError(f"payloads item {index} is {type(payload).__name__}, not dict or None")
    for key, value in payload.items():
        if not isinstance(key, str):
            raise TypeError(f"payloads item {index} has a key of type {type(key).__name__}")
        key.encode("utf-8")
        if isinstance(value, str):
            value.encode("utf-8")
        elif isinstance(value, int) and not INT64_MIN <= value <= INT64_MAX:
            raise OverflowError(f"payloads item {index}: the int under {key!r} does not fit "
                                "in 64 bits")
