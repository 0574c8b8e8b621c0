#!/bin/sh
# Runs one golden patch and compares its console transcript with the
# expected one:
#   tests/golden/run.sh KEL tests/golden/NAME.pat
# With --update first, writes the transcript as the new expected file
# (review the diff before committing it):
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
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
# Files beside the patch are found through its folder; the shared
# abstractions are named on the search path, as a user names a library.
(cd "$dir" && "$kel" --batch --virtual-time --path abstractions "$name.pat") >"$actual"
if [ "$update" = 1 ]; then
    cp "$actual" "$expected"
    echo "wrote $expected"
    exit 0
fi
if ! diff -u "$expected" "$actual"; then
    echo "golden $name: the transcript differs (- expected, + actual)" >&2
    exit 1
fi
