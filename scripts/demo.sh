#!/usr/bin/env bash
# Builds the library and inspects a small archive (synthesis comes later).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install_deps.sh"
bash "$root/scripts/build.sh" "$root/build"
mkdir -p "$root/demo"
/usr/bin/python3 - "$root" <<'PY'
import sys, torch
sys.path.insert(0, sys.argv[1] + "/tools")
from vclone_archive import write_archive
write_archive(sys.argv[1] + "/demo/tiny.pt", {"mel_stats": torch.ones(80)})
PY
"$root/build/tools/vclone" inspect "$root/demo/tiny.pt"
