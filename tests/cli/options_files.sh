#!/bin/sh
# The options files in the preferences folder are replayed at start-up,
# keloptions.txt first, then runoptions.txt; a missing one gives the
# built-in defaults; --prefs names the folder.
#   tests/cli/options_files.sh KEL
set -u
kel=$1
. "$(dirname "$0")/../script_support.sh"

cat >"$work/ask.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 300 196617 \; kel getsleep sleep \; kel getslop slop \; kel getpollthrottle poll;
#P newex 20 80 60 196617 r sleep;
#P newex 120 80 60 196617 r slop;
#P newex 220 80 60 196617 r poll;
#P newex 20 110 60 196617 print sleep;
#P newex 120 110 60 196617 print slop;
#P newex 220 110 60 196617 print poll;
#P connect 7 0 6 0;
#P connect 5 0 2 0;
#P connect 4 0 1 0;
#P connect 3 0 0 0;
#P pop;
PATCH

# ask FOLDER EXPECTED...: the answers with FOLDER as the preferences folder.
ask() {
    folder=$1
    shift
    got=$("$kel" --batch --virtual-time --prefs "$folder" "$work/ask.pat" 2>&1)
    want=$(printf '%s\n' "$@")
    [ "$got" = "$want" ] || fail "prefs $(basename "$folder"): got
$got
expected
$want"
}

ask "$work/empty" "sleep: 2" "slop: 25.000000" "poll: 30"

mkdir -p "$work/mine"
printf 'kel setsleep 7;\r\nkel setslop 3;\r\nkel nosuchsetting 1;\r\nkel setoption nosuchkeyword 1;\r\n' >"$work/mine/keloptions.txt"
printf 'kel setsleep 9;\r\n' >"$work/mine/runoptions.txt"
# runoptions after keloptions: its sleep wins; the keloptions slop stands;
# an unknown command is reported, an unknown setoption keyword ignored.
ask "$work/mine" "• error: kel: doesn't understand \"nosuchsetting\"" "sleep: 9" "slop: 3.000000" "poll: 30"

finish "options files"
