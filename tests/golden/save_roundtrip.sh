#!/bin/sh
# Saving patchers with kel --save and --save-binary:
#   tests/golden/save_roundtrip.sh KEL
# For every file in save_inputs/:
# - load -> save -> load -> save gives the same bytes, in text and in binary;
# - text -> binary -> text gives the text back, and the binary written from
#   the file and from its text copy are the same;
# - a binary file begins with the version word and "kel v2;" as the binary
#   form encodes it.
# The files written in kel's own form (every file below but oldforms.pat)
# must also come back exactly as they are: placeholders keep their boxes,
# arguments, cords and #N/#X data lines, and every record the engine keeps
# without acting on it (kept_records.pat). A save runs nothing: loadbang_set.pat
# keeps its message box's first text, which its loadbang would change, and the
# saving run prints nothing.
set -eu
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
# The golden folder is the working folder: its tree holds the abstractions
# the inputs name.
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

fail()
{
    echo "save_roundtrip: $*" >&2
    failed=1
}

# save FORM OUT IN: loads IN and saves it to OUT (FORM is --save or
# --save-binary); the console transcript goes to OUT.log.
save()
{
    if ! "$kel" --batch --virtual-time "$1" "$2" "$3" >"$2.log" 2>&1; then
        fail "kel $1 $2 $3 failed"
        return 1
    fi
    if [ ! -s "$2" ]; then
        fail "kel $1 $2 $3 wrote nothing"
        return 1
    fi
}

# same A B WHAT: A and B hold the same bytes.
same()
{
    if ! cmp -s "$1" "$2"; then
        fail "$3: $(basename "$1") and $(basename "$2") differ"
        diff "$1" "$2" >&2 || true
    fi
}

# "kel v2;" in binary: version 2, symbol 0 "kel", symbol 1 "v2", semicolon.
binary_head=$(printf '\002\000\000\000\160kel\000\161v2\000\240' | od -An -tx1 | tr -d ' \n')

for input in save_inputs/*.pat; do
    name=$(basename "$input" .pat)
    t1=$work/$name.t1.pat
    t2=$work/$name.t2.pat
    b1=$work/$name.b1.pat
    b2=$work/$name.b2.pat
    bt=$work/$name.bt.pat
    tb=$work/$name.tb.pat
    save --save "$t1" "$input" || continue
    save --save "$t2" "$t1" && same "$t1" "$t2" "$name: text load -> save -> load -> save"
    save --save-binary "$b1" "$input" || continue
    save --save-binary "$b2" "$b1" && same "$b1" "$b2" "$name: binary load -> save -> load -> save"
    head=$(head -c 14 "$b1" | od -An -tx1 | tr -d ' \n')
    [ "$head" = "$binary_head" ] || fail "$name: the binary file begins $head, not $binary_head"
    save --save-binary "$bt" "$t1" && same "$b1" "$bt" "$name: binary from the file and from its text copy"
    save --save "$tb" "$bt" && same "$t1" "$tb" "$name: text -> binary -> text"
    if [ "$name" != oldforms ]; then
        same "$input" "$t1" "$name: saved again as written"
    fi
done

# The loadbang never ran: the saving run printed nothing.
if [ -s "$work/loadbang_set.t1.pat.log" ]; then
    fail "loadbang_set: the saving run printed: $(cat "$work/loadbang_set.t1.pat.log")"
fi

exit $failed
