#!/usr/bin/env bash
# Builds everything and runs every test: native, sanitizer and Windows (under Wine) unit and
# script tests, then each fuzz target briefly. Ends with "N passed, N failed".
#
#   ./test.sh                 everything
#   VANTOR_PRESETS="native" ./test.sh     only some presets (native native-asan win64 fuzz)
#   VANTOR_FUZZ_SECONDS=60 ./test.sh      longer fuzzing
set -uo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh || { echo "dependency installation failed"; echo "0 passed, 1 failed"; exit 1; }

presets=${VANTOR_PRESETS:-"native native-asan win64 fuzz"}
fuzz_seconds=${VANTOR_FUZZ_SECONDS:-20}
mkdir -p build/logs
passed=0
failed=0
summary=()

count_ctest() {
  local preset=$1 log=$2
  local line total fails
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    if grep -q "No tests were found" "$log"; then summary+=("$preset: no tests"); return; fi
    failed=$((failed + 1)); summary+=("$preset: ctest did not finish"); return
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  fails=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  summary+=("$preset: $((total - fails)) passed, $fails failed")
}

run_preset() {
  local preset=$1
  echo "== $preset: build"
  if ! ./scripts/build-preset.sh "$preset" >"build/logs/$preset-build.log" 2>&1; then
    tail -n 40 "build/logs/$preset-build.log"
    failed=$((failed + 1)); summary+=("$preset: BUILD FAILED"); return
  fi
  echo "== $preset: test"
  ctest --preset "$preset" 2>&1 | tee "build/logs/$preset-test.log" | grep -E '(\*\*\*|Failed|Not Run|tests passed)' || true
  count_ctest "$preset" "build/logs/$preset-test.log"
}

run_fuzzers() {
  echo "== fuzz: build"
  if ! ./scripts/build-preset.sh fuzz >build/logs/fuzz-build.log 2>&1; then
    tail -n 40 build/logs/fuzz-build.log
    failed=$((failed + 1)); summary+=("fuzz: BUILD FAILED"); return
  fi
  local ok=0 bad=0 name corpus
  while read -r name; do
    [ -n "$name" ] || continue
    corpus="build/fuzz/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
    if timeout -k 10 $((fuzz_seconds + 60)) "build/fuzz/fuzzers/$name" -max_total_time="$fuzz_seconds" \
         -timeout=10 -rss_limit_mb=4096 -print_final_stats=0 -artifact_prefix=build/logs/ "$corpus" "${seeds[@]}" \
         >"build/logs/fuzz-$name.log" 2>&1; then
      ok=$((ok + 1)); echo "   $name: ok"
    else
      bad=$((bad + 1)); echo "   $name: FAILED (build/logs/fuzz-$name.log)"
      grep -E 'ERROR|SUMMARY|Test unit written' "build/logs/fuzz-$name.log" | head -n 5
    fi
  done <build/fuzz/fuzzers.txt
  passed=$((passed + ok)); failed=$((failed + bad))
  summary+=("fuzz: $ok passed, $bad failed")
}

for preset in $presets; do
  if [ "$preset" = fuzz ]; then run_fuzzers; else run_preset "$preset"; fi
done

echo
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
