#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-fuzz/), and runs each for a bounded time.
#
# usage: fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET  default 60
#   TARGET              wav archive manifest_text vocabulary encode_text speech_request
#                       upload_form wyoming_event (default: all)
#   VCLONE_FUZZ_BUILD   build folder (default: build-fuzz)
#   VCLONE_FUZZ_SEED    libFuzzer's random seed (default 1, so that a short
#                       run from the committed inputs can be repeated; 0 picks
#                       a new one each run, for longer searches)
#
# Each target starts from the committed seeds (tests/fuzz/corpus/<target>) and
# crash inputs (tests/fuzz/regressions/<target>), plus what earlier runs found
# (build-fuzz/corpus/<target>). A crash, a leak, a broken invariant, an input
# slower than 10 s or an allocation over 2 GB fails the script; the input is
# kept in build-fuzz/artifacts/<target>/. Once fixed, commit it to
# tests/fuzz/regressions/<target>/ so that test_fuzz_replay keeps running it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
all_targets=(wav archive manifest_text vocabulary encode_text speech_request upload_form wyoming_event)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
build=${VCLONE_FUZZ_BUILD:-$root/build-fuzz}

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVCLONE_FUZZ=ON \
  -DVCLONE_BUILD_TESTS=OFF -DVCLONE_BUILD_TOOLS=OFF -DVCLONE_BUILD_BENCH=OFF \
  > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# Allocation stacks are unwound fully so that the narrow suppressions of
# libtorch's own leaks (tests/hostile/lsan.supp) can match their frames.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:fast_unwind_on_malloc=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/hostile/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  seeds="$root/tests/fuzz/corpus/$target"
  regressions="$root/tests/fuzz/regressions/$target"
  mkdir -p "$corpus" "$artifacts" "$regressions"
  echo "fuzz: $target for ${seconds}s"
  options=()
  # Nearly every malformed zip makes libtorch's reader leak (see lsan.supp),
  # and a leak check after each such input would cut the speed tenfold. The
  # archive code's own frees are checked by manifest_text, whose archives are
  # well-formed, and by the leak check of scripts/test.sh.
  [ "$target" = archive ] && options+=(-detect_leaks=0)
  status=0
  "$build/tests/fuzz/fuzz_$target" "$corpus" "$seeds" "$regressions" ${options[@]+"${options[@]}"} \
    -seed="${VCLONE_FUZZ_SEED:-1}" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2560 -malloc_limit_mb=2048 \
    -max_len=8192 -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" > "$build/fuzz_$target.log" 2>&1 || status=$?
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::new_units_added)" \
    "$build/fuzz_$target.log" | tr '\n' ' ' || true
  echo
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $target FAILED (exit $status); log: $build/fuzz_$target.log"
    grep -E "ERROR|runtime error|\[fuzz\]|Test unit written" "$build/fuzz_$target.log" | head -20 || true
    failed+=("$target")
  fi
done

echo "fuzz: $(( ${#targets[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
