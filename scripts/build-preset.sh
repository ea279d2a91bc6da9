#!/usr/bin/env bash
# Configures (once) and builds one CMake preset. Usage: build-preset.sh PRESET [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1; shift
# A fresh clone elsewhere (as CI makes) reuses the compiler cache: paths are made relative to
# the checkout and the working directory is left out of the hash.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
if [ ! -f "build/$preset/build.ninja" ]; then
  cmake --preset "$preset" >/dev/null
fi
if [ $# -gt 0 ]; then
  cmake --build --preset "$preset" --target "$@"
else
  cmake --build --preset "$preset"
fi
