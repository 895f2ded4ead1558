import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent))

import tarnwick  # noqa: E402


@pytest.fixture
def store():
    return tarnwick.VectorStorage()


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


def same_results(actual, expected):
    """Ids equal and scores equal bit for bit (NaN equal to NaN)."""
    assert [pid for pid, _ in actual] == [pid for pid, _ in expected]
    for (_, got), (_, want) in zip(actual, expected):
        assert np.float64(got).tobytes() == np.float64(want).tobytes(), (got, want)
