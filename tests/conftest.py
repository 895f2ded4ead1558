import inspect
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent))

import tarnwick  # noqa: E402


@pytest.hookimpl(hookwrapper=True, trylast=True)
def pytest_pycollect_makeitem(collector, name, obj):
    """Marks coroutine tests for pytest-asyncio (strict mode) as they are
    collected: LangChain's standard suite writes its async cases unmarked."""
    outcome = yield
    items = outcome.get_result()
    if not items or not collector.config.pluginmanager.hasplugin("asyncio"):
        return
    for item in items if isinstance(items, list) else [items]:
        if isinstance(item, pytest.Function) and inspect.iscoroutinefunction(item.obj):
            item.add_marker(pytest.mark.asyncio)


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


ROOT = Path(__file__).resolve().parent.parent


def run_cpp_test(target, timeout=600):
    """Builds one of the C++ test programs (tests/cpp) and runs it; they print
    "N passed, M failed" and exit non-zero on a failure."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    if not (ROOT / "CMakeLists.txt").exists():
        pytest.skip("no source tree beside the tests")
    build = ROOT / "build" / "cpp-tests"
    build.mkdir(parents=True, exist_ok=True)
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(build), "-DTARNWICK_BUILD_TESTS=ON",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "--target", target, "-j2"],
                   check=True, capture_output=True)
    run = subprocess.run([str(build / target)], capture_output=True, text=True, timeout=timeout)
    assert run.returncode == 0, run.stdout + run.stderr
    assert ", 0 failed" in run.stdout
    return run.stdout
