#!/usr/bin/env bash
# Builds the project and plays the demo title under Wine. Until the projector exists it
# builds everything and lists what was built.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
./scripts/build-preset.sh native >build-native.log 2>&1 || { tail -n 40 build-native.log; exit 1; }
./scripts/build-preset.sh win64 >build-win64.log 2>&1 || { tail -n 40 build-win64.log; exit 1; }
rm -f build-native.log build-win64.log

if [ -x samples/play-demo.sh ]; then
  exec samples/play-demo.sh
fi

list_built() {
  find "$1" \( -name wine -o -name CMakeFiles -o -name googletest \) -prune -o -type f \
    \( -name '*.exe' -o -name '*.dll' -o -name 'libvantor_*.a' -o \( -perm -u+x -path '*/tools/*' \) \) \
    -printf '  %p\n' | sort
}
echo "Built (native):"
list_built build/native
echo "Built (Windows x64):"
list_built build/win64
