#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those missing.
# Idempotent and quiet: a second run installs nothing and prints nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang ccache libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  zlib1g-dev libboost1.81-dev libgtest-dev libgmock-dev googletest
  wine64 xvfb xcompmgr imagemagick x11-apps xdotool
  python3 lua5.4 duktape
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null || true
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
