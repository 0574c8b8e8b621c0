#!/bin/sh
# Every patch file of the loader's fuzz corpora, and every golden patch,
# drawn: kel must end normally (0, or 1 for a file it cannot load), and each
# picture drawn must be well-formed XML (xmllint), subpatcher pictures too.
#   tests/render/corpus.sh KEL
# Exits 77 (skipped) when there is no xmllint (scripts/setup installs it).
set -u
. "$(dirname "$0")/../script_support.sh"
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tests=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v xmllint >/dev/null 2>&1; then
    echo "skipped: no xmllint here"
    exit 77
fi
checked=0
for file in "$tests"/fuzz/corpus/fuzz_patchload/* "$tests"/fuzz/corpus/fuzz_patchfile/* "$tests"/golden/*.pat; do
    [ -f "$file" ] || continue
    name=$(basename "$file")
    rm -rf "$work/pictures" "$work/top.svg"
    status=0
    (cd "$(dirname "$file")" && timeout 60 "$kel" --render-hidden --render "$work/top.svg" \
        --render-dir "$work/pictures" "$name") >"$work/console" 2>&1 || status=$?
    if [ "$status" != 0 ] && [ "$status" != 1 ]; then
        fail "$name: kel ended with $status"
        continue
    fi
    if [ "$status" = 0 ] && [ ! -s "$work/top.svg" ]; then
        fail "$name: no picture"
        continue
    fi
    for svg in "$work/top.svg" "$work/pictures"/*.svg; do
        [ -f "$svg" ] || continue
        if ! xmllint --noout "$svg" 2>"$work/xmllint"; then
            fail "$name: $(basename "$svg") is not well-formed"
            cat "$work/xmllint"
        fi
        checked=$((checked + 1))
    done
done
echo "$checked pictures checked"
[ "$checked" -gt 0 ] || fail "no picture was drawn"
finish "corpus"
