#!/usr/bin/env bash
# The harness's display and screenshot helper: a window painted red at (50,60) 120x80 must
# show red inside and the empty desktop outside.
set -euo pipefail
exe=$1
out=$(mktemp -d)
trap 'kill $runner 2>/dev/null || true; rm -rf "$out"' EXIT

"$VANTOR_WINE_RUN" "$exe" >"$out/log" 2>&1 &
runner=$!
for _ in $(seq 1 200); do
  grep -q READY "$out/log" && break
  kill -0 $runner 2>/dev/null || { echo "window program ended early:"; cat "$out/log"; exit 1; }
  sleep 0.1
done
grep -q READY "$out/log" || { echo "window never became ready"; cat "$out/log"; exit 1; }

"$VANTOR_WINE_HARNESS" screenshot "$VANTOR_WINE_STATE" "$out/shot.png"
pixel() { convert "$out/shot.png" -format "%[pixel:p{$1,$2}]" info:; }
inside=$(pixel 110 100)
outside=$(pixel 400 400)
echo "inside=$inside outside=$outside"
[ "$inside" = "red" ] || [ "$inside" = "srgb(255,0,0)" ] || { echo "expected red inside the window"; exit 1; }
[ "$outside" != "$inside" ] || { echo "the desktop should not be red"; exit 1; }
