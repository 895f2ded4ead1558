#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs the whole test suite, the
# LangChain and Ray integrations included (their extras are installed here).
# Arguments go to pytest; when one of them names a test file or directory
# (tests/test_readme.py, tests/test_log.py::test_x), only those run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh langchain ray test-integrations
where=(tests)
for argument in "$@"; do
  if [[ "$argument" != -* && -e "${argument%%::*}" ]]; then where=(); break; fi
done
exec .venv/bin/python -m pytest "${where[@]}" -q "$@"
