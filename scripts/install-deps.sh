#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, only those
# that are missing, then the LZFSE sources.  Safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential g++ cmake ninja-build pkg-config ccache
  zlib1g-dev libdeflate-dev libbz2-dev liblzma-dev libplist-dev libexpat1-dev libtbb-dev libutf8proc-dev
  libgtest-dev libgmock-dev
  python3-venv python3-dev
  xorriso apfsprogs 7zip libarchive-tools cpio xz-utils dmg2img
)
# Fuzzing (make fuzz, or KIV_FUZZ=1): clang with libFuzzer and the sanitizer runtimes.
if [ "${KIV_FUZZ:-0}" = 1 ]; then
  packages+=(clang-19 libclang-rt-19-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
bash "$here/scripts/fetch-lzfse.sh"
