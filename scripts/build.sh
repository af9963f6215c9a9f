#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given) with all cores.
# Further arguments go to cmake, e.g. -DVCLONE_SANITIZE=ON. VCLONE_TARGETS
# (space-separated) builds only those targets, e.g. "vclone vclone_cli".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
mkdir -p "$build"
# ccache, where installed, lets a second build folder or a rebuild after a
# branch switch reuse objects (the precompiled header included).
launcher=()
if command -v ccache > /dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" "$@" > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
targets=()
for target in ${VCLONE_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
