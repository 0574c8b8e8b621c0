#!/bin/sh
# An abstraction holding ten copies of the next, five levels down: 111,111
# instances load, run and quit within a time limit.
#   tests/hostile/abstraction_tree.sh KEL SECONDS
set -u
kel=$1
limit=$2
. "$(dirname "$0")/../script_support.sh"

printf '#N vpatcher 20 74 620 474;\n#P newex 20 20 60 196617 + 0;\n#P pop;\n' >"$work/level0.pat"
for level in 1 2 3 4 5; do
    awk -v inner="level$((level - 1))" 'BEGIN {
        print "#N vpatcher 20 74 620 474;"
        for (k = 0; k < 10; k++) print "#P newex 20 " 20 + 20 * k " 60 196617 " inner ";"
        print "#P pop;"
    }' >"$work/level$level.pat"
done
# Boxes count from the newest: the print is box 0.
cat >"$work/tree.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 level5;
#P newex 20 50 60 196617 loadbang;
#P newex 20 80 60 196617 print tree;
#P connect 1 0 0 0;
#P pop;
PATCH

out=$(timeout "$limit" "$kel" --batch --virtual-time --path "$work" "$work/tree.pat" 2>&1)
status=$?
[ "$status" = 124 ] && fail "tree: not done within ${limit}s"
[ "$status" = 0 ] && [ "$out" = "tree: bang" ] || fail "tree: status $status: $(printf '%s\n' "$out" | head -n 5)"

finish "abstraction tree"
