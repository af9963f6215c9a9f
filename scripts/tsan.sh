#!/usr/bin/env bash
# ThreadSanitizer run of the concurrency tests: four callers on one model
# sharing decode steps, places, streams that stop, a failing call.
#
# usage: tsan.sh [GTEST_FILTER]   (default: the Parallel tests of test_handle)
#
# libtorch and OpenMP are not instrumented, so the run suppresses reports
# whose every frame is inside them (tests/hostile/tsan.supp); a report with a
# frame of this project's code fails the run. Builds into build-tsan/; makes
# the full-size random model into build-tsan/model once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
filter=${1:-Parallel.*}
build="$root/build-tsan"
VCLONE_TARGETS="test_handle" bash "$root/scripts/build.sh" "$build" -DVCLONE_TSAN=ON \
  -DVCLONE_BUILD_TOOLS=OFF -DVCLONE_BUILD_BENCH=OFF
if [ ! -f "$build/model/model.pt" ]; then
  /usr/bin/python3 "$root/tools/make_random_model.py" "$build/model"
fi
export VCLONE_TEST_MODEL="$build/model"
export TSAN_OPTIONS="suppressions=$root/tests/hostile/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
"$build/tests/test_handle" --gtest_filter="$filter"
