#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's archive.
# Idempotent: returns at once when everything is present.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libtorch-dev libopenblas0-pthread
  python3-torch python3-numpy
  libgtest-dev
  clang libclang-rt-14-dev llvm valgrind
  espeak-ng
  libsndfile1-dev nlohmann-json3-dev libutf8proc-dev libcli11-dev libcpp-httplib-dev
  python3-pytest python3-setuptools python3-pip chromium
  libicu-dev libxml2-dev libavcodec-dev libavformat-dev libavutil-dev ffmpeg haproxy ccache
  python3-yaml
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install_deps: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# libtorch multiplies matrices with whatever libblas.so.3 is; the reference
# BLAS is about 30 times slower than OpenBLAS.
blas=$(readlink -f /usr/lib/x86_64-linux-gnu/libblas.so.3 || true)
case "$blas" in
  *openblas*) ;;
  *)
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO update-alternatives --set libblas.so.3-x86_64-linux-gnu \
      /usr/lib/x86_64-linux-gnu/openblas-pthread/libblas.so.3
    ;;
esac

# The browser test of `vclone serve` drives Debian's chromium with
# playwright-core from npm, kept in tests/serve/browser/node_modules at the
# version of the committed lock file. Debian's nodejs and npm serve when no
# other node is on the PATH.
root=$(cd "$(dirname "$0")/.." && pwd)
browser_test="$root/tests/serve/browser"
if [ ! -d "$browser_test/node_modules/playwright-core" ]; then
  if ! command -v npm > /dev/null; then
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
  fi
  echo "install_deps: installing playwright-core for the browser test"
  (cd "$browser_test" && npm ci --no-audit --no-fund --loglevel=error)
fi

# The official OpenAI Node client, at the version of its committed lock file,
# asks the server for speech in tests/serve/test_openai.py.
openai_client="$root/tests/serve/openai_client"
if [ ! -d "$openai_client/node_modules/openai" ]; then
  echo "install_deps: installing the openai client for the server's client test"
  (cd "$openai_client" && npm ci --no-audit --no-fund --loglevel=error)
fi
