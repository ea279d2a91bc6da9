#!/usr/bin/env bash
# Packing benchmark: builds a title of about 200 MB with vantor-pack and compresses the same
# files with gzip -6 in the same run; prints both times, the ratio and the peak memory of the
# packer against the largest input file. Usage: run.sh VANTOR-PACK STUB WORKDIR [MEGABYTES] [RUNS]
set -euo pipefail
pack=$1 stub=$2 work=$3 megabytes=${4:-200} runs=${5:-3}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
if [ ! -f "$work/files/project.json" ] || [ "$(cat "$work/files/.size" 2>/dev/null)" != "$megabytes" ]; then
  rm -rf "$work/files"
  mkdir -p "$work/files"
  python3 "$here/make_title_files.py" "$work/files" "$megabytes"
  echo "$megabytes" > "$work/files/.size"
fi
files=$(cd "$work/files" && find . -type f ! -name project.json ! -name .size | sort)
largest=$(cd "$work/files" && find . -type f ! -name project.json ! -name .size -printf '%s\n' | sort -n | tail -1)
total=$(cd "$work/files" && find . -type f ! -name project.json ! -name .size -printf '%s\n' | awk '{s+=$1} END {print s}')

cpu() { awk '{print $1 + $2}' "$1"; }   # user + system seconds from /usr/bin/time -f "%U %S %M"
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

pack_times=() gzip_times=() peak=0
for ((i = 0; i < runs; i++)); do
  /usr/bin/time -f "%U %S %M" -o "$work/pack.time" "$pack" build "$work/files/project.json" -o "$work/title.exe" --stub "$stub" 2>/dev/null
  pack_times+=("$(cpu "$work/pack.time")")
  kb=$(awk '{print $3}' "$work/pack.time"); [ "$kb" -gt "$peak" ] && peak=$kb
  /usr/bin/time -f "%U %S %M" -o "$work/gzip.time" bash -c 'cd "$1" && shift && for f in "$@"; do gzip -6 -c "$f" >/dev/null; done' _ "$work/files" $files
  gzip_times+=("$(cpu "$work/gzip.time")")
done
pack_s=$(printf '%s\n' "${pack_times[@]}" | median)
gzip_s=$(printf '%s\n' "${gzip_times[@]}" | median)
awk -v p="$pack_s" -v g="$gzip_s" -v peak="$peak" -v largest="$largest" -v total="$total" -v title="$(stat -c %s "$work/title.exe")" -v runs="$runs" 'BEGIN {
  printf "input: %.1f MB in 5 files (largest %.1f MB); title %.1f MB\n", total / 1048576, largest / 1048576, title / 1048576
  printf "CPU seconds, median of %d runs: vantor-pack %.2f, gzip -6 %.2f, ratio %.2f (target at most 1.30)\n", runs, p, g, p / g
  printf "vantor-pack peak memory %.1f MB = %.2f x the largest input (target below 3)\n", peak / 1024, peak * 1024 / largest
}'
