#!/usr/bin/env bash
# Installs what is missing, then runs the whole test suite in three phases:
#   1. the normal build (build/) and every test, with ctest;
#   2. the sanitizer build (build-sanitize/, AddressSanitizer, LeakSanitizer and
#      UndefinedBehaviorSanitizer): the unit tests and the leak check, without
#      the full-model tests (label full_model);
#   3. a short run of every fuzz target (scripts/fuzz.sh, VCLONE_FUZZ_SECONDS
#      each, default 30: with the committed inputs replayed first, a short
#      search per run; longer searches are for scripts/fuzz.sh by hand).
# Every phase runs even when an earlier test failed; the script fails if any
# test did, and ends with one line counting them all.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fuzz_seconds=${VCLONE_FUZZ_SECONDS:-30}
passed=0
failed=0

# Runs ctest in the given build folder with the given arguments and adds its
# counts to the totals.
run_ctest() {
  local build=$1
  shift
  local log="$build/ctest.log" status=0
  (cd "$build" && ctest --output-on-failure "$@") 2>&1 | tee "$log" || status=$?
  local summary
  summary=$(grep -E "tests? failed out of [0-9]+" "$log" | tail -1 || true)
  if [ -z "$summary" ]; then
    echo "test.sh: ctest in $build gave no summary"
    failed=$((failed + 1))
    return
  fi
  local bad all
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<< "$summary")
  all=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<< "$summary")
  passed=$((passed + all - bad))
  failed=$((failed + bad))
  if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then failed=$((failed + 1)); fi
}

bash "$root/scripts/install_deps.sh"

phase_start=$SECONDS
# Prints how long the phase that just ended took.
phase_done() {
  echo "test.sh: $1 took $((SECONDS - phase_start)) s"
  phase_start=$SECONDS
}

echo "== normal build and tests"
# The project's own code, tests and benchmarks included, builds without a
# warning (-Wall -Wextra -Wshadow).
bash "$root/scripts/build.sh" "$root/build" -DVCLONE_WERROR=ON
run_ctest "$root/build"
phase_done "the normal build and tests"

echo "== sanitizer build: unit tests and leak check"
if bash "$root/scripts/build.sh" "$root/build-sanitize" -DVCLONE_SANITIZE=ON -DVCLONE_FULL_MODEL_TESTS=OFF \
    -DVCLONE_BUILD_TOOLS=OFF -DVCLONE_BUILD_BENCH=OFF; then
  # The two 600-code generation runs repeat, at length, the decoder paths that
  # the shorter generation tests already take under the sanitizers; the
  # 200-step quality measure of the reduced precisions runs the kernels that
  # FusedStepMatchesTheLayersOnEveryPath already takes on every path.
  GTEST_FILTER="-GenerateCodes.RunsToMaxCodesWithProgressLines:GenerateCodes.CappedAtWhatTheLatentPassCanPlace:DecoderPrecision.TeacherForcedLogitsStayCloseToFloat32" \
    run_ctest "$root/build-sanitize" -LE full_model
else
  echo "test.sh: the sanitizer build failed"
  failed=$((failed + 1))
fi
phase_done "the sanitizer build and tests"

echo "== fuzzing, ${fuzz_seconds}s per target"
fuzz_log=$(mktemp)
status=0
bash "$root/scripts/fuzz.sh" "$fuzz_seconds" 2>&1 | tee "$fuzz_log" || status=$?
counts=$(grep -E "^fuzz: [0-9]+ passed, [0-9]+ failed" "$fuzz_log" | tail -1 || true)
if [ -n "$counts" ]; then
  passed=$((passed + $(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<< "$counts")))
  failed=$((failed + $(sed -E 's/.* ([0-9]+) failed/\1/' <<< "$counts")))
elif [ "$status" -ne 0 ]; then
  echo "test.sh: the fuzz build failed"
  failed=$((failed + 1))
fi
rm -f "$fuzz_log"
phase_done "fuzzing"

echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
