#!/bin/sh
# MIDI through the kel program: the manager's messages and midilist with the
# loopback driver, its preferences file read back by the next run (a
# dynamic port comes back), packets taken off the queue before a batch run
# ends, the ALSA driver failing without a sequencer device, and a patch
# without MIDI printing nothing new whichever drivers are installed.
#   tests/golden/midi_drivers.sh KEL
set -u
kel=$1
. "$(dirname "$0")/../script_support.sh"
prefs="$work/prefs"

run() {
    "$kel" --batch --virtual-time --prefs "$prefs" "$@" 2>/dev/null
}

check() {
    if [ "$2" != "$3" ]; then
        fail "$1"
        printf 'expected:\n%s\nactual:\n%s\n' "$2" "$3"
    fi
}

lists_with_extra="MIDI input ports:
  loop1 (a) channels 1-16, loopback
  loop2 (b) channels 17-32, loopback
  extra (x) channels 33-48, loopback
MIDI output ports:
  loop1 (a) channels 1-16, loopback
  loop2 (b) channels 17-32, loopback"

out=$(run --midi loopback -s 'kel midi createinport extra' -s 'kel midi portabbrev innum extra 120' \
    -s 'kel midi inportinfo extra' -s 'kel midi createinport loop1' -s 'kel midi createoutport x nodriver' \
    -s 'kel midi deleteinport loop1' -s 'kel midi driver' -s 'kel midi revert' -s 'kel midilist')
check "manager messages" "sysmidi: inportinfo: extra: driver loopback, abbrev x, offset 32, enabled 1, dynamic 1
• error: sysmidi: createinport: port loop1 already exists
• error: sysmidi: createoutport: no driver nodriver
• error: sysmidi: deleteinport: port loop1 cannot be deleted
• error: sysmidi_driver: bad message
sysmidi: revert
$lists_with_extra" "$out"

out=$(run --midi loopback -s 'kel midilist' -s 'kel midi deleteinport extra')
check "a dynamic port comes back from the preferences file" "$lists_with_extra" "$out"
grep -q extra "$prefs/midi@loopback.txt" && fail "a deleted port stays out of the preferences file"

out=$(run --midi loopback --verbose -s 'kel midi driver inject loop1 144 60 64' \
    -s 'kel midi driver inject b stamp 5 176 7 100' | grep '^got data')
check "injected packets are taken off before the run ends" "got data 3 bytes port 1
got data 3 bytes port 3" "$out"

if [ -e /dev/snd/seq ]; then
    echo "skip the ALSA failure: this machine has a sequencer"
elif [ -f "$(dirname "$kel")/mididrivers/alsa.kle" ]; then
    out=$(run --midi alsa -s 'kel midilist')
    case "$out" in
    "• error: alsa: can't open the sequencer: "*"
MIDI input ports: none
MIDI output ports: none") ;;
    *) fail "the ALSA failure is reported when MIDI is first used: $out" ;;
    esac
fi

cat >"$work/plain.pat" <<'PATCH'
#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 print plain;
#P connect 1 0 0 0;
#P pop;
PATCH
none=$(run --midi none "$work/plain.pat")
all=$(run "$work/plain.pat")
check "a patch without MIDI prints what it printed before" "plain: bang" "$none"
check "a patch without MIDI prints nothing new with every driver" "$none" "$all"

finish midi_drivers
