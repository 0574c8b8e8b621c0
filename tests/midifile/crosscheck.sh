#!/bin/sh
# Runs crosscheck.py with a python that has mido; exits 77 (skipped) when
# csvmidi, midicsv or mido is missing.
#   tests/midifile/crosscheck.sh MIDIFILE_TOOL
set -eu
here=$(dirname "$0")
for tool in csvmidi midicsv; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool is not installed: skipped"
        exit 77
    fi
done
for python in $(which -a python3 2>/dev/null); do
    if "$python" -c "import mido" 2>/dev/null; then
        exec "$python" "$here/crosscheck.py" "$1" "$here"
    fi
done
echo "no python3 with mido: skipped"
exit 77
