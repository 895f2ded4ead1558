#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer into build/tsan and runs the
# threading tests (and the batch tests, and the log written from threads) against that build.
# The interpreter itself is not instrumented: libtsan is preloaded into it, so
# only tarnwick's code is checked, with the GIL's pthread calls giving the
# ordering between Python threads. Any report fails the run.
# Usage: scripts/tsan.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || scripts/setup.sh
python=$PWD/.venv/bin/python
build=build/tsan

cmake -S . -B "$build" -DTARNWICK_BUILD_MODULE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2
[ "${TARNWICK_BUILD_ONLY:-}" = 1 ] && exit 0  # the build alone (.ci/run makes it early)

libtsan=$(g++ -print-file-name=libtsan.so)
module=$(ls "$build"/tarnwick*.so)
# The tests start further interpreters; they inherit all of this.
export LD_PRELOAD="$libtsan"
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
# die_after_fork=0: a forked child of a threaded parent starts a pool of its own.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 die_after_fork=0 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
"$python" -c "import tarnwick, sys; assert tarnwick.__file__ == sys.argv[1], tarnwick.__file__" "$PWD/$module"
# Left out here, for time (the uninstrumented suite runs them all): the
# interpreter-exit cases on one worker, whose teardown paths the two-worker
# cases take with more threads, and the stress run on two workers, which lies
# between its one-worker and three-worker runs and, like them, runs to its
# one-minute limit under this build.
exec "$python" -m pytest tests/test_threads.py \
  --deselect "tests/test_threads.py::test_batches_against_concurrent_search_and_upsert[2]" \
  -k "not test_interpreter_exit_around_batches[1-" \
  tests/test_batch.py tests/test_log.py::test_threads_log_what_they_applied \
  "tests/test_hostile.py::TestHostileFiles::test_many_points_and_ids_without_points_keep_their_norms" \
  "tests/test_snapshot.py::TestDecoderAcceptance::test_repeated_keys_of_a_large_file_keep_norms_and_codes_of_the_later_vector" \
  tests/test_reachability.py::test_a_parallel_build_keeps_every_point_reachable \
  tests/test_follow_threads.py::test_searches_run_while_the_followers_thread_applies \
  -q -p no:cacheprovider "$@"
