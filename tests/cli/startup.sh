#!/bin/sh
# Start-up and shutdown as a user meets them: the start-up folder "init",
# the statuses of --verbose, standalone programs, one interactive engine per
# preferences folder, the crash report and the remembered dialog folders.
#   tests/cli/startup.sh KEL KEL-COLLECTIVE TALLY-LIBRARY TEST-EXTERNALS-FOLDER
set -u
kel=$1
builder=$2
tally=$3
test_externals=$4
. "$(dirname "$0")/../script_support.sh"

# same NAME GOT WANT: fails NAME unless GOT is WANT.
same() {
    [ "$2" = "$3" ] || fail "$1: got
$2
expected
$3"
}

prefs="$work/prefs"
mkdir "$prefs"
printf '#N vpatcher 20 74 620 474;\n#P pop;\n' >"$work/empty.pat"

# --- The start-up folder: a patcher (which loads the example external by
# its class), the external itself and a file of no known type, each taken
# once although the folder is run before and after the options files.
mkdir -p "$work/lib/init"
cp "$tally" "$work/lib/init/"
printf '\000\001\002' >"$work/lib/init/stray.bin"
cat >"$work/lib/init/hello.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 tally 4;
#P newex 20 80 60 196617 print init;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
PATCH
got=$("$kel" --batch --virtual-time --prefs "$prefs" -p "$work/lib" "$work/empty.pat" 2>&1)
same "start-up folder" "$got" "init: 5"
got=$("$kel" --batch --virtual-time --prefs "$prefs" "$work/empty.pat" 2>&1)
same "no start-up folder, no word" "$got" ""
got=$("$kel" --prefs "$prefs" -p "$work/lib" --save "$work/converted.pat" "$work/empty.pat" 2>&1)
same "a conversion runs no start-up folder" "$?: $got" "0: "
# The statuses only with --verbose (the loader's and loadbang's verbose
# lines among them; no MIDI driver, whose lines depend on the machine).
got=$("$kel" --verbose --midi none --batch --virtual-time --prefs "$prefs" -p "$work/lib" "$work/empty.pat" 2>&1)
same "statuses with --verbose" "$got" "Initializing Kernel
Reading Preferences
Initializing Interface
Patcher: hello.pat
tally: loading external $work/lib/init/tally.kle
loadbang_dequeue...
loadbanging hello.pat
init: 5
Unknown startup file: stray.bin
External: tally.kle
Initializing MIDI
loadbang_dequeue...
loadbanging empty.pat
loadbang_clearqueue"

# --- A standalone program: a copy of kel named app beside app.klf runs the
# collective's start-up patcher. With searchformissingfiles 0 a file the
# collective lacks is not looked for on disk.
mkdir "$work/app" "$work/src"
cp "$kel" "$work/app/app"
cat >"$work/src/init-app.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 80 60 196617 print app;
#P newex 120 80 60 196617 nosuchabstraction;
#P connect 2 0 1 0;
#P pop;
PATCH
"$builder" "$work/app/app.klf" "$work/src/init-app.pat" || fail "the collective could not be built"
got=$(cd "$work" && "$work/app/app" --batch --virtual-time --prefs "$prefs" 2>&1)
same "standalone" "$got" "• error: nosuchabstraction: No such object
app: bang"
mkdir "$work/prefs-collective-only"
printf 'kel setoption searchformissingfiles 0;\r\n' >"$work/prefs-collective-only/keloptions.txt"
got=$("$work/app/app" --batch --virtual-time --prefs "$work/prefs-collective-only" 2>&1)
same "standalone, collective only" "$got" "• error: nosuchabstraction: no such file in collective
• error: nosuchabstraction: No such object
app: bang"

# --- One interactive engine per preferences folder.
# say NAME: a patch that prints NAME: bang at its loadbang.
say() {
    cat >"$work/$1.pat" <<PATCH
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 print $1;
#P connect 1 0 0 0;
#P pop;
PATCH
}
# wait_for FILE LINE: up to 5 s for LINE in FILE.
wait_for() {
    for _ in $(seq 50); do grep -qx "$2" "$1" && return 0; sleep 0.1; done
    return 1
}
say first
say second
say third
say batch1
say batch2
mkdir "$work/elsewhere"
"$kel" --prefs "$prefs" "$work/first.pat" </dev/null >"$work/first.out" 2>&1 &
first=$!
wait_for "$work/first.out" "first: bang" || fail "the first engine did not start"
# A second launch, named relative to its own working folder, is opened by
# the first and ends at once with status 0.
got=$(cd "$work/elsewhere" && "$kel" --prefs "$prefs" ../second.pat 2>&1 </dev/null)
status=$?
same "second launch: status" "$status" 0
same "second launch: what it says" "$got" "kel: $work/elsewhere/../second.pat: opened by the running kel (process $first)"
wait_for "$work/first.out" "second: bang" || fail "the first engine did not open the second launch's document"
# Batch runs neither forward nor listen: two at once both run, beside the
# interactive engine.
"$kel" --batch --virtual-time --prefs "$prefs" "$work/batch1.pat" >"$work/batch1.out" 2>&1 &
b1=$!
"$kel" --batch --virtual-time --prefs "$prefs" "$work/batch2.pat" >"$work/batch2.out" 2>&1 &
b2=$!
wait $b1
s1=$?
wait $b2
s2=$?
same "two batch runs at once" "$s1 $s2 $(cat "$work/batch1.out") $(cat "$work/batch2.out")" "0 0 batch1: bang batch2: bang"
# Another preferences folder is another engine.
"$kel" --prefs "$work/prefs-other" --duration 1 "$work/third.pat" </dev/null >"$work/other.out" 2>&1
same "another preferences folder" "$?: $(cat "$work/other.out")" "0: third: bang"
# A run killed outright leaves its socket; the next launch takes it over.
kill -KILL $first
wait $first 2>/dev/null
"$kel" --prefs "$prefs" "$work/third.pat" </dev/null >"$work/third.out" 2>&1 &
third=$!
wait_for "$work/third.out" "third: bang" || fail "a stale socket kept the next engine from starting: $(cat "$work/third.out")"
got=$("$kel" --prefs "$prefs" 2>&1 </dev/null)
same "a launch without a document" "$?: $got" "0: kel: already running (process $third)"
kill -TERM $third
wait $third
same "the engine that took over quits on SIGTERM" "$?" 143
[ -z "$(find "$XDG_RUNTIME_DIR" -name 'kel-*.sock' 2>/dev/null)" ] || fail "an orderly quit left its socket"

# --- The crash report: written with a backtrace, the quit tasks run, one
# line on standard error, the process ended by the signal. What the patch
# printed before the fault is out.
cat >"$work/crash.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 quitnote;
#P newex 20 50 60 196617 loadbang;
#P message 20 80 60 196617 \; kel crash;
#P newex 120 50 60 196617 print before;
#P connect 2 0 1 0;
#P connect 2 0 0 0;
#P pop;
PATCH
# In the background: the shell says nothing of how a job it waits for ended.
"$kel" --batch --virtual-time --prefs "$prefs" -p "$test_externals" "$work/crash.pat" >"$work/crash.out" 2>"$work/crash.err" &
wait $!
same "crash: status" "$?" 139
same "crash: standard output" "$(cat "$work/crash.out")" "before: bang"
same "crash: standard error" "$(cat "$work/crash.err")" "quitnote: quit task ran
kel: crashed: SIGSEGV; report in $prefs/Logs/Kel.crash"
grep -q "^kel crashed: SIGSEGV (signal 11)" "$prefs/Logs/Kel.crash" || fail "crash: the report's first line"
[ "$(sed -n '/^backtrace:$/,$p' "$prefs/Logs/Kel.crash" | wc -l)" -ge 3 ] || fail "crash: no backtrace in the report"

# --- Remembered dialog folders: rewritten at shutdown when one changed, one
# line per key (cut at its first blank, a key set again replaced), and
# read back at the next start.
cat >"$work/dialogs.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 60 196617 \; kel setdialogpath /music/loops TEXT \; kel setdialogpath /music/old ab\ c \; kel setdialogpath /music/new TEXT;
#P connect 1 0 0 0;
#P pop;
PATCH
"$kel" --batch --virtual-time --prefs "$prefs" "$work/dialogs.pat" >/dev/null 2>&1
same "dialog folders written" "$(cat "$prefs/keldialogpaths.txt")" "$(printf 'kel setdialogpath /music/new TEXT;\r\nkel setdialogpath /music/old ab;\r')"
cat >"$work/dialogs2.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 60 196617 \; kel setdialogpath /sound/x wave;
#P connect 1 0 0 0;
#P pop;
PATCH
"$kel" --batch --virtual-time --prefs "$prefs" "$work/dialogs2.pat" >/dev/null 2>&1
same "dialog folders read back and added to" "$(cat "$prefs/keldialogpaths.txt")" "$(printf 'kel setdialogpath /music/new TEXT;\r\nkel setdialogpath /music/old ab;\r\nkel setdialogpath /sound/x wave;\r')"
touch -d '2000-01-01' "$prefs/keldialogpaths.txt"
"$kel" --batch --virtual-time --prefs "$prefs" "$work/empty.pat" >/dev/null 2>&1
[ "$(date -r "$prefs/keldialogpaths.txt" +%Y)" = 2000 ] || fail "dialog folders rewritten although nothing changed"

finish "start-up"
