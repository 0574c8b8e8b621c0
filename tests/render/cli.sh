#!/bin/sh
# kel --render, --render-dir and --render-hidden from the command line:
# exit statuses, what is written and what is kept, links between the
# pictures, nothing run, and file names and box texts that try to add
# markup.
#   tests/render/cli.sh KEL
set -u
. "$(dirname "$0")/../script_support.sh"
kel=$1

# A picture must parse as XML: xmllint when it is here, else Python's parser.
well_formed() {
    if command -v xmllint >/dev/null 2>&1; then
        xmllint --noout "$1" 2>/dev/null
    else
        python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' "$1" 2>/dev/null
    fi
}

# expect NAME STATUS COMMAND...: the exit status of the command.
expect() {
    name=$1 status=$2
    shift 2
    got=0
    timeout 60 "$@" >"$work/out" 2>"$work/err" </dev/null || got=$?
    if [ "$got" != "$status" ]; then
        fail "$name: exit status $got, expected $status"
        cat "$work/out" "$work/err"
        return 1
    fi
    echo "ok   $name"
}

cat >"$work/patch.pat" <<'PATCH'
kel v2;
#N vpatcher 20 74 320 214;
#P newex 20 20 60 196617 loadbang;
#P newex 20 60 60 196617 print ran;
#N vpatcher 40 90 240 190;
#P inlet 20 10 15;
#P pop;
#P newobj 120 60 60 196617 p inside;
#P connect 2 0 1 0;
#P connect 2 0 0 0;
#P pop;
PATCH

# Usage mistakes.
expect "render without a file" 2 "$kel" --render "$work/x.svg"
grep -q -- "--render" "$work/err" || fail "render without a file: stderr does not name --render"
expect "render-dir without a file" 2 "$kel" --render-dir "$work/d"
expect "render-hidden alone" 2 "$kel" --render-hidden "$work/patch.pat"
[ -e "$work/x.svg" ] && fail "a usage error wrote a picture"

# A picture, and nothing run: the loadbang does not reach print.
expect "render" 0 "$kel" --render "$work/patch.svg" "$work/patch.pat"
grep -q "ran" "$work/out" && fail "render ran the patch"
well_formed "$work/patch.svg" || fail "render: not well-formed"
grep -q "<title>patch.pat ([0-9]* bytes)</title>" "$work/patch.svg" || fail "render: the title lacks the file's name and size"
grep -q "xlink:href" "$work/patch.svg" && fail "render without --render-dir links to files it did not write"

# --render-dir: one picture per patcher, the subpatcher's box linked to its own.
expect "render-dir" 0 "$kel" --render-dir "$work/pictures" "$work/patch.pat"
[ -f "$work/pictures/patch.svg" ] && [ -f "$work/pictures/patch-1.svg" ] || fail "render-dir: files missing: $(ls "$work/pictures")"
grep -q 'xlink:href="patch-1.svg"' "$work/pictures/patch.svg" || fail "render-dir: the subpatcher box is not linked"
grep -q "<title>patch.pat ([0-9]* bytes): inside</title>" "$work/pictures/patch-1.svg" ||
    fail "render-dir: the subpatcher's title"
# With --render the top-level picture goes to OUT and links into the folder.
mkdir "$work/docs"
expect "render and render-dir" 0 "$kel" --render "$work/docs/top.svg" --render-dir "$work/docs/sub" "$work/patch.pat"
grep -q 'xlink:href="sub/patch-1.svg"' "$work/docs/top.svg" || fail "render and render-dir: link from OUT into the folder"
[ -f "$work/docs/sub/patch.svg" ] && fail "render and render-dir: the top-level picture drawn twice"

# A bpatcher shows its file: drawn with the file's name, and linked to the
# picture of what it loaded.
cat >"$work/view.pat" <<'PATCH'
#N vpatcher 20 74 220 174;
#P inlet 20 10 15;
#P newex 20 40 100 196617 print viewed;
#P connect 1 0 0 0;
#P pop;
PATCH
cat >"$work/holder.pat" <<'PATCH'
#N vpatcher 20 74 320 214;
#P bpatcher 20 20 100 60 0 0 view.pat 0;
#P pop;
PATCH
expect "bpatcher" 0 "$kel" --render-dir "$work/views" "$work/holder.pat"
grep -q '>view.pat</text>' "$work/views/holder.svg" || fail "bpatcher: the file's name is not drawn"
grep -q 'xlink:href="holder-1.svg"' "$work/views/holder.svg" || fail "bpatcher: not linked to its picture"
grep -q 'print viewed' "$work/views/holder-1.svg" || fail "bpatcher: the picture of its file"

# Render and save at once.
expect "render and save" 0 "$kel" --save "$work/saved.pat" --render "$work/both.svg" "$work/patch.pat"
[ -s "$work/saved.pat" ] && [ -s "$work/both.svg" ] || fail "render and save: a file is missing"

# Failures: statuses as for --save, an old picture kept.
echo "old picture" >"$work/old.svg"
expect "missing file" 1 "$kel" --render "$work/old.svg" "$work/nothing-here.pat"
[ "$(cat "$work/old.svg")" = "old picture" ] || fail "missing file: the old picture was not kept"
expect "no such folder" 1 "$kel" --render "$work/no/such/folder/x.svg" "$work/patch.pat"
grep -q "could not be written" "$work/out" || fail "no such folder: no console error"
cp "$work/patch.pat" "$work/self.pat"
expect "OUT is FILE" 1 "$kel" --render "$work/self.pat" "$work/self.pat"
cmp -s "$work/patch.pat" "$work/self.pat" || fail "OUT is FILE: the patch was replaced by its picture"
grep -q "it is the patch being drawn" "$work/out" || fail "OUT is FILE: no console error"
mkdir "$work/taken.svg"
expect "OUT is a folder" 1 "$kel" --render "$work/taken.svg" "$work/patch.pat"
[ -d "$work/taken.svg" ] || fail "OUT is a folder: the folder was replaced"
: >"$work/plainfile"
expect "render-dir is a file" 1 "$kel" --render-dir "$work/plainfile" "$work/patch.pat"

# A file name and box texts that try to add markup or script: the picture
# stays well-formed and holds them only as text. The bytes 01 and FF are
# not XML text at all.
hostile=$(printf 'x"><script>alert(1)&amp;\001\377.pat')
cat >"$work/$hostile" <<'PATCH'
#N vpatcher 20 74 320 214;
#P message 20 20 200 196617 <script>alert(1)</script> "q" 'a' &lt;;
#P objectname "/><script>x</script>;
#P comment 20 60 200 196617 </text></svg><svg onload=alert(1)> ]]>;
#P newex 20 100 200 196617 <img src=x onerror=alert(1)>;
#P pop;
PATCH
expect "hostile names" 0 "$kel" --render "$work/hostile.svg" "$work/$hostile"
well_formed "$work/hostile.svg" || fail "hostile names: not well-formed"
grep -q "<script\|<img\|<svg onload\|<text></svg" "$work/hostile.svg" && fail "hostile names: markup got through"
grep -q "&lt;script&gt;" "$work/hostile.svg" || fail "hostile names: the text is not shown escaped"

# Hidden boxes and cords: omitted, unless asked for.
cat >"$work/hidden.pat" <<'PATCH'
#N vpatcher 20 74 320 214;
#P newex 20 20 50 196617 t b b;
#P hidden newex 20 60 50 196617 print hb;
#P newex 100 60 50 196617 print shown;
#P hidden connect 2 1 0 0;
#P pop;
PATCH
expect "hidden omitted" 0 "$kel" --render "$work/h1.svg" "$work/hidden.pat"
grep -q "print hb\|polyline" "$work/h1.svg" && fail "hidden omitted: a hidden box or cord is drawn"
expect "hidden drawn" 0 "$kel" --render-hidden --render "$work/h2.svg" "$work/hidden.pat"
grep -q "print hb" "$work/h2.svg" && grep -q 'class="cord[ t]* hid"' "$work/h2.svg" || fail "hidden drawn: missing"

# A patch of 10,000 boxes: every box drawn, every cord.
awk 'BEGIN {
    print "#N vpatcher 20 74 1020 874;"
    for (i = 0; i < 10000; i++) printf "#P newex %d %d 50 196617 t b;\n", (i % 100) * 60, int(i / 100) * 30
    for (i = 1; i < 10000; i++) printf "#P connect %d 0 %d 0;\n", i, i - 1
    print "#P pop;"
}' >"$work/big.pat"
expect "10,000 boxes" 0 "$kel" --render "$work/big.svg" "$work/big.pat"
[ "$(grep -c '<rect class="obj"' "$work/big.svg")" = 10000 ] || fail "10,000 boxes: not every box drawn"
[ "$(grep -c '<polyline' "$work/big.svg")" = 9999 ] || fail "10,000 boxes: not every cord drawn"
finish "render command line"
