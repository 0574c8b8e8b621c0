#!/bin/sh
# The golden pictures as a browser draws them:
#   tests/render/browser.sh
# Each tests/render/*.svg is loaded in headless Chromium: its document must
# parse (no parser error in the DOM it builds), and its screenshot, taken
# at the picture's own size, must be that size and not blank. A malformed
# picture must be caught by the same checks. Exits 77 (skipped) when there
# is no Chromium (scripts/setup browser installs it).
set -u
. "$(dirname "$0")/../script_support.sh"
here=$(cd "$(dirname "$0")" && pwd)
browser=""
for name in chromium chromium-browser; do
    if command -v "$name" >/dev/null 2>&1; then
        browser=$name
        break
    fi
done
if [ -z "$browser" ] || ! command -v python3 >/dev/null 2>&1; then
    echo "skipped: no chromium (or no python3) here"
    exit 77
fi

run_browser() {
    timeout 90 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/profile" \
        "$@" 2>>"$work/browser.log"
}

# The root element's width and height attributes.
size_of() {
    sed -n 's/^<svg [^>]* width="\([0-9]*\)" height="\([0-9]*\)".*/\1 \2/p' "$1" | head -n 1
}

# check FILE: answers 0 when the browser parsed and drew it.
check() {
    svg=$1
    set -- $(size_of "$svg")
    if [ $# != 2 ]; then
        echo "$(basename "$svg"): no width and height on its root element"
        return 1
    fi
    width=$1 height=$2
    run_browser --dump-dom "file://$svg" >"$work/dom" || true
    if [ ! -s "$work/dom" ]; then
        echo "$(basename "$svg"): the browser gave no document"
        return 1
    fi
    if grep -q "parsererror" "$work/dom"; then
        echo "$(basename "$svg"): the browser could not parse it:"
        sed -n 's/.*following errors:<\/h3><div[^>]*>\([^<]*\)<.*/\1/p' "$work/dom"
        return 1
    fi
    rm -f "$work/shot.png"
    run_browser --screenshot="$work/shot.png" --window-size="$width,$height" "file://$svg" >/dev/null || true
    if [ ! -s "$work/shot.png" ]; then
        echo "$(basename "$svg"): no screenshot"
        return 1
    fi
    python3 "$here/png_check.py" "$work/shot.png" "$width" "$height"
}

for svg in "$here"/*.svg; do
    if check "$svg"; then echo "ok   $(basename "$svg")"; else fail "$(basename "$svg")"; fi
done

# The checks themselves: a picture with a stray "&" is refused ...
sed 's/<title>/<title>\&/' "$here/binary.svg" >"$work/broken.svg"
if check "$work/broken.svg" >/dev/null; then fail "a malformed picture passes the checks"; else echo "ok   malformed picture caught"; fi
# ... and so is a blank one.
printf '<svg xmlns="http://www.w3.org/2000/svg" width="120" height="80"><rect width="120" height="80" fill="#fff"/></svg>\n' \
    >"$work/blank.svg"
if check "$work/blank.svg" >/dev/null; then fail "a blank picture passes the checks"; else echo "ok   blank picture caught"; fi
finish "browser"
