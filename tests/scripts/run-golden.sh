#!/usr/bin/env bash
# Golden script tests: runs every CASE.nvs of one folder through nervac and compares standard
# output with CASE.out and standard error with CASE.err (no .err file: standard error must
# stay empty). The exit status must be the one in CASE.status, or else 1 for a case with a
# .err file and 0 otherwise. CASE.args, when present, holds the nervac command and options to
# use instead of "run" (for example "check --warn-semicolon").
# Under the Windows build the tool runs through the emulator in $VANTOR_WINE_RUN.
#
# usage: run-golden.sh NERVAC FOLDER
set -u
nervac=$1
folder=$2
runner=()
[ -n "${VANTOR_WINE_RUN:-}" ] && runner=("$VANTOR_WINE_RUN")

cd "$folder" || exit 2
failed=0
count=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for script in *.nvs; do
    case_name=${script%.nvs}
    command=(run)
    [ -f "$case_name.args" ] && read -r -a command < "$case_name.args"
    "${runner[@]}" "$nervac" "${command[@]}" "$script" >"$work/out" 2>"$work/err"
    status=$?
    # The Windows console runtime ends lines with CR LF.
    tr -d '\r' <"$work/out" >"$work/out.txt"
    tr -d '\r' <"$work/err" >"$work/err.txt"
    want_status=0
    [ -f "$case_name.err" ] && want_status=1
    [ -f "$case_name.status" ] && read -r want_status < "$case_name.status"
    count=$((count + 1))
    problem=""
    if [ "$status" -ne "$want_status" ]; then
        problem="exit status $status, expected $want_status"
    elif ! diff -u "$case_name.out" "$work/out.txt" >"$work/diff"; then
        problem="standard output differs"
    elif [ -f "$case_name.err" ] && ! diff -u "$case_name.err" "$work/err.txt" >"$work/diff"; then
        problem="standard error differs"
    elif [ ! -f "$case_name.err" ] && [ -s "$work/err.txt" ]; then
        problem="unexpected standard error"
        cp "$work/err.txt" "$work/diff"
    fi
    if [ -n "$problem" ]; then
        failed=$((failed + 1))
        echo "FAIL $folder/$script: $problem"
        head -n 40 "$work/diff"
    fi
done
echo "$((count - failed)) of $count cases passed in $folder"
[ "$failed" -eq 0 ]
