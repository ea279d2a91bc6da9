#!/usr/bin/env bash
# Compile benchmark: generates sources of 2.5, 5 and 10 MB (gen-source.py), compiles each with
# `nervac compile` and prints the CPU time (user seconds, the minimum of RUNS runs), the rate in
# MB of source per CPU second and the peak resident size, also as a multiple of the source
# size. Equal rates across the sizes show that compilation is linear in the source size.
#
# usage: run.sh NERVAC [WORKDIR] [RUNS]
set -u
nervac=$1
work=${2:-$(mktemp -d)}
runs=${3:-3}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$work"

echo "| source MB | CPU s (min of $runs) | MB/s | peak RSS MB | RSS / source |"
echo "|---:|---:|---:|---:|---:|"
status=0
for size in 2500000 5000000 10000000; do
    src="$work/gen-$size.nvs"
    [ -f "$src" ] || python3 "$here/gen-source.py" "$size" "$src" || exit 2
    bytes=$(stat -c %s "$src")
    best=""
    rss=0
    for _ in $(seq "$runs"); do
        if ! out=$( { /usr/bin/time -f "%U %M" "$nervac" compile -o "$work/out.nsc" "$src" >/dev/null; } 2>&1 ); then
            echo "compile failed: $out" >&2
            status=1
            continue
        fi
        read -r user kb <<<"$(tail -n 1 <<<"$out")"
        if [ -z "$best" ] || awk -v a="$user" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$user; fi
        [ "$kb" -gt "$rss" ] && rss=$kb
    done
    [ -z "$best" ] && continue
    awk -v b="$bytes" -v t="$best" -v k="$rss" 'BEGIN {
        mb = b / 1e6; rate = (t > 0) ? sprintf("%.1f", mb / t) : "inf";
        printf "| %.1f | %.2f | %s | %.1f | %.1f |\n", mb, t, rate, k / 1024, k * 1024 / b }'
done
exit $status
