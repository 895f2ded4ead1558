#!/usr/bin/env bash
# Builds the portable wheel and checks it the way a user meets it:
#   pip wheel . -> auditwheel repair (a manylinux tag) -> the module's exports,
#   runtime needs and instruction sets -> a fresh CPython 3.12 venv that gets the
#   wheel and its test and typing extras from PyPI as binary packages only
#   (nothing is compiled) -> the test suite, stubtest and the type checks there,
#   from a copy of tests/, examples/ and the README and docs/ (whose examples
#   the tests run) outside the source tree, once with the
#   kernels chosen at run time and once with the scalar kernels.
# The repaired wheel is left in build/wheel/dist. It runs scripts/setup.sh
# first, whose build in build/<wheel tag> it reuses.
# Usage: scripts/wheel.sh [--after-suite]
#   --after-suite: the whole suite has just run on .venv (as .ci/run does with
#   scripts/test.sh). When the wheel's module is byte for byte the one installed
#   there, the long tests marked slow that exercise the module (graph
#   reachability, kills) are not run again; the slow checks of what the wheel
#   itself carries (its stubs under mypy and pyright, the README's examples) still
#   run. With any other module, or without the option, everything runs.
set -euo pipefail
cd "$(dirname "$0")/.."
after_suite=0
if [ "${1:-}" = "--after-suite" ]; then after_suite=1; shift; fi
[ $# -eq 0 ] || { echo "usage: scripts/wheel.sh [--after-suite]" >&2; exit 2; }
scripts/setup.sh  # quick when done: .venv, and the build this script reuses
root=$PWD
work=$root/build/wheel
export CMAKE_BUILD_PARALLEL_LEVEL=2
export PIP_DISABLE_PIP_VERSION_CHECK=1
phase() { echo "== $1 (at ${SECONDS} s)"; }

phase "clean"  # the previous run's wheel and venv; the CMake build is kept
rm -rf "$work/raw" "$work/dist" "$work/unpacked" "$work/venv" "$work/copy"

# In pyproject.toml's build directory, build/<wheel tag>, which scripts/setup.sh's
# install has built already: only what changed since is compiled.
phase "build"
.venv/bin/python -m pip install --quiet --group wheel
.venv/bin/python -m pip wheel . --quiet --no-deps --no-build-isolation --wheel-dir "$work/raw"
raw=$(ls "$work"/raw/tarnwick-*.whl)
cmake_build=build/$(basename "$raw" .whl | cut -d- -f3-)
[ -f "$cmake_build/compile_commands.json" ] || { echo "no $cmake_build/compile_commands.json" >&2; exit 1; }

phase "repair"
.venv/bin/auditwheel show "$raw"
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair "$raw" --wheel-dir "$work/dist"
wheel=$(ls "$work"/dist/tarnwick-*manylinux*.whl)
echo "wheel: ${wheel#"$PWD/"}"
.venv/bin/python -m zipfile -e "$wheel" "$work/unpacked"
.venv/bin/python scripts/check_module_binary.py "$cmake_build" "$(ls "$work"/unpacked/tarnwick*.so)"

phase "fresh venv"
python312=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
"$python312" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --only-binary :all: "$wheel[test,typing]"
version=$(.venv/bin/python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
mkdir -p "$work/copy"
cp -r tests examples docs README.md pytest.ini "$work/copy/"
cd "$work/copy"
python="$work/venv/bin/python"
"$python" - "$work/venv" "$version" <<'EOF'
import importlib.metadata, sys, tarnwick
venv, version = sys.argv[1:]
assert tarnwick.__file__.startswith(venv), tarnwick.__file__
assert importlib.metadata.version("tarnwick") == version, (importlib.metadata.version("tarnwick"), version)
print(f"tarnwick {version} from {tarnwick.__file__}")
EOF
"$python" -m mypy.stubtest tarnwick

phase "tests, kernels chosen at run time"
module=$(basename "$(ls "$work"/unpacked/tarnwick*.so)")
suite_module="$root/.venv/lib/python3.12/site-packages/$module"
if [ "$after_suite" = 1 ] && cmp -s "$work/unpacked/$module" "$suite_module"; then
  echo "the wheel's module is the one the suite ran on in .venv: here only what the wheel adds" \
       "(its stubs, the README's examples, the binding as installed); the scalar run below scores"
  "$python" -m pytest tests/test_typing.py tests/test_readme.py tests/test_binding.py -q -p no:cacheprovider
else
  "$python" -m pytest tests -q -p no:cacheprovider
fi
phase "tests that score, scalar kernels"
TARNWICK_SCAN_KERNELS=scalar "$python" -m pytest -q -p no:cacheprovider tests/test_search.py \
  tests/test_graph.py tests/test_metrics.py tests/test_batch.py tests/test_points.py
phase "done"
