#!/bin/sh
# A patcher file whose object box names the file itself: the load of that
# box is refused with the two guard lines, the box keeps a placeholder, and
# the rest of the patch still loads and runs. The guard line names the
# folder, so the folder is replaced by FOLDER before comparing.
#   tests/golden/patcher_selfload.sh KEL
set -eu
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cd "$(dirname "$0")/abstractions"
actual=$(mktemp)
expected=$(mktemp)
trap 'rm -f "$actual" "$actual.raw" "$expected"' EXIT
"$kel" --batch --virtual-time golden_selfload.pat >"$actual.raw"
sed -e "s|$(pwd -P)/|FOLDER/|g" -e "s|$(pwd)/|FOLDER/|g" "$actual.raw" >"$actual"
rm -f "$actual.raw"
cat >"$expected" <<'END'
• error: patcher attempting to load itself: FOLDER/golden_selfload.pat
• error: perhaps you have mistakenly named a patcher file the same name as an object it contains. this is not permitted.
• error: golden_selfload: No such object
rest: bang
END
if ! diff -u "$expected" "$actual"; then
    echo "patcher_selfload: the transcript differs (- expected, + actual)" >&2
    exit 1
fi
