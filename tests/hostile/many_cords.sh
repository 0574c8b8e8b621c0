#!/bin/sh
# A million cords load, run and quit within a time limit each: 1,000 boxes
# each wired to every other one's right inlet, and one pair joined a million
# times, which says so once with a count instead of a million times.
#   tests/hostile/many_cords.sh KEL SECONDS
set -u
kel=$1
limit=$2
. "$(dirname "$0")/../script_support.sh"

# Boxes count from the newest: box 0 is the last made.
awk -v n=1000 'BEGIN {
    print "#N vpatcher 20 74 620 474;"
    print "#P newex 20 20 60 196617 print total;"
    for (i = 1; i < n - 1; i++) print "#P newex 20 " 40 + i " 40 196617 + 0;"
    print "#P newex 20 20 60 196617 loadbang;"
    # every + feeds every other one'"'"'s right inlet; the loadbang bangs
    # box 1, the newest +, which alone reaches the print
    for (i = 1; i < n - 1; i++) for (j = 1; j < n - 1; j++) if (i != j) print "#P connect " i " 0 " j " 1;"
    print "#P connect 1 0 " n - 1 " 0;"
    print "#P connect 0 0 1 0;"
    print "#P pop;"
}' >"$work/mesh.pat"

awk -v n=1000000 'BEGIN {
    print "#N vpatcher 20 74 620 474;"
    print "#P newex 20 20 60 196617 loadbang;"
    print "#P newex 20 50 60 196617 t 1;"
    print "#P newex 20 80 60 196617 + 5;"
    print "#P newex 20 110 60 196617 print sum;"
    print "#P connect 3 0 2 0;"
    for (i = 0; i < n; i++) print "#P connect 2 0 1 1;"
    print "#P connect 2 0 1 0;"
    print "#P connect 1 0 0 0;"
    print "#P pop;"
}' >"$work/twice.pat"

# mesh: 998 + boxes with 995,006 cords between them; the banged + gives 0.
out=$(timeout "$limit" "$kel" --batch --virtual-time "$work/mesh.pat" 2>&1)
status=$?
[ "$status" = 124 ] && fail "mesh: not done within ${limit}s"
[ "$status" = 0 ] && [ "$out" = "total: 0" ] || fail "mesh: status $status: $out"

# twice: the trigger's 1 reaches the + right inlet a million times, then its
# left inlet once.
out=$(timeout "$limit" "$kel" --batch --virtual-time "$work/twice.pat" 2>&1)
status=$?
[ "$status" = 124 ] && fail "twice: not done within ${limit}s"
expected="• warning: outlet_add: already in table
• check failed: inlet_notify: already in table
• warning: outlet_add: already in table, 999998 more times
sum: 2"
[ "$status" = 0 ] && [ "$out" = "$expected" ] || fail "twice: status $status: $(printf '%s\n' "$out" | head -n 6)"

finish "many cords"
