#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given) with all cores.
# Further arguments go to cmake, e.g. -DVCLONE_SANITIZE=ON.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
