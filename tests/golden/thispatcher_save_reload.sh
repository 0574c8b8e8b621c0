#!/bin/sh
# A patcher saved by kel keeps its box names and its thispatcher's lines:
# the saved text is as expected, the saved file runs with the transcript of
# the original, and it saves again to the same bytes.
#   tests/golden/thispatcher_save_reload.sh KEL
set -u
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
name=thispatcher_save_reload
. "$(dirname "$0")/../script_support.sh"

# The save runs nothing: it prints nothing.
(cd "$here" && "$kel" --batch --virtual-time --save "$work/saved.pat" "$name.pat") >"$work/saving.out"
[ -s "$work/saving.out" ] && fail "the saving run printed: $(cat "$work/saving.out")"
(cd "$here" && "$kel" --batch --virtual-time "$name.pat") >"$work/original.out"
diff -u "$here/$name.out" "$work/original.out" || fail "the original's transcript"
cmp -s "$here/$name.saved" "$work/saved.pat" || {
    diff -u "$here/$name.saved" "$work/saved.pat"
    fail "the saved text"
}
(cd "$work" && "$kel" --batch --virtual-time saved.pat) >"$work/reloaded.out"
diff -u "$here/$name.out" "$work/reloaded.out" || fail "the reloaded patch's transcript"
(cd "$work" && "$kel" --batch --save again.pat saved.pat) >/dev/null
cmp -s "$work/saved.pat" "$work/again.pat" || fail "saving the saved file again"

finish "$name"
