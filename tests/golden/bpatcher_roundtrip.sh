#!/bin/sh
# bpatchers saved with their files found: save_inputs/bpatcher_views.pat holds
# a bpatcher whose file is on the search path and one whose file is missing,
# both with commas among their arguments.
# - loading shows the file (no error for it) and reports the missing one;
# - text and binary saves give the file back byte for byte, the contents of
#   the shown file never written into it;
# - text -> binary -> text gives the text back.
#   tests/golden/bpatcher_roundtrip.sh KEL
set -u
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
name=bpatcher_roundtrip
. "$(dirname "$0")/../script_support.sh"

input=$here/save_inputs/bpatcher_views.pat
missing=$(printf '\342\200\242 error: golden_nosuchview: No such object')

# save FORM OUT IN: loads IN with the shared abstractions on the search path
# and saves it to OUT; what it printed must be the missing file's line alone.
save() {
    (cd "$here" && "$kel" --batch --virtual-time --path abstractions "$1" "$2" "$3") >"$2.log" 2>&1 ||
        fail "kel $1 $(basename "$2") failed"
    [ "$(cat "$2.log")" = "$missing" ] || fail "saving $(basename "$2") printed: $(cat "$2.log")"
}

save --save "$work/t1.pat" "$input"
cmp -s "$input" "$work/t1.pat" || {
    diff "$input" "$work/t1.pat"
    fail "text: saved again as written"
}
save --save-binary "$work/b1.pat" "$input"
save --save-binary "$work/b2.pat" "$work/b1.pat"
cmp -s "$work/b1.pat" "$work/b2.pat" || fail "binary load -> save -> load -> save"
save --save "$work/bt.pat" "$work/b1.pat"
cmp -s "$input" "$work/bt.pat" || fail "text -> binary -> text"
grep -q "metro" "$work/t1.pat" && fail "the shown file's contents were written into the patch"

finish "$name"
