#!/bin/sh
# A binary patcher file read only in part (bad_binary_byte.pat: a complete
# patcher and stray bytes after it) saved over its own file first keeps the
# original beside it, byte for byte, and never replaces an earlier copy. A
# save runs nothing, so the patch's own output never shows:
#   tests/golden/damaged_save_keeps_original.sh KEL
set -u
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
. "$(dirname "$0")/../script_support.sh"

# expect FILE LINE...: FILE holds exactly these lines.
expect() {
    file=$1
    shift
    printf '%s\n' "$@" >"$work/expected"
    diff -u "$work/expected" "$file" || fail "the transcript of $(basename "$file" .out)"
}

cp "$here/bad_binary_byte.pat" "$work/doc.pat"
(cd "$work" && "$kel" --batch --virtual-time --save-binary doc.pat doc.pat) >"$work/first.out"
expect "$work/first.out" "• error: bad file byte 7" \
    "doc.pat: the file was read only in part; its original is kept as doc.pat.orig"
cmp -s "$here/bad_binary_byte.pat" "$work/doc.pat.orig" || fail "the original is kept as it was"
# The sound part is saved: the patcher without the stray bytes.
size=$(($(wc -c <"$here/bad_binary_byte.pat") - 3))
head -c "$size" "$here/bad_binary_byte.pat" >"$work/sound.pat"
cmp -s "$work/sound.pat" "$work/doc.pat" || fail "the saved file is the sound part"

# The saved file is sound: saving it again keeps no copy.
(cd "$work" && "$kel" --batch --virtual-time --save-binary doc.pat doc.pat) >"$work/again.out"
[ -s "$work/again.out" ] && fail "a save of a sound file prints nothing (it runs nothing)"
[ -e "$work/doc.pat.orig.1" ] && fail "a sound file is saved without a copy"

# Damaged again: the earlier copy stays, the new one takes the next name.
cp "$here/bad_binary_byte.pat" "$work/doc.pat"
(cd "$work" && "$kel" --batch --virtual-time --save doc.pat doc.pat) >"$work/second.out"
expect "$work/second.out" "• error: bad file byte 7" \
    "doc.pat: the file was read only in part; its original is kept as doc.pat.orig.1"
cmp -s "$here/bad_binary_byte.pat" "$work/doc.pat.orig.1" || fail "the second original is kept"
cmp -s "$here/bad_binary_byte.pat" "$work/doc.pat.orig" || fail "the first copy is left alone"

# Saved elsewhere, the damaged file is left as it is and no copy is made.
cp "$here/bad_binary_byte.pat" "$work/other.pat"
(cd "$work" && "$kel" --batch --virtual-time --save elsewhere.pat other.pat) >"$work/elsewhere.out"
expect "$work/elsewhere.out" "• error: bad file byte 7"
[ -e "$work/other.pat.orig" ] && fail "saving to another file keeps no copy"
cmp -s "$here/bad_binary_byte.pat" "$work/other.pat" || fail "the damaged file is left as it is"

finish "damaged_save_keeps_original"
