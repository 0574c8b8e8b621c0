#!/bin/sh
# Opening URLs and reference pages with the desktop's handler: the URL (or
# the page's file name) reaches xdg-open as exactly one argument, no shell
# ever sees it, and a handler that cannot be started is reported.
#   tests/cli/launch_url.sh KEL
set -u
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
timeout=$(command -v timeout)
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A stand-in handler, first on PATH, that writes one line per argument.
mkdir "$work/bin"
cat >"$work/bin/xdg-open" <<'SCRIPT'
#!/bin/sh
for a in "$@"; do printf '[%s]\n' "$a"; done >"$RECORD.tmp"
mv "$RECORD.tmp" "$RECORD"
SCRIPT
chmod +x "$work/bin/xdg-open"

fail() {
    echo "FAIL $1"; failures=$((failures + 1))
}

# The handler runs beside kel, which does not wait for it: give it a few
# seconds to leave its record.
wait_for_record() {
    tries=0
    while [ ! -f "$1" ] && [ $tries -lt 100 ]; do
        sleep 0.1; tries=$((tries + 1))
    done
}

# expect_launch NAME EXPECTED-RECORD -- KEL-ARGUMENTS...
expect_launch() {
    name=$1 expected=$2
    shift 3
    rm -f "$work/record"
    (cd "$work" && RECORD="$work/record" PATH="$work/bin:$PATH" "$timeout" 20 "$kel" --batch "$@") >"$work/out" 2>&1
    wait_for_record "$work/record"
    if [ ! -f "$work/record" ]; then fail "$name: the handler was not started"; cat "$work/out"; return; fi
    if [ "$(cat "$work/record")" != "$expected" ]; then
        fail "$name: the handler got:"; cat "$work/record"; return
    fi
    if [ -e "$work/executed" ]; then fail "$name: part of the URL was run as a command"; return; fi
    if [ -s "$work/out" ]; then fail "$name: unexpected output:"; cat "$work/out"; return; fi
    echo "ok   $name"
}

expect_launch "plain url" "[http://example.org/]" -- -s 'kel launchbrowser http://example.org/'
expect_launch "url with blanks, semicolon and command substitution" \
    "[http://example.org/a b;c\$(touch executed)]" -- \
    -s 'kel launch_browser http://example.org/a\ b\;c$(touch\ executed)'

# A reference page found on the search path, in a folder whose name a shell
# would split and run.
pages="$work/pages a;\$(touch executed)"
mkdir "$pages"
printf '<html></html>\n' >"$pages/thing.html"
expect_launch "reference page" "[$pages/thing.html]" -- --path "$pages" -s 'kel htmlref thing'

# Without any handler on PATH.
(cd "$work" && PATH="$work/empty" "$timeout" 20 "$kel" --batch -s 'kel launchbrowser http://example.org/') \
    >"$work/out" 2>&1
if grep -q "^Kel could not launch URL\. err = [0-9][0-9]*$" "$work/out"; then echo "ok   no handler"; else
    fail "no handler:"; cat "$work/out"; fi

[ $failures = 0 ]
