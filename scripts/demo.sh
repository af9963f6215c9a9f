#!/usr/bin/env bash
# The main job on a fresh machine: install, build, make a demo model, a
# vocabulary and a reference voice, and speak a sentence to demo/hello.wav.
# The demo model has random weights, so the result is noise shaped like speech
# output, not speech; see README.md for using a trained checkpoint.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/demo"
bash "$root/scripts/install_deps.sh"
# The library and the command-line program only: the tests and benchmarks
# take most of a full build's time.
VCLONE_TARGETS="vclone vclone_cli" bash "$root/scripts/build.sh" "$root/build"
mkdir -p "$demo"
if [ ! -f "$demo/model.pt" ] || [ ! -f "$demo/vocab.json" ]; then
  /usr/bin/python3 "$root/tools/make_random_model.py" "$demo"
fi
if [ ! -f "$demo/voice.wav" ]; then
  espeak-ng -w "$demo/voice.wav" "This is the reference voice. It speaks for a few seconds."
fi
"$root/build/tools/vclone" say --model "$demo/model.pt" --vocab "$demo/vocab.json" \
  --ref "$demo/voice.wav" --out "$demo/hello.wav" --seed 1 \
  "Hello! This sentence is spoken in the voice of the reference recording."
echo "demo: wrote $demo/hello.wav"
