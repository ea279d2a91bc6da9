#!/usr/bin/env bash
# Packs the probe program with the Windows build of vantor-pack, then runs the title: it
# reads all its resources and its appended archive back itself.
set -euo pipefail
tool=$1 probe=$2 project=$3 out=$4
rm -f "$out"
"$VANTOR_WINE_RUN" "$tool" build "$project" -o "$out" --stub "$probe"
"$VANTOR_WINE_RUN" "$tool" inspect "$out" >/dev/null
"$VANTOR_WINE_RUN" "$out"
