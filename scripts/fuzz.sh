#!/usr/bin/env bash
# Builds the snapshot and log decoder fuzzers (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them, the snapshot fuzzer for three
# quarters of the time on a corpus seeded with real snapshots and with the
# hostile files of the loader's tests, the log fuzzer for the rest on logs
# written by a store. Each decoded input also
# takes one insertion and one search; the fuzzer aborts when decoding, or the
# insertion with the search, takes more than 100 ms of processor time.
# Usage: scripts/fuzz.sh [seconds] [extra libFuzzer flags...]   (default 20 s in all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
shift || true

if ! command -v clang++ >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  else
    echo "clang++ is needed for the fuzzer: install clang" >&2
    exit 1
  fi
fi
[ -x .venv/bin/python ] || scripts/setup.sh

cmake -S . -B build/fuzz -DTARNWICK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2 --target snapshot_fuzzer log_fuzzer
[ "${TARNWICK_BUILD_ONLY:-}" = 1 ] && exit 0  # the build alone (.ci/run makes it early)
mkdir -p build/fuzz/corpus build/fuzz/seeds build/fuzz/log_corpus build/fuzz/log_seeds
.venv/bin/python fuzz/make_seeds.py build/fuzz/seeds build/fuzz/log_seeds
log_seconds=$(( seconds / 4 > 0 ? seconds / 4 : 1 ))
snapshot_seconds=$(( seconds - log_seconds > 0 ? seconds - log_seconds : 1 ))

build/fuzz/log_fuzzer -max_total_time="$log_seconds" -max_len=65536 -malloc_limit_mb=64 \
  -timeout=10 -print_final_stats=1 "$@" build/fuzz/log_corpus build/fuzz/log_seeds

# Inputs up to 64 KiB; no single allocation may exceed 64 MiB (the graph keeps
# a node record per slot, a bounded multiple of the input).
exec build/fuzz/snapshot_fuzzer -max_total_time="$snapshot_seconds" -max_len=65536 -malloc_limit_mb=64 \
  -timeout=10 -print_final_stats=1 "$@" build/fuzz/corpus build/fuzz/seeds
