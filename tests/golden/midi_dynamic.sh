#!/bin/sh
# Golden patches that make and delete MIDI ports: each runs with a
# preferences folder of its own, since a dynamic port is written to the
# loopback driver's preferences file while it exists.
#   tests/golden/midi_dynamic.sh KEL
set -u
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
. "$(dirname "$0")/../script_support.sh"
dir=$(cd "$(dirname "$0")/midi_dynamic" && pwd)
for patch in "$dir"/*.pat; do
    name=$(basename "$patch" .pat)
    mkdir -p "$work/$name"
    (cd "$dir" && "$kel" --batch --virtual-time --midi loopback --prefs "$work/$name" "$name.pat") >"$work/$name.out"
    if ! diff -u "$dir/$name.out" "$work/$name.out"; then
        fail "$name: the transcript differs (- expected, + actual)"
    fi
done
finish midi_dynamic
