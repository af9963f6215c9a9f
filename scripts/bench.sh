#!/usr/bin/env bash
# Builds, makes the demo model if absent, and runs the precision and the
# end-to-end benchmarks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install_deps.sh"
bash "$root/scripts/build.sh" "$root/build"
mkdir -p "$root/demo"
[ -f "$root/demo/model.pt" ] || /usr/bin/python3 "$root/tools/make_random_model.py" "$root/demo"
# The decoder precisions against float32 (quality, pass 1, memory, vocoder),
# then the whole pipeline at each precision, in one run.
"$root/build/bench/bench_precision" "$@" 2> "$root/build/bench_precision.log"
"$root/build/bench/bench_e2e" "$root/demo/model.pt" "$root/demo/vocab.json" "$@" 2> "$root/build/bench_e2e.log"
