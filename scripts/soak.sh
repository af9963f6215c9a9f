#!/usr/bin/env bash
# A soak of `vclone serve` on 127.0.0.1: 500 mixed requests from 4 clients at
# once (whole and streamed speech, uploads, bad requests, clients that leave
# mid-stream or mid-headers, bodies over the limit), one in five a synthesis,
# at most 420 s of them,
# on the full-size random model with short syntheses (8 codes). Reports what
# was served, failures by kind, and the server's resident memory at the start
# and the end; fails on any failure or on more than 50 MB of growth.
#
# usage: soak.sh [--requests N] [--clients N] [--seconds S] [--max-codes N] [--memory-margin-mb M]
#   VCLONE_BIN          the program (default: build/tools/vclone)
#   VCLONE_TEST_MODEL   a folder with model.pt and vocab.json (default: made
#                       once in VCLONE_TEST_DIR/model)
#   VCLONE_TEST_DIR     work folder (default: build/tests/serve)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export VCLONE_SOURCE_DIR=$root
export VCLONE_BIN=${VCLONE_BIN:-$root/build/tools/vclone}
export VCLONE_TEST_DIR=${VCLONE_TEST_DIR:-$root/build/tests/serve}
[ -x "$VCLONE_BIN" ] || { echo "soak.sh: no $VCLONE_BIN; build first (scripts/build.sh)"; exit 1; }
exec /usr/bin/python3 "$root/tests/serve/soak.py" --work-dir "$VCLONE_TEST_DIR" "$@"
