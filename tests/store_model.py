"""A plain-Python model of a store (points, payloads, slots) and the checks that
compare a VectorStorage with it: exact answers where the store scans, the
walk's guarantees where it walks."""
import math

import numpy as np

from reference import in_order_sums, matches

F32 = np.float32
METRICS = ["cosine", "dot_product", "euclidean"]
LARGER_BETTER = {"cosine": True, "dot_product": True, "euclidean": False}


def bits(x):
    """A score's bits; every NaN alike (which NaN an operation gives is the processor's choice)."""
    return b"nan" if x != x else np.float64(x).tobytes()


def f32_vector(values):
    """What the store keeps of a vector given as Python numbers."""
    with np.errstate(all="ignore"):
        return np.array([float(v) for v in values], dtype=np.float64).astype(F32)


def kept_payload(payload):
    """What the store keeps of a payload dict: str, int (bool as int) and float values."""
    if payload is None:
        return None
    kept = {}
    for key, value in payload.items():
        if isinstance(value, str):
            kept[key] = value
        elif isinstance(value, int):
            kept[key] = int(value)
        elif isinstance(value, float):
            kept[key] = float(value)
    return kept


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return bits(a) == bits(b)
    return type(a) is type(b) and a == b


def same_payload(got, want):
    if got is None or want is None:
        return got is None and want is None
    return sorted(got) == sorted(want) and all(same_value(got[k], want[k]) for k in want)


def tenant_ok(payload, tenant):
    return tenant is None or (payload is not None and isinstance(payload.get("tenant_id"), str)
                              and payload["tenant_id"] == tenant)


# ---- scores ----

def exact_scores(vectors, query, metric):
    """Scores of equal-length float32 rows; None where the scan leaves a point out."""
    if not vectors:
        return []
    rows = np.array(vectors, dtype=F32).reshape(len(vectors), len(query))
    q = np.asarray(query, dtype=F32)
    with np.errstate(all="ignore"):
        if metric == "dot_product":
            return [F32(s) for s in in_order_sums(rows, q, "dot")]
        if metric == "euclidean":
            return [np.sqrt(F32(s)) for s in in_order_sums(rows, q, "sq")]
        dots = in_order_sums(rows, q, "dot")
        norms = in_order_sums(rows, q, "norm")
        qn = in_order_sums(q.reshape(1, -1), q, "norm")[0] if len(q) else F32(-0.0)
        out = []
        for d, n in zip(dots, norms):
            if qn == 0 or n == 0:
                out.append(None)
            else:
                out.append(F32(d) / (np.sqrt(F32(qn)) * np.sqrt(F32(n))))
        return out


class Model:
    """Points by id, each with the slot the store gives it: slots are handed
    out in order, and a deleted point's slot is reused last-freed-first."""

    def __init__(self):
        self.points = {}   # id -> (vector f32, payload)
        self.slot_of = {}  # id -> slot
        self.slots = []    # slot -> id or None
        self.free = []
        self.ef_search = 32

    def copy(self):
        other = Model()
        other.points = dict(self.points)
        other.slot_of = dict(self.slot_of)
        other.slots = list(self.slots)
        other.free = list(self.free)
        other.ef_search = self.ef_search
        return other

    def upsert(self, pid, vector, payload):
        if pid not in self.slot_of:
            if self.free:
                slot = self.free.pop()
                self.slots[slot] = pid
            else:
                slot = len(self.slots)
                self.slots.append(pid)
            self.slot_of[pid] = slot
        self.points[pid] = (vector, payload)

    def delete(self, pid):
        if pid not in self.points:
            return False
        del self.points[pid]
        slot = self.slot_of.pop(pid)
        self.slots[slot] = None
        self.free.append(slot)
        if not self.points:  # an emptied store starts afresh
            self.slots, self.free, self.slot_of = [], [], {}
        return True

    def delete_many(self, pids):
        """batch_delete: the slots are freed in ascending order."""
        gone = sorted({self.slot_of[p] for p in pids if p in self.points})
        for slot in gone:
            pid = self.slots[slot]
            del self.points[pid]
            del self.slot_of[pid]
            self.slots[slot] = None
            self.free.append(slot)
        if not self.points:
            self.slots, self.free, self.slot_of = [], [], {}
        return len(gone)

    def compacted(self):
        """The state a save and load gives: the points in slot order, slots renumbered."""
        other = Model()
        other.ef_search = self.ef_search
        for pid in self.slots:
            if pid is not None:
                other.upsert(pid, *self.points[pid])
        return other

    def in_order(self):
        return [pid for pid in self.slots if pid is not None]

    def expected(self, query, limit, metric, where=None, tenant=None):
        """The exact scan's answer: [(id, f32 score)], ties by slot, NaN last."""
        q = np.asarray(query, dtype=F32)
        ids = [pid for pid in self.in_order()
               if len(self.points[pid][0]) == len(q)
               and tenant_ok(self.points[pid][1], tenant)
               and matches(where, self.points[pid][1])]
        got = exact_scores([self.points[i][0] for i in ids], q, metric)
        scored = [(pid, s, order) for order, (pid, s) in enumerate(zip(ids, got)) if s is not None]
        sign = -1 if LARGER_BETTER[metric] else 1

        def key(item):
            return (1, 0.0, item[2]) if math.isnan(item[1]) else (0, sign * float(item[1]), item[2])

        scored.sort(key=key)
        return [(pid, s) for pid, s, _ in scored[:limit]]

    def exact_of(self, pid, query, metric):
        vec = self.points[pid][0]
        if len(vec) != len(query):
            return None
        return exact_scores([vec], query, metric)[0]


def describe(result):
    return [(r[0], float(r[1])) for r in result]


def check_exact(got, want, what):
    """The same ids in the same order, scores equal bit for bit."""
    g = [(r[0], bits(r[1])) for r in got]
    w = [(pid, bits(F32(s))) for pid, s in want]
    if g != w:
        i = next((i for i, (a, b) in enumerate(zip(g, w)) if a != b), min(len(g), len(w)))
        raise AssertionError(f"{what}: first difference at {i}: got {describe(got)[i:i + 6]} "
                             f"want {describe(want)[i:i + 6]} (lengths {len(g)}, {len(w)})")


def check_walk(got, model, query, limit, metric, where, tenant, what, *, graph_cosine=False,
               count_exact=True, fixed_allowed=False):
    """What a walk must give whatever it reached: points that exist, in scope,
    exact scores, best first, no id twice, and min(limit, comparable in scope)
    of them."""
    want_all = model.expected(query, len(model.points), metric, where, tenant)
    exact = dict(want_all)
    ids = [r[0] for r in got]
    assert len(set(ids)) == len(ids), f"{what}: an id twice: {ids}"
    for r in got:
        pid, score = r[0], r[1]
        assert pid in model.points, f"{what}: {pid} is not stored"
        assert tenant_ok(model.points[pid][1], tenant), f"{what}: {pid} of another tenant"
        assert matches(where, model.points[pid][1]), f"{what}: {pid} fails the filter"
        if pid not in exact:
            assert fixed_allowed, f"{what}: {pid} cannot be compared, score {score}"
            fixed = {"cosine": -3.4028234663852886e38, "dot_product": 0.0,
                     "euclidean": 3.4028234663852886e38}[metric]
            assert bits(score) == bits(fixed), f"{what}: {pid} cannot be compared, score {score!r}"
            continue
        want = F32(exact[pid])
        ok = bits(score) == bits(want)
        if not ok and graph_cosine:
            with np.errstate(all="ignore"):
                alt = F32(1) - (F32(1) - want)
            ok = bits(score) == bits(alt)
        assert ok, f"{what}: {pid} score {score!r} want {float(want)!r}"
    scores = [float(r[1]) for r in got if not math.isnan(r[1])]
    assert scores == sorted(scores, reverse=LARGER_BETTER[metric]), f"{what}: not ordered {scores}"
    nan_seen = False
    for r in got:
        if math.isnan(r[1]):
            nan_seen = True
        else:
            assert not nan_seen, f"{what}: a number after NaN"
    if count_exact == "at least":
        assert len(got) >= min(limit, len(exact)), \
            f"{what}: {len(got)} results, want at least min({limit}, {len(exact)})"
    elif count_exact:
        assert len(got) == min(limit, len(exact)), \
            f"{what}: {len(got)} results, want min({limit}, {len(exact)})"
    return want_all
