#!/usr/bin/env bash
# Unpacks the LZFSE reference sources from the PyPI source distribution of
# "lzfse" into the given folder (default .deps/lzfse).  Nothing is committed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest=${1:-$here/.deps/lzfse}
version=0.4.2.post1
[ -f "$dest/lzfse/src/lzfse.h" ] && exit 0
dl=$(mktemp -d)
trap 'rm -rf "$dl"' EXIT
python3 -m pip download --quiet --no-binary :all: --no-deps --no-build-isolation "lzfse==$version" -d "$dl" \
  || python3 -m pip download --quiet --no-binary :all: --no-deps "lzfse==$version" -d "$dl"
mkdir -p "$dest"
tar -xzf "$dl"/lzfse-*.tar.gz -C "$dest" --strip-components=1
test -f "$dest/lzfse/src/lzfse.h"
