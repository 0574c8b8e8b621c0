#!/bin/sh
# Draws one golden patch and compares the pictures with the expected ones:
#   tests/render/run.sh KEL tests/render/NAME.pat
# The patch is drawn with --render-dir into a scratch folder (so links to
# its subpatchers are drawn too), with the options in NAME.args when there
# is one. Every file drawn must equal the file of its name beside the patch
# (NAME.svg, NAME-1.svg, ...), and every such file must be drawn.
# With --update first, writes the pictures drawn as the new expected files
# (review them, and the diff, before committing them):
#   tests/render/run.sh --update build/kel tests/render/NAME.pat
set -eu
update=0
if [ "${1:-}" = "--update" ]; then
    update=1
    shift
fi
kel=$1
patch=$2
dir=$(dirname "$patch")
name=$(basename "$patch" .pat)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
args=""
[ -f "$dir/$name.args" ] && args=$(cat "$dir/$name.args")
status=0
# shellcheck disable=SC2086
"$kel" $args --render-dir "$work/out" "$patch" >"$work/console" || status=$?
if [ "$status" != 0 ]; then
    echo "render $name: kel exited with $status" >&2
    cat "$work/console" >&2
    exit 1
fi
if [ "$update" = 1 ]; then
    rm -f "$dir/$name.svg" "$dir/$name"-[0-9]*.svg
    cp "$work/out"/*.svg "$dir/"
    echo "wrote $(cd "$work/out" && ls)"
    exit 0
fi
failed=0
for drawn in "$work/out"/*.svg; do
    file=$(basename "$drawn")
    if [ ! -f "$dir/$file" ]; then
        echo "render $name: $file was drawn but is not expected" >&2
        failed=1
    elif ! diff -u "$dir/$file" "$drawn"; then
        echo "render $name: $file differs (- expected, + actual)" >&2
        failed=1
    fi
done
for expected in "$dir/$name.svg" "$dir/$name"-[0-9]*.svg; do
    [ -f "$expected" ] || continue
    file=$(basename "$expected")
    if [ ! -f "$work/out/$file" ]; then
        echo "render $name: $file was not drawn" >&2
        failed=1
    fi
done
exit $failed
