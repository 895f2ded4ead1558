"""Metric names and the exact float32 arithmetic of every score, checked
through the exact scan against an independent float32 model."""
import math

import numpy as np
import pytest

from conftest import same_results
from reference import rank

ALL_NAMES = ["cosine", "dot_product", "dot", "euclidean", "l2"]


class TestMetricNames:
    @pytest.mark.parametrize("name", ALL_NAMES + ["COSINE", "Cosine", "L2", "DOT_PRODUCT", "Dot", "EuClIdEaN"])
    def test_accepted(self, store, name):
        store.upsert(1, [1.0], None)
        assert store.search([1.0], 1, name) == [(1, 1.0) if name.lower() != "l2" and name.lower() != "euclidean" else (1, 0.0)]

    @pytest.mark.parametrize(
        "name",
        ["cos", "l2 ", " dot", "dotproduct", "", "dot\0", "\u212aosine", "cosin\u0435", "DOT_PRODUCT_", "euclidean2"],
    )
    def test_refused(self, store, name):
        with pytest.raises(ValueError) as caught:
            store.search([1.0], 1, name)
        assert str(caught.value) == (
            "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or 'euclidean' ('l2')."
        )
        assert caught.value.args == (str(caught.value),)

    def test_metric_checked_on_an_empty_store(self, store):
        with pytest.raises(ValueError):
            store.search([1.0], 1, "manhattan")


def fill(store, vectors, payloads=None):
    points = []
    for i, vector in enumerate(vectors):
        payload = payloads[i] if payloads else None
        store.upsert(i, vector, payload)
        points.append((i, list(vector), payload))
    return points


class TestBitExactScores:
    # Dimensions around the kernel's widths: tails of 1..7 components, partial blocks.
    @pytest.mark.parametrize("dim", [1, 3, 7, 8, 9, 15, 16, 17, 64, 128, 131])
    @pytest.mark.parametrize("metric", ["dot", "cosine", "l2"])
    @pytest.mark.parametrize("count", [1, 15, 16, 17, 61])
    def test_random_vectors(self, store, rng, dim, metric, count):
        # Wide dynamic range makes the order of additions visible in the last bits.
        vectors = (rng.standard_normal((count, dim)) * rng.choice([1e-3, 1.0, 1e3], (count, dim))).astype(np.float32)
        points = fill(store, vectors.tolist())
        query = (rng.standard_normal(dim) * 10).astype(np.float32).tolist()
        same_results(store.search(query, count, metric), rank(points, query, count, metric))

    def test_sums_are_not_reassociated(self, store):
        # 1e8 + 1 - 1e8 + 1 in float32, in order, gives 1.0; any regrouping gives 0 or 2.
        store.upsert(1, [1e8, 1.0, -1e8, 1.0], None)
        assert store.search([1.0, 1.0, 1.0, 1.0], 1, "dot") == [(1, 1.0)]

    def test_no_fused_multiply_add(self, store):
        # With a fused multiply-add, x*x - x*x would keep the rounding error of x*x.
        x = 1.0000001192092896  # 1 + 2**-23
        store.upsert(1, [x, -x], None)
        [(_, score)] = store.search([x, x], 1, "dot")
        assert score == 0.0


class TestSpecialValues:
    @pytest.mark.parametrize("metric", ["dot", "l2"])
    def test_empty_vectors_score_negative_zero(self, store, metric):
        store.upsert(1, [], None)
        store.upsert(2, [1.0], None)
        [(pid, score)] = store.search([], 5, metric)
        assert pid == 1 and score == 0.0 and math.copysign(1.0, score) == -1.0

    def test_empty_vectors_have_no_cosine(self, store):
        store.upsert(1, [], None)
        assert store.search([], 5, "cosine") == []

    def test_zero_vectors_are_left_out_of_cosine(self, store):
        store.upsert(1, [0.0, 0.0], None)
        store.upsert(2, [-0.0, 0.0], None)
        store.upsert(3, [1.0, 0.0], None)
        assert store.search([1.0, 0.0], 5, "cosine") == [(3, 1.0)]
        assert store.search([0.0, 0.0], 5, "cosine") == []
        assert sorted(store.search([1.0, 0.0], 5, "dot")) == [(1, 0.0), (2, 0.0), (3, 1.0)]

    def test_euclidean_example(self, store):
        store.upsert(1, [0.0, 4.0], None)
        assert store.search([3.0, 0.0], 1, "euclidean") == [(1, 5.0)]

    def test_mixed_lengths_are_left_out(self, store):
        store.upsert(1, [1.0, 2.0], None)
        store.upsert(2, [1.0, 2.0, 3.0], None)
        store.upsert(3, [1.0], None)
        for metric in ("dot", "cosine", "l2"):
            assert [pid for pid, _ in store.search([1.0, 1.0], 5, metric)] == [1]

    def test_nan_scores_rank_last_and_stay_nan(self, store):
        store.upsert(1, [float("nan"), 1.0], None)
        store.upsert(2, [1.0, 1.0], None)
        store.upsert(3, [-5.0, 1.0], None)
        for metric in ("dot", "cosine", "l2"):
            result = store.search([1.0, 1.0], 5, metric)
            assert [pid for pid, _ in result][-1] == 1
            assert math.isnan(result[-1][1])
            assert all(not math.isnan(score) for _, score in result[:-1])

    def test_nan_norm_passes_the_zero_test(self, store):
        store.upsert(1, [float("nan")], None)
        [(pid, score)] = store.search([2.0], 1, "cosine")
        assert pid == 1 and math.isnan(score)

    def test_infinities(self, store):
        store.upsert(1, [float("inf"), 0.0], None)
        store.upsert(2, [1.0, 0.0], None)
        assert store.search([1.0, 0.0], 1, "dot") == [(1, float("inf"))]
        result = store.search([1.0, 0.0], 2, "l2")
        assert result == [(2, 0.0), (1, float("inf"))]

    def test_cosine_is_not_clamped(self, store):
        # Rounding can push a self-similarity past 1; the score is reported as computed.
        vector = [0.1, 0.2, 0.3, 0.7, 1.3, 2.9, 0.01]
        store.upsert(1, vector, None)
        points = [(1, vector, None)]
        same_results(store.search(vector, 1, "cosine"), rank(points, vector, 1, "cosine"))


KERNEL_SCRIPT = """
import json, sys
import numpy as np
import tarnwick
rng = np.random.default_rng(5)
out = []
for dim in (1, 5, 8, 13, 16, 31, 128, 133):
    # One store per length keeps every store under 500 points: the scan, whose
    # results do not depend on the graph's random levels.
    store = tarnwick.VectorStorage()
    for pid in range(70):
        store.upsert(dim * 1000 + pid, (rng.standard_normal(dim) * rng.choice([1e-4, 1.0, 1e4], dim)).astype(np.float32).tolist(), None)
    for metric in ("dot", "cosine", "l2"):
        query = rng.standard_normal(dim).astype(np.float32).tolist()
        out.append([(pid, np.float64(score).hex()) for pid, score in store.search(query, 499, metric)])
json.dump(out, sys.stdout)
"""


def test_every_kernel_gives_the_same_bits(tmp_path):
    import json
    import os
    import subprocess
    import sys

    runs = {}
    for kernels in ("scalar", "default"):
        env = dict(os.environ)
        env.pop("TARNWICK_SCAN_KERNELS", None)
        if kernels == "scalar":
            env["TARNWICK_SCAN_KERNELS"] = "scalar"
        done = subprocess.run([sys.executable, "-c", KERNEL_SCRIPT], env=env, capture_output=True, text=True, check=True,
                              timeout=600)  # a hang fails, on any machine
        runs[kernels] = json.loads(done.stdout)
    assert runs["scalar"] == runs["default"]
    assert sum(len(r) for r in runs["scalar"]) > 1000
