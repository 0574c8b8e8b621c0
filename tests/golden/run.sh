#!/bin/sh
# Runs one golden patch and compares its console transcript with the
# expected one:
#   tests/golden/run.sh KEL tests/golden/NAME.pat
# kel's exit status must be the one in NAME.status, 0 when there is none
# (a document that cannot be loaded ends the run with 1).
# The run has the loopback MIDI driver alone, whatever is installed.
# With --update first, writes the transcript and the status as the new
# expected files (review the diff before committing it):
#   tests/golden/run.sh --update build/kel tests/golden/NAME.pat
set -eu
update=0
if [ "${1:-}" = "--update" ]; then
    update=1
    shift
fi
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
patch=$2
dir=$(dirname "$patch")
name=$(basename "$patch" .pat)
expected="$dir/$name.out"
expected_status=0
[ -f "$dir/$name.status" ] && expected_status=$(cat "$dir/$name.status")
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
# Files beside the patch are found through its folder; the shared
# abstractions are named on the search path, as a user names a library.
status=0
(cd "$dir" && "$kel" --batch --virtual-time --midi loopback --path abstractions "$name.pat") >"$actual" || status=$?
if [ "$update" = 1 ]; then
    cp "$actual" "$expected"
    echo "wrote $expected"
    if [ "$status" = 0 ]; then
        rm -f "$dir/$name.status"
    else
        echo "$status" >"$dir/$name.status"
        echo "wrote $dir/$name.status"
    fi
    exit 0
fi
failed=0
if ! diff -u "$expected" "$actual"; then
    echo "golden $name: the transcript differs (- expected, + actual)" >&2
    failed=1
fi
if [ "$status" != "$expected_status" ]; then
    echo "golden $name: kel exited with $status, not $expected_status" >&2
    failed=1
fi
exit $failed
