#!/usr/bin/env bash
# Creates .venv with CPython 3.12 (if missing), installs the build and test
# dependencies from PyPI and builds and installs tarnwick into it.
# Usage: scripts/setup.sh [extra...]   e.g. scripts/setup.sh bench
#   extras: bench, langchain, ray, test-integrations (LangChain's standard suite)
set -euo pipefail
cd "$(dirname "$0")/.."

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
  echo "CPython 3.12 not found: install it or set PYTHON312" >&2
  exit 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  rm -rf .venv
  "$(find_python312)" -m venv .venv
fi
extras="test"
for extra in "$@"; do extras="$extras,$extra"; done
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet ".[$extras]"
