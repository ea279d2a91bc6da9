#!/usr/bin/env bash
# nervac's command line: help, bad options, missing files, default output names, reproducible
# images with --seed and SOURCE_DATE_EPOCH, check, disasm and run. Under the Windows build
# the tool runs through the emulator in $VANTOR_WINE_RUN.
set -u
nervac=$1
runner=()
[ -n "${VANTOR_WINE_RUN:-}" ] && runner=("$VANTOR_WINE_RUN")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
failures=0

# run EXPECTED_STATUS ARGS...: runs nervac, keeps out.txt and err.txt (without CRs).
run() {
    local want=$1
    shift
    "${runner[@]}" "$nervac" "$@" >out.raw 2>err.raw
    local status=$?
    tr -d '\r' <out.raw >out.txt
    tr -d '\r' <err.raw >err.txt
    if [ "$status" -ne "$want" ]; then
        echo "FAIL: nervac $*: exit $status, expected $want"
        cat err.txt
        failures=$((failures + 1))
    fi
}
expect() {  # expect FILE TEXT: FILE contains TEXT
    if ! grep -qF -- "$2" "$1"; then
        echo "FAIL: $1 lacks '$2':"
        cat "$1"
        failures=$((failures + 1))
    fi
}
same() {
    if ! cmp -s "$1" "$2"; then
        echo "FAIL: $1 and $2 differ"
        failures=$((failures + 1))
    fi
}

printf 'Application.setFocus = true; return true;\n' >focus.nvs
printf 'x = ;\n' >bad.nvs
printf 'a = 1\n' >warn.nvs
printf 'print("first", args[0], args[1]);\nthrow "stop";\n' >args.nvs

run 0 --help
expect out.txt "usage: nervac COMMAND"
run 2
expect err.txt "nervac: no command given"
run 2 frobnicate
expect err.txt "nervac: unknown command frobnicate"
run 2 compile --bogus focus.nvs
expect err.txt "nervac: unknown option --bogus"
run 2 compile --seed x focus.nvs
expect err.txt "nervac: --seed needs a number"
run 1 compile missing.nvs
expect err.txt "missing.nvs: error: can't open the script file: missing.nvs"

run 0 compile focus.nvs --seed 7
[ -f focus.nsc ] || { echo "FAIL: focus.nsc not written"; failures=$((failures + 1)); }
[ "$(wc -c <focus.nsc)" -eq 106 ] || { echo "FAIL: focus.nsc is not 106 bytes"; failures=$((failures + 1)); }
run 0 compile focus.nvs -o again.nsc --seed 7
same focus.nsc again.nsc
SOURCE_DATE_EPOCH=7 run 0 compile focus.nvs -o epoch.nsc
same focus.nsc epoch.nsc
run 0 compile focus.nvs -o other.nsc --seed 8
cmp -s focus.nsc other.nsc && { echo "FAIL: different seeds gave equal images"; failures=$((failures + 1)); }
same <(tail -c +57 focus.nsc) <(tail -c +57 other.nsc)

run 1 compile bad.nvs -o bad.nsc
expect err.txt "bad.nvs:1: error: syntax error: invalid expression"
[ -f bad.nsc ] && { echo "FAIL: an image was written for a failed compilation"; failures=$((failures + 1)); }
run 0 compile -g --warn-semicolon warn.nvs
expect err.txt "warn.nvs:1: warning: missing ;"

run 1 check focus.nvs bad.nvs warn.nvs
expect err.txt "bad.nvs:1: error: syntax error: invalid expression"
run 0 check focus.nvs warn.nvs
[ -s err.txt ] && { echo "FAIL: check reported something for clean files"; failures=$((failures + 1)); }

run 0 disasm focus.nsc
expect out.txt "SETMEMBER setFocus"
expect out.txt "  .main at 0000"
run 1 disasm focus.nvs
expect err.txt "not an NS1b image"
run 1 disasm nothing.nsc
expect err.txt "nervac: cannot open nothing.nsc"

run 1 run args.nvs one two
expect out.txt "first one two"
expect err.txt "stop"
run 0 run focus.nsc
run 1 run nothing.nvs
expect err.txt "nervac: cannot open nothing.nvs"
run 1 run bad.nvs
expect err.txt "bad.nvs:1: error: syntax error: invalid expression"

if [ "$failures" -ne 0 ]; then
    echo "$failures nervac command line checks failed"
    exit 1
fi
echo "nervac command line checks passed"
