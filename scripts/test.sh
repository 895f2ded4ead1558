#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs the whole test suite, the
# LangChain and Ray integrations included (their extras are installed here).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh langchain ray test-integrations
exec .venv/bin/python -m pytest tests -q "$@"
