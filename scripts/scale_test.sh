#!/bin/bash
# Scale-out on one box: three `vclone serve` replicas on one prepared model
# behind HAProxy, all on 127.0.0.1; one replica is killed mid-load and
# restarted. Prints a table and the properties checked; exits non-zero when
# one fails. Bounded: a fixed number of requests, and 10 minutes at most.
#
#   bash scripts/scale_test.sh --model model.vcm                    # a prepared model
#   bash scripts/scale_test.sh --model model.pt --vocab vocab.json  # prepared first (int8)
#   bash scripts/scale_test.sh --help                               # every option
#
# With no --model, the test suite's model ($VCLONE_TEST_MODEL) is used.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v haproxy > /dev/null; then
  echo "scale_test: haproxy is missing; run scripts/install_deps.sh" >&2
  exit 2
fi
args=("$@")
if [[ " $* " != *" --model "* && -n "${VCLONE_TEST_MODEL:-}" && " $* " != *" --help "* ]]; then
  args+=(--model "$VCLONE_TEST_MODEL/model.pt" --vocab "$VCLONE_TEST_MODEL/vocab.json")
fi
exec timeout --kill-after=10 600 python3 scripts/scale_test.py "${args[@]}"
