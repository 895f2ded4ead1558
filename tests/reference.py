"""An independent model of the store's arithmetic and ranking, written with
NumPy float32 element-wise operations: each lane adds its own terms in index
order from -0.0, one rounding per operation, exactly as the store must."""
import math

import numpy as np

F32 = np.float32


def in_order_sums(rows, query, kind):
    """Per-row sum over components in index order: kind 'dot', 'sq' (squared
    distance) or 'norm' (squared norm of the row)."""
    rows = np.asarray(rows, dtype=F32).reshape(len(rows), -1)
    query = np.asarray(query, dtype=F32)
    sums = np.full(rows.shape[0], -0.0, dtype=F32)
    with np.errstate(all="ignore"):
        for i in range(rows.shape[1]):
            column = rows[:, i]
            if kind == "dot":
                term = column * query[i]
            elif kind == "sq":
                diff = query[i] - column
                term = diff * diff
            else:
                term = column * column
            sums = sums + term
    return sums


def scores(rows, query, metric):
    """Scores of equal-length rows under a metric; None where the exact scan
    leaves a point out."""
    if len(rows) == 0:
        return []
    with np.errstate(all="ignore"):
        if metric == "dot":
            return [float(s) for s in in_order_sums(rows, query, "dot")]
        if metric == "l2":
            return [float(np.sqrt(s)) for s in in_order_sums(rows, query, "sq")]
        dots = in_order_sums(rows, query, "dot")
        norms = in_order_sums(rows, query, "norm")
        query_norm = in_order_sums([query], query, "norm")[0]
        out = []
        for dot, norm in zip(dots, norms):
            if query_norm == 0 or norm == 0:
                out.append(None)
            else:
                out.append(float(dot / (np.sqrt(query_norm) * np.sqrt(norm))))
        return out


def rank(points, query, limit, metric, tenant=None):
    """The expected search result over `points`, a list of (id, vector, payload)
    in the store's iteration order (first insertion order of each id)."""
    metric = {"dot_product": "dot", "euclidean": "l2"}.get(metric, metric)
    eligible = [
        (pid, vec)
        for pid, vec, payload in points
        if len(vec) == len(query)
        and (tenant is None or (isinstance(payload, dict) and payload.get("tenant_id") == tenant))
    ]
    computed = scores([v for _, v in eligible], query, metric) if eligible else []
    scored = [(pid, s, order) for order, ((pid, _), s) in enumerate(zip(eligible, computed)) if s is not None]
    larger_better = metric != "l2"

    def key(item):
        _, s, order = item
        if math.isnan(s):
            return (1, 0.0, order)
        return (0, -s if larger_better else s, order)

    scored.sort(key=key)
    return [(pid, s) for pid, s, _ in scored[:limit]]


# ---- the filter rules ----

def is_text(value):
    return isinstance(value, str)


def equal(a, b):
    return is_text(a) == is_text(b) and a == b  # int and float compare exactly in Python


ORDER = {"$gt": lambda a, b: a > b, "$gte": lambda a, b: a >= b,
         "$lt": lambda a, b: a < b, "$lte": lambda a, b: a <= b}


def leaf(op, value, payload, key):
    present = key in payload
    got = payload.get(key)
    if isinstance(value, bool):
        value = int(value)  # as a payload holds it
    if op == "$exists":
        return present == value
    if op in ("$eq", "$ne"):
        hit = present and equal(got, value)
        return hit if op == "$eq" else not hit
    if op in ("$in", "$nin"):
        hit = present and any(equal(got, int(v) if isinstance(v, bool) else v) for v in value)
        return hit if op == "$in" else not hit
    return present and is_text(got) == is_text(value) and ORDER[op](got, value)


def matches(where, payload):
    """Whether a payload (a dict or None) matches a `where` filter (None: all)."""
    if where is None:
        return True
    payload = payload or {}
    for key, condition in where.items():
        if key == "$and":
            ok = all(matches(c, payload) for c in condition)
        elif key == "$or":
            ok = any(matches(c, payload) for c in condition)
        elif key == "$not":
            ok = not matches(condition, payload)
        elif isinstance(condition, dict):
            ok = all(leaf(op, v, payload, key) for op, v in condition.items())
        else:
            ok = leaf("$eq", condition, payload, key)
        if not ok:
            return False
    return True
