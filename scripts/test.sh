#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install_deps.sh"
bash "$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest --output-on-failure
