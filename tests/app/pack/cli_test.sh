#!/usr/bin/env bash
# The command line: a good build and inspect succeed; a project with a mistake fails with
# exit code 1, a message pointing at the line and column, and no output file.
set -uo pipefail
tool=$1 stub=$2 fixture=$3 work=$4
rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAILED: $*"; exit 1; }

"$tool" build "$fixture/title/project.json" -o "$work/title.exe" --stub "$stub" || fail "build"
"$tool" inspect "$work/title.exe" --json | grep -q '"caption": "Packed Title"' || fail "inspect --json"

printf '{\n  "settings": {\n    "sizeAndPos": { "pos": "middle" }\n  }\n}\n' > "$work/bad.json"
"$tool" build "$work/bad.json" -o "$work/bad.exe" --stub "$stub" 2> "$work/err.txt"
rc=$?
[ $rc -eq 1 ] || fail "exit code $rc"
grep -q "bad.json:3:28: error: bad value \"middle\" for settings.sizeAndPos.pos (allowed: topLeft," "$work/err.txt" ||
  fail "message: $(cat "$work/err.txt")"
[ ! -e "$work/bad.exe" ] && [ ! -e "$work/bad.exe.part" ] || fail "output left behind"

"$tool" frobnicate 2>/dev/null
[ $? -eq 2 ] || fail "usage exit code"
rm -rf "$work"
echo "ok"
