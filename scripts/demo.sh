#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
exec .venv/bin/python examples/demo.py "$@"
