#!/usr/bin/env bash
# Creates .venv with CPython 3.12 (if missing), installs the build and test
# dependencies from PyPI and builds and installs tarnwick into it.
# Usage: scripts/setup.sh [extra...]   e.g. scripts/setup.sh bench
#   extras: bench, demo, langchain, ray, typing, test-integrations (LangChain's standard suite)
# A re-run skips what is done: the venv is kept while it runs CPython 3.12, the
# extras' packages are installed only for extras not installed before (or whose
# requirements or packages changed since: scripts/setup_extras.py), and tarnwick is
# rebuilt only when the sources it is built from (src/, python/, CMakeLists.txt,
# pyproject.toml, LICENSE) differ from those of the installed build, which
# .venv/tarnwick-build.stamp records. The CMake build in build/<wheel tag> is
# incremental, and scripts/wheel.sh builds the wheel from it.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { echo "setup: $* (at ${SECONDS} s)"; }

find_python312() {
  local candidate
  for candidate in "${PYTHON312:-}" python3.12; do
    if [ -n "$candidate" ] && command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
      command -v "$candidate"; return
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    candidate=$(ls -d "$(pyenv root)"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$candidate" ]; then echo "$candidate"; return; fi
  fi
  echo "setup: CPython 3.12 not found: install it or set PYTHON312" >&2
  exit 1
}

python=.venv/bin/python
export PIP_DISABLE_PIP_VERSION_CHECK=1

if [ -x "$python" ] && "$python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
  step "1/3 .venv exists with CPython 3.12: kept"
else
  python312=$(find_python312)
  step "1/3 creating .venv with $python312, upgrading pip"
  rm -rf .venv
  "$python312" -m venv .venv
  "$python" -m pip install --quiet --upgrade pip
fi

extras="test"
for extra in "$@"; do extras="$extras,$extra"; done

# Only the extras not installed before, or whose requirements or packages changed.
extras_stamp=.venv/tarnwick-extras.stamp
missing_lines=$("$python" scripts/setup_extras.py missing "$extras" "$extras_stamp")
if [ -z "$missing_lines" ]; then
  step "2/3 the packages of extras [$extras] are installed: kept"
else
  mapfile -t missing <<< "$missing_lines"
  step "2/3 installing from PyPI what extras [$extras] need: ${missing[*]}"
  "$python" -m pip install --quiet "${missing[@]}"
  "$python" scripts/setup_extras.py record "$extras" "$extras_stamp"
fi

# What the installed build was made from: every file that goes into it.
sources_hash=$(find src python CMakeLists.txt pyproject.toml LICENSE -type f \
                 ! -path '*/__pycache__/*' ! -name '*.pyc' -print0 |
               LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
stamp=.venv/tarnwick-build.stamp
installed_hash=""
if [ -f "$stamp" ] && "$python" -c 'import importlib.metadata as m; m.distribution("tarnwick")' 2>/dev/null; then
  installed_hash=$(cat "$stamp")
fi
if [ "$installed_hash" = "$sources_hash" ]; then
  step "3/3 tarnwick in .venv is built from the current sources: kept"
else
  step "3/3 building tarnwick (the C++ extension: a few minutes on 2 cores the first time," \
       "incremental in build/ after that) and installing it into .venv"
  rm -f "$stamp"
  # The build runs in .venv rather than in an isolated environment made afresh
  # each time, which would make scikit-build-core start the CMake build over.
  for _ in 1 2; do  # the backend first, then what it asks for
    requires=$("$python" scripts/setup_extras.py build-requires)
    [ -z "$requires" ] || { mapfile -t requires <<< "$requires"; "$python" -m pip install --quiet "${requires[@]}"; }
  done
  "$python" -m pip install --quiet --no-deps --no-build-isolation --force-reinstall .
  echo "$sources_hash" > "$stamp"
fi
step "done"
