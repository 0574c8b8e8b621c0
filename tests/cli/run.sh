#!/bin/sh
# The command-line contract of the kel program: exit statuses, where help and
# usage errors go, batch runs ending by themselves, --send, --save, input
# lines, line-by-line output, signals.
#   tests/cli/run.sh KEL
set -u
kel=$1
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect NAME STATUS STDOUT-PATTERN STDERR-PATTERN -- COMMAND...
# An empty pattern means that stream must stay empty.
expect() {
    name=$1 status=$2 out_pattern=$3 err_pattern=$4
    shift 5
    timeout 20 "$@" >"$work/out" 2>"$work/err" </dev/null
    got=$?
    if [ "$got" != "$status" ]; then
        echo "FAIL $name: exit status $got, expected $status"; failures=$((failures + 1)); return
    fi
    if [ -z "$out_pattern" ] && [ -s "$work/out" ]; then
        echo "FAIL $name: unexpected standard output:"; cat "$work/out"; failures=$((failures + 1)); return
    fi
    if [ -n "$out_pattern" ] && ! grep -q -- "$out_pattern" "$work/out"; then
        echo "FAIL $name: standard output lacks '$out_pattern':"; cat "$work/out"; failures=$((failures + 1)); return
    fi
    if [ -n "$err_pattern" ] && ! grep -q -- "$err_pattern" "$work/err"; then
        echo "FAIL $name: standard error lacks '$err_pattern':"; cat "$work/err"; failures=$((failures + 1)); return
    fi
    if [ -z "$err_pattern" ] && [ -s "$work/err" ]; then
        echo "FAIL $name: unexpected standard error:"; cat "$work/err"; failures=$((failures + 1)); return
    fi
    echo "ok   $name"
}

expect help 0 "--virtual-time" "" -- "$kel" --help
expect version 0 "^kel [0-9]" "" -- "$kel" --version
expect "unknown option" 2 "" "--bogus" -- "$kel" --bogus
expect "duration needs a number" 2 "" "duration" -- "$kel" --duration soon
expect "save without a file" 2 "" "FILE" -- "$kel" --save out.pat
expect "save twice" 2 "" "save" -- "$kel" --save a.pat --save-binary b.pat x.pat
expect "empty batch run ends" 0 "" "" -- "$kel" --batch
expect "virtual batch run ends" 0 "" "" -- "$kel" --batch --virtual-time
expect "duration ends a run" 0 "" "" -- "$kel" --duration 200
# Interactive: lines on standard input are messages; `kel quit` ends the run.
printf 'nobody hello\nkel quit\n' | "$kel" >"$work/out" 2>"$work/err"
if [ $? = 0 ] && grep -q "nobody: no such object" "$work/out"; then echo "ok   input lines"; else
    echo "FAIL input lines:"; cat "$work/out" "$work/err"; failures=$((failures + 1)); fi

# Patches for the cases below. metro.pat is written as kel writes patchers
# (lines end in CR LF), so that saving it gives its own bytes back.
sed 's/$/\r/' >"$work/metro.pat" <<'EOF'
kel v2;
#N vpatcher 20 74 520 374;
#P window setfont Geneva 9.;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 t b b;
#P message 120 90 60 196617 loaded;
#P newex 120 130 60 196617 print lb;
#P newex 20 90 60 196617 metro 10;
#P newex 20 130 60 196617 print tick;
#P connect 5 0 4 0;
#P connect 4 0 1 0;
#P connect 1 0 0 0;
#P connect 4 1 3 0;
#P connect 3 0 2 0;
#P pop;
EOF
# Prints "lb: bang" at load, the messages sent to "in", and on an orderly
# shutdown "freed: bang" and "closed: bang".
cat >"$work/sends.pat" <<'EOF'
#N vpatcher 20 74 520 374;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 print lb;
#P newex 120 20 60 196617 r in;
#P newex 120 50 60 196617 print in;
#P newex 220 20 60 196617 closebang;
#P newex 220 50 60 196617 print closed;
#P newex 320 20 60 196617 freebang;
#P newex 320 50 60 196617 print freed;
#P connect 7 0 6 0;
#P connect 5 0 4 0;
#P connect 3 0 2 0;
#P connect 1 0 0 0;
#P pop;
EOF
: >"$work/empty.pat"
printf 'this is no patcher\001\002\003 at all;\n' >"$work/garbage.pat"
# Cut short: sends.pat without its closing "#P pop;". Run, it would print.
sed '$d' "$work/sends.pat" >"$work/truncated.pat"
mkdir "$work/folder.pat"

# Exit status 1: the command-line document cannot be found, read or loaded.
# Nothing of it runs, and an interactive run ends too.
for run in "--batch" "--virtual-time" ""; do
    expect "missing file ($run)" 1 "error: nothere.pat: error opening file" "" -- "$kel" $run nothere.pat
done
expect "empty file" 1 "empty.pat: error opening file" "" -- "$kel" -b "$work/empty.pat"
expect "garbage file" 1 "garbage.pat: error opening file" "" -- "$kel" -b "$work/garbage.pat"
expect "truncated file" 1 "truncated.pat: error opening file" "" -- "$kel" -b "$work/truncated.pat"
# Its loadbang does not run (freeing what was built still sends freebang and
# closebang, as freeing any patcher does).
expect "truncated file does not run" 1 "" "" -- sh -c "'$kel' -b '$work/truncated.pat' | grep 'lb:'"
expect "unreadable file (a folder)" 1 "error: .*folder.pat: error opening file" "" -- "$kel" -b "$work/folder.pat"
expect "missing path folder" 1 "error: .*none: no such folder" "" -- "$kel" --batch --path "$work/none"
expect "existing path folder (-p)" 0 "" "" -- "$kel" -b -p "$work"

# Usage errors: standard error, status 2, readable numbers.
expect "help (-h)" 0 "Exit status" "" -- "$kel" -h
expect "help shows examples" 0 "kel -b -s 'counter-in 5'" "" -- "$kel" --help
expect "help shows input lines" 0 "counter-in 5 .*the int 5" "" -- "$kel" --help
expect "version (-V)" 0 "^kel [0-9]" "" -- "$kel" -V
expect "duration out of range" 2 "" "^kel: --duration: 1e400 is out of range (0 to 1.79769e+308)$" -- "$kel" -d 1e400
expect "negative duration" 2 "" "^kel: --duration: -5 is out of range" -- "$kel" --duration=-5
expect "duration not a number" 2 "" "'nan' is not a number" -- "$kel" -d nan
expect "send with no receiver" 2 "" "^kel: --send: ' ' names no receiver" -- "$kel" -b -s ' '
expect "option without its value" 2 "" "duration" -- "$kel" -b -d

# Short options do what the long ones do.
expect "-b -d ends a run" 0 "tick: bang" "" -- "$kel" -b --virtual-time -d 25 "$work/metro.pat"

# --send: after the loadbang, in order, in a batch run.
expect "sends in order" 0 "" "" -- sh -c "'$kel' -b --virtual-time -s 'in 1' --send 'in two' -s 'in 3 4' '$work/sends.pat' |
    tr '\n' '|' | grep -q '^lb: bang|in: 1|in: two |in: 3 4|freed: bang|closed: bang|$'"
expect "send to nobody" 0 "error: .*nobody" "" -- "$kel" -b -s 'nobody hello'
# Typed text (and --send) is printed back as it was typed, in any script.
expect "send keeps its text" 0 "^in: 日本 café привет$" "" -- "$kel" -b --virtual-time -s 'in 日本 café привет' "$work/sends.pat"

# --save converts without running: no loadbang, no clock (the metro would
# never stop), nothing printed, the file as written, exit at once.
expect "save a running metro" 0 "" "" -- "$kel" --save "$work/saved.pat" "$work/metro.pat"
if cmp -s "$work/metro.pat" "$work/saved.pat"; then echo "ok   save writes the patcher"; else
    echo "FAIL save writes the patcher:"; diff "$work/metro.pat" "$work/saved.pat"; failures=$((failures + 1)); fi
expect "save-binary, then back to text" 0 "" "" -- sh -c "'$kel' --save-binary '$work/saved.bin' '$work/metro.pat' &&
    '$kel' -b --save '$work/back.pat' '$work/saved.bin' && cmp -s '$work/metro.pat' '$work/back.pat'"
expect "save of a truncated file" 1 "error opening file" "" -- "$kel" --save "$work/no.pat" "$work/truncated.pat"
[ -e "$work/no.pat" ] && { echo "FAIL a failed load wrote its save"; failures=$((failures + 1)); }
# A save that cannot be written (here: no file may grow) leaves the old file
# as it was and no file beside it.
echo "old contents" >"$work/old.pat"
# The output goes through a pipe, which the limit does not touch.
(trap '' XFSZ; ulimit -f 0; "$kel" --save "$work/old.pat" "$work/metro.pat"; echo "status $?") 2>&1 </dev/null | cat >"$work/out"
if grep -q "^status 1$" "$work/out" && grep -q "old.pat: could not be written" "$work/out" &&
    [ "$(cat "$work/old.pat")" = "old contents" ] && [ -z "$(ls -A "$work" | grep '^\.old\.pat')" ]; then
    echo "ok   unwritable save keeps the old file"
else
    echo "FAIL unwritable save keeps the old file:"; cat "$work/out" "$work/old.pat"; ls -A "$work"; failures=$((failures + 1))
fi
# A missing folder is not taken for a file name: nothing goes to its parent.
expect "save into a missing folder" 1 "none/x.pat: could not be written" "" -- "$kel" --save "$work/none/x.pat" "$work/metro.pat"
[ -e "$work/x.pat" ] && { echo "FAIL a save into a missing folder wrote into its parent"; failures=$((failures + 1)); }
expect "save onto a folder" 1 "folder.pat: could not be written" "" -- "$kel" --save "$work/folder.pat" "$work/metro.pat"

# The end of piped input does not end the run: --duration does.
started=$(date +%s%N)
printf 'nobody hello\n' | "$kel" -d 400 >"$work/out" 2>"$work/err"
status=$?
took=$((($(date +%s%N) - started) / 1000000))
if [ $status = 0 ] && [ $took -ge 350 ] && grep -q "nobody: no such object" "$work/out"; then
    echo "ok   end of piped input"
else
    echo "FAIL end of piped input: status $status after $took ms"; cat "$work/out" "$work/err"; failures=$((failures + 1))
fi

# On a terminal, the end of input (Ctrl-D) quits.
if command -v python3 >/dev/null 2>&1; then
    python3 - "$kel" >"$work/out" 2>&1 <<'EOF'
import os, pty, signal, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1]])
signal.alarm(10)
time.sleep(0.3)
os.write(fd, b"nobody hi\r")
time.sleep(0.3)
os.write(fd, b"\x04")
out = b""
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    out += data
_, status = os.waitpid(pid, 0)
sys.stdout.write(out.decode("utf-8", "replace"))
print("status", os.waitstatus_to_exitcode(status))
EOF
    if grep -q "nobody: no such object" "$work/out" && grep -q "status 0$" "$work/out"; then echo "ok   Ctrl-D on a terminal"; else
        echo "FAIL Ctrl-D on a terminal:"; cat "$work/out"; failures=$((failures + 1)); fi
fi

# A line is out, newline included, as soon as it is posted: a reader sees it
# while kel runs, and kill -9 loses nothing.
mkfifo "$work/in2"
"$kel" "$work/sends.pat" <"$work/in2" >"$work/out" 2>"$work/err" &
pid=$!
exec 4>"$work/in2"
echo "in typed" >&4
for _ in $(seq 50); do grep -q "^in: typed $" "$work/out" && break; sleep 0.1; done
kill -KILL $pid
wait $pid 2>/dev/null
exec 4>&-
if [ "$(cat "$work/out")" = "$(printf 'lb: bang\nin: typed ')" ] && [ "$(tail -c 1 "$work/out" | od -An -c | tr -d ' ')" = '\n' ]; then
    echo "ok   lines flushed as posted"
else
    echo "FAIL lines flushed as posted:"; od -c "$work/out" | head; failures=$((failures + 1))
fi

# Signals: an orderly shutdown (freebang, closebang), then 128 + the signal.
# A shell starts background jobs with SIGINT ignored, which kel respects:
# env gives it back.
for signal in INT:130 TERM:143 HUP:129; do
    name=${signal%:*} want=${signal#*:}
    mkfifo "$work/in-$name"
    env --default-signal=INT "$kel" "$work/sends.pat" <"$work/in-$name" >"$work/out" 2>"$work/err" &
    pid=$!
    exec 3>"$work/in-$name" # standard input stays open: kel waits for lines
    for _ in $(seq 50); do grep -q "^lb: bang$" "$work/out" && break; sleep 0.1; done
    kill -"$name" $pid
    wait $pid
    status=$?
    exec 3>&-
    if [ $status = "$want" ] && [ "$(cat "$work/out")" = "$(printf 'lb: bang\nfreed: bang\nclosed: bang')" ]; then
        echo "ok   SIG$name"
    else
        echo "FAIL SIG$name: status $status, expected $want"; cat "$work/out" "$work/err"; failures=$((failures + 1))
    fi
done

# --- The scheduler and signals against a stuck or overloaded engine. ---
# tests/cli/run.sh KEL [TEST-EXTERNALS-FOLDER]: the folder holds spin.kle,
# whose bang never returns.
sched_work=$work/sched
mkdir "$sched_work"
cat >"$sched_work/stall.pat" <<'EOF'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 delay 0;
#P newex 20 80 60 196617 t b;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P connect 0 0 1 0;
#P pop;
EOF
# A delay 0 that restarts itself keeps logical time at 0: --duration would
# never pass. The scheduler stops and the batch run ends as failed.
expect "clocks that keep time still end a batch run" 1 \
    "^Scheduler stopped: 1000000 clocks fired at [0-9.]* ms without time moving on$" "" -- \
    "$kel" --batch --virtual-time --duration 1000 "$sched_work/stall.pat"

# Real time keeps up with more clocks than one poll fires: a hundred metros
# at 1 ms for half a second count 50,000 bangs (at least 60 % on a loaded
# machine), with no word of falling behind.
{
    echo '#N vpatcher 20 74 620 474;'
    echo '#P newex 20 20 60 196617 loadbang;'
    for _ in $(seq 100); do echo '#P newex 20 50 60 196617 metro 1;'; done
    echo '#P newex 20 80 60 196617 t 1;'
    echo '#P newex 20 110 60 196617 accum 0;'
    echo '#P newex 120 20 60 196617 closebang;'
    echo '#P newex 20 140 60 196617 print count;'
    for i in $(seq 100); do echo "#P connect 104 0 $((104 - i)) 0;"; echo "#P connect $((104 - i)) 0 3 0;"; done
    echo '#P connect 3 0 2 1;'
    echo '#P connect 1 0 2 0;'
    echo '#P connect 2 0 0 0;'
    echo '#P pop;'
} >"$sched_work/metros.pat"
"$kel" -d 500 "$sched_work/metros.pat" </dev/null >"$sched_work/out" 2>"$sched_work/err"
metro_status=$?
metro_count=$(sed -n 's/^count: //p' "$sched_work/out")
if [ $metro_status = 0 ] && [ "$(wc -l <"$sched_work/out")" = 1 ] && [ "${metro_count:-0}" -ge 30000 ] &&
    [ "$metro_count" -le 50100 ] && [ ! -s "$sched_work/err" ]; then
    echo "ok   a hundred metros at 1 ms in real time"
else
    echo "FAIL a hundred metros at 1 ms in real time: status $metro_status"
    cat "$sched_work/out" "$sched_work/err"; failures=$((failures + 1))
fi

# The engine stuck in an external's endless loop: the orderly quit a signal
# asks for is never served, so 2 s later the process ends by itself, with
# 128 + the signal and one line on standard error; a second signal ends it
# at once. (The patcher must not share the class's name.)
stuck_externals=${2:-}
if [ -n "$stuck_externals" ] && [ -f "$stuck_externals/spin.kle" ]; then
    cat >"$sched_work/stuck.pat" <<'EOF'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 t b b;
#P newex 120 80 60 196617 print lb;
#P newex 20 80 60 196617 spin;
#P connect 3 0 2 0;
#P connect 2 1 1 0;
#P connect 2 0 0 0;
#P pop;
EOF
    # stuck_run SIGNAL...: each signal, the first once "lb: bang" is out, the
    # others 0.2 s apart; sets stuck_status and stuck_took (ms from the first).
    stuck_run() {
        env --default-signal=INT "$kel" -p "$stuck_externals" "$sched_work/stuck.pat" \
            </dev/null >"$sched_work/out" 2>"$sched_work/err" &
        stuck_pid=$!
        # Without the time limit, the engine would never end.
        (sleep 10; kill -KILL $stuck_pid) >/dev/null 2>&1 &
        stuck_watchdog=$!
        for _ in $(seq 50); do grep -q "^lb: bang$" "$sched_work/out" && break; sleep 0.1; done
        stuck_started=$(date +%s%N)
        for stuck_signal in "$@"; do
            kill -"$stuck_signal" $stuck_pid
            sleep 0.2
        done
        wait $stuck_pid
        stuck_status=$?
        kill $stuck_watchdog 2>/dev/null
        stuck_took=$((($(date +%s%N) - stuck_started) / 1000000))
    }
    for stuck_case in TERM:143 INT:130; do
        name=${stuck_case%:*} want=${stuck_case#*:}
        stuck_run "$name"
        if [ $stuck_status = "$want" ] && [ $stuck_took -ge 1800 ] && [ $stuck_took -lt 6000 ] &&
            [ "$(cat "$sched_work/err")" = "kel: SIG$name: the engine did not stop within 2 s; exiting" ] &&
            [ "$(cat "$sched_work/out")" = "lb: bang" ]; then
            echo "ok   stuck engine, SIG$name"
        else
            echo "FAIL stuck engine, SIG$name: status $stuck_status (expected $want) after $stuck_took ms"
            cat "$sched_work/out" "$sched_work/err"; failures=$((failures + 1))
        fi
    done
    stuck_run TERM INT
    if [ $stuck_status = 130 ] && [ $stuck_took -lt 1500 ] && [ ! -s "$sched_work/err" ]; then
        echo "ok   stuck engine, a second signal"
    else
        echo "FAIL stuck engine, a second signal: status $stuck_status after $stuck_took ms"
        cat "$sched_work/err"; failures=$((failures + 1))
    fi
else
    echo "skip stuck engine: no spin.kle (pass the test externals folder)"
fi

# Hostile standard input and output: a last line without a newline is taken;
# a line over 65536 bytes is refused without being held (a 200 MB one under a
# 60 MB memory limit) and the lines around it still run, one of 65536 bytes
# too; a flood of lines
# lets a clock fire and quit; an integer beyond 32 bits is the nearest one,
# with a warning; control characters reach a terminal escaped, a pipe
# unchanged.
cat >"$work/in.pat" <<'EOF'
#N vpatcher 20 74 620 474;
#P newex 20 20 80 196617 r in;
#P newex 20 60 80 196617 print in;
#P connect 1 0 0 0;
#P pop;
EOF
cat >"$work/flood.pat" <<'EOF'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 delay 100;
#P newex 20 80 60 196617 t b b;
#P newex 20 110 60 196617 print tick;
#P message 120 110 60 196617 \; kel quit;
#P newex 200 20 60 196617 r in;
#P connect 5 0 4 0;
#P connect 4 0 3 0;
#P connect 3 1 2 0;
#P connect 3 0 1 0;
#P pop;
EOF
hostile_case() {
    if [ "$2" = "$3" ]; then echo "ok   $1"; else
        echo "FAIL $1:"; printf '%s\n' "$2" | head -c 400; echo; failures=$((failures + 1)); fi
}
got=$(printf 'in 1\nkel quit' | timeout 10 "$kel" "$work/in.pat" 2>&1)
hostile_case "last line without newline" "$got" "in: 1"
# The memory limit shows the line is never held; a sanitizer build cannot
# start under it (its shadow memory), and runs the case without the limit.
memory_limit=60000
(ulimit -v $memory_limit; "$kel" --version) >/dev/null 2>&1 || memory_limit=unlimited
got=$( (ulimit -v $memory_limit
    { head -c 200000000 /dev/zero; printf '\nin 2\n'; head -c 65534 /dev/zero | tr '\0' b; printf ' 3\nkel quit\n'; } |
        timeout 10 "$kel" "$work/in.pat" 2>&1) | cut -c 1-40)
hostile_case "long input line" "$got" "$(printf '%s\n%s\n%s' '• error: kel: input line over 65536 bytes ignored' 'in: 2' "• error: 'bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb" | cut -c 1-40)"
got=$( (yes 'in 1' | timeout -s KILL 10 "$kel" "$work/flood.pat" >"$work/out" 2>&1; echo $?) | tail -1)
hostile_case "flood of lines" "$got $(grep -c tick "$work/out")" "0 1"
got=$(printf 'in 99999999999999999999 -2147483648 0xFFFFFFFF\nkel quit\n' | timeout 10 "$kel" "$work/in.pat" 2>&1)
hostile_case "integer beyond 32 bits" "$got" "$(printf '%s\n%s' '• warning: 99999999999999999999: out of range, read as 2147483647' 'in: 2147483647 -2147483648 -1')"
esc=$(printf 'a\033[31mb\007')
got=$(timeout 10 "$kel" --batch --send "in $esc" "$work/in.pat" 2>&1)
hostile_case "control characters into a pipe" "$got" "in: $esc "
if command -v script >/dev/null 2>&1; then
    got=$(timeout 10 script -qec "'$kel' --batch --send 'in $esc' '$work/in.pat'" /dev/null </dev/null | tr -d '\r')
    hostile_case "control characters on a terminal" "$got" 'in: a\x1b[31mb\x07 '
fi

exit $failures
