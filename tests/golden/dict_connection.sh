#!/bin/sh
# The example externals dictserver and dictclient: clients made before their
# server have it once it is made, every bang sends a dictionary that both
# clients read, and deleting the server tells them.
#   tests/golden/dict_connection.sh KEL EXAMPLE-EXTERNALS-FOLDER
set -u
kel=$1
externals=$2
. "$(dirname "$0")/../script_support.sh"

# Boxes count from the newest: the last box made is box 0.
cat >"$work/dicts.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 80 196617 dictclient notes;
#P newex 200 20 80 196617 dictclient notes;
#P newex 20 50 60 196617 print first;
#P newex 200 50 60 196617 print second;
#P newex 20 100 60 196617 loadbang;
#P message 20 130 160 196617 62 \, bang \, 64 \, bang;
#P newex 20 160 80 196617 dictserver notes;
#P objectname srv;
#P newex 20 190 80 196617 t b b b b;
#P message 200 130 40 196617 bang;
#P message 300 130 120 196617 script delete srv;
#P newex 300 160 80 196617 thispatcher;
#P newex 20 220 60 196617 delay 10;
#P connect 7 0 4 0;
#P connect 4 3 3 0;
#P connect 4 2 6 0;
#P connect 4 1 2 0;
#P connect 4 0 0 0;
#P connect 0 0 3 0;
#P connect 3 0 11 0;
#P connect 3 0 10 0;
#P connect 6 0 5 0;
#P connect 2 0 1 0;
#P connect 11 0 9 0;
#P connect 10 0 8 0;
#P pop;
PATCH
out=$("$kel" --batch --virtual-time --path "$externals" "$work/dicts.pat" 2>&1)
status=$?
# A bang reaches the right client first; a server's sends go in the order
# the clients joined; a deleted box goes at the next idle time, so the last
# bang waits 10 ms.
expected="second: server 1
first: server 1
first: 62 0.50 1 2 3
second: 62 0.50 1 2 3
first: 64 0.50 1 2 3
second: 64 0.50 1 2 3
first: server 0
second: server 0
second: server 0
first: server 0"
[ "$status" = 0 ] || fail "status $status"
[ "$out" = "$expected" ] || fail "got
$out"
finish "dict connection"
