#!/bin/sh
# Patchers nested as deep as the limit load, run, save and quit; one level
# deeper, or thousands, is refused at load with one line and status 1, and
# nothing crashes on the way (the walks over patchers recurse per level).
#   tests/hostile/deep_nesting.sh KEL
set -u
kel=$1
. "$(dirname "$0")/../script_support.sh"

# nested N FILE: a loadbang and a print inside N patchers, each in a box of
# the one outside it.
nested() {
    awk -v n="$1" 'BEGIN {
        for (i = 0; i < n; i++) print "#N vpatcher 20 74 620 474;"
        print "#P newex 20 20 60 196617 loadbang;"
        print "#P newex 20 50 60 196617 print deep;"
        print "#P connect 1 0 0 0;"
        for (i = 1; i < n; i++) { print "#P pop;"; print "#P newobj 20 20 60 196617 p;" }
        print "#P pop;"
    }' >"$2"
}

nested 512 "$work/limit.pat"
nested 513 "$work/over.pat"
nested 50000 "$work/far.pat"

out=$("$kel" --batch --virtual-time "$work/limit.pat" 2>&1)
status=$?
[ "$status" = 0 ] && [ "$out" = "deep: bang" ] || fail "512 deep runs (status $status: $out)"
"$kel" --save "$work/limit_saved.pat" "$work/limit.pat" >"$work/save.out" 2>&1 || fail "512 deep saves"
out=$("$kel" --batch --virtual-time "$work/limit_saved.pat" 2>&1)
[ "$out" = "deep: bang" ] || fail "the saved 512 deep patch runs the same ($out)"

for name in over far; do
    out=$("$kel" --batch --virtual-time "$work/$name.pat" 2>&1)
    status=$?
    [ "$status" = 1 ] || fail "$name: status $status, expected 1"
    first=$(printf '%s\n' "$out" | head -n 1)
    [ "$first" = "• error: $name.pat: patchers nested too deep" ] || fail "$name: first line: $first"
    [ "$(printf '%s\n' "$out" | grep -c 'nested too deep')" = 1 ] || fail "$name: said once"
done

finish "deep nesting"
