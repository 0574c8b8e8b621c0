#!/bin/sh
# Collectives run as the command-line document. The fixtures are made at
# test time with kel-collective from sources that are then removed, so what
# the patches use is found only inside the collective:
#   tests/golden/collectives.sh KEL KEL-COLLECTIVE TALLY-LIBRARY
set -u
kel=$1
builder=$2
tally=$3
. "$(dirname "$0")/../script_support.sh"

# check NAME EXPECTED-STATUS EXPECTED-OUTPUT -- COMMAND...
check() {
    name=$1
    want_status=$2
    want=$3
    shift 4
    got=$("$@" 2>&1)
    status=$?
    [ "$status" = "$want_status" ] || fail "$name: status $status, expected $want_status"
    [ "$got" = "$want" ] || fail "$name: got
$got
expected
$want"
}

src="$work/src"
mkdir "$src"
# The start-up patcher: a text abstraction (found without its extension), a
# binary one, and the example external, each reached from its loadbang.
# Boxes count from the newest: the last box made is box 0.
cat >"$src/init-main.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 90 196617 t b b b;
#P newex 20 80 60 196617 adder 5;
#P newex 120 80 60 196617 doubler;
#P newex 220 80 60 196617 tally 10;
#P newex 20 110 60 196617 print adder;
#P newex 120 110 60 196617 print doubler;
#P newex 220 110 60 196617 print tally;
#P connect 7 0 6 0;
#P connect 6 0 5 0;
#P connect 6 1 4 0;
#P connect 6 2 3 0;
#P connect 5 0 2 0;
#P connect 4 0 1 0;
#P connect 3 0 0 0;
#P pop;
PATCH
cat >"$src/adder.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P inlet 20 20 15;
#P newex 20 50 60 196617 + $1;
#P outlet 20 80 15;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
PATCH
cat >"$src/doubler-text.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P inlet 20 20 15;
#P message 20 50 60 196617 21;
#P newex 20 80 60 196617 * 2;
#P outlet 20 110 15;
#P connect 3 0 2 0;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
PATCH
"$kel" --save-binary "$src/doubler.pat" "$src/doubler-text.pat" >/dev/null 2>&1 || fail "the binary abstraction was not made"
cp "$tally" "$src/tally.kle"
"$builder" "$work/app.klf" "$src/init-main.pat" "$src/adder.pat" "$src/doubler.pat" "$src/tally.kle" ||
    fail "kel-collective app.klf"
rm -rf "$src"

check "the start-up patcher runs" 0 "tally: 11
doubler: 42
adder: 5" -- "$kel" --batch --virtual-time "$work/app.klf"

# A directory whose first chunk is not a list of entries.
printf 'kl@c\000\000\000\020\000\000\000\000\000\000\000\020dirx\000\000\000\010' >"$work/bad.klf"
check "a directory that is not a list" 1 "• error: bad.klf: error -50 making directory" -- \
    "$kel" --batch --virtual-time "$work/bad.klf"

check "a missing collective" 1 "• error: missing.klf: can't load, error -43 (No such file or directory)
• error: $work/missing.klf: error opening file" -- "$kel" --batch --virtual-time "$work/missing.klf"

# A support library needs the temporary folder; where none can be made, the
# collective still runs, without it.
mkdir "$src"
cat >"$src/init.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 print ran;
#P connect 1 0 0 0;
#P pop;
PATCH
printf 'support' >"$src/libhelp.so"
"$builder" "$work/support.klf" "$src/init.pat" -t aPcs "$src/libhelp.so" || fail "kel-collective support.klf"
check "no temporary folder" 0 "xpcoll: Unable to GetTempPath().
• error: support.klf: can't read library libhelp.so
ran: bang" -- env TMPDIR=/proc "$kel" --batch --virtual-time "$work/support.klf"

finish "collectives"
