#!/bin/sh
# The command-line contract of the kel program: exit statuses, where help and
# usage errors go, batch runs ending by themselves, signals.
#   tests/cli/run.sh KEL
set -u
kel=$1
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect NAME STATUS STDOUT-PATTERN STDERR-PATTERN -- COMMAND...
# An empty pattern means that stream must stay empty.
expect() {
    name=$1 status=$2 out_pattern=$3 err_pattern=$4
    shift 5
    "$@" >"$work/out" 2>"$work/err" </dev/null
    got=$?
    if [ "$got" != "$status" ]; then
        echo "FAIL $name: exit status $got, expected $status"; failures=$((failures + 1)); return
    fi
    if [ -z "$out_pattern" ] && [ -s "$work/out" ]; then
        echo "FAIL $name: unexpected standard output:"; cat "$work/out"; failures=$((failures + 1)); return
    fi
    if [ -n "$out_pattern" ] && ! grep -q -- "$out_pattern" "$work/out"; then
        echo "FAIL $name: standard output lacks '$out_pattern':"; cat "$work/out"; failures=$((failures + 1)); return
    fi
    if [ -n "$err_pattern" ] && ! grep -q -- "$err_pattern" "$work/err"; then
        echo "FAIL $name: standard error lacks '$err_pattern':"; cat "$work/err"; failures=$((failures + 1)); return
    fi
    if [ -z "$err_pattern" ] && [ -s "$work/err" ]; then
        echo "FAIL $name: unexpected standard error:"; cat "$work/err"; failures=$((failures + 1)); return
    fi
    echo "ok   $name"
}

expect help 0 "--virtual-time" "" -- "$kel" --help
expect version 0 "^kel [0-9]" "" -- "$kel" --version
expect "unknown option" 2 "" "--bogus" -- "$kel" --bogus
expect "duration needs a number" 2 "" "duration" -- "$kel" --duration soon
expect "save without a file" 2 "" "FILE" -- "$kel" --save out.pat
expect "save twice" 2 "" "save" -- "$kel" --save a.pat --save-binary b.pat x.pat
expect "empty batch run ends" 0 "" "" -- "$kel" --batch
expect "virtual batch run ends" 0 "" "" -- "$kel" --batch --virtual-time
expect "duration ends a run" 0 "" "" -- "$kel" --duration 200
expect "missing file" 0 "error: nothere.pat: error opening file" "" -- "$kel" --batch nothere.pat
expect "missing path folder" 0 "error: .*no such folder" "" -- "$kel" --batch --path "$work/none"

# Interactive: lines on standard input are messages; `kel quit` ends the run.
printf 'nobody hello\nkel quit\n' | "$kel" >"$work/out" 2>"$work/err"
if [ $? = 0 ] && grep -q "nobody: no such object" "$work/out"; then echo "ok   input lines"; else
    echo "FAIL input lines:"; cat "$work/out" "$work/err"; failures=$((failures + 1)); fi

# SIGTERM ends an interactive run in order, with status 0.
mkfifo "$work/in"
"$kel" <"$work/in" >"$work/out" 2>"$work/err" &
pid=$!
exec 3>"$work/in"  # standard input stays open: kel waits for lines
sleep 0.5
kill -TERM $pid
wait $pid
status=$?
exec 3>&-
if [ $status = 0 ]; then echo "ok   SIGTERM"; else echo "FAIL SIGTERM: status $status"; failures=$((failures + 1)); fi

exit $failures
