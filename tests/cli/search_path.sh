#!/bin/sh
# The search path and file names of the kel program, seen from the command
# line: which folders are searched and in what order, that no tree is walked
# that nobody named, that an installed kel finds its externals, and that file
# names are the system's.
#   tests/cli/search_path.sh KEL BUILD_DIR
set -u
kel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build=$(cd "$2" && pwd)
tally="$build/examples/externals/tally.kle"
nomain="$build/tests/externals/nomain.kle"  # a library without main: refused when it is the one found
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Nothing of the user's own set-up takes part.
unset KEL_PATH
export XDG_DATA_HOME="$work/data"

fail() {
    echo "FAIL $1"
    [ -f "$work/out" ] && cat "$work/out"
    failures=$((failures + 1))
}

# expect NAME PATTERN ABSENT -- COMMAND...: standard output must hold a line
# matching PATTERN (a fixed string) and none matching ABSENT (when not empty).
expect() {
    name=$1 pattern=$2 absent=$3
    shift 4
    "$@" >"$work/out" 2>&1 </dev/null
    if ! grep -qF -- "$pattern" "$work/out"; then fail "$name: no '$pattern'"; return; fi
    if [ -n "$absent" ] && grep -qF -- "$absent" "$work/out"; then fail "$name: '$absent'"; return; fi
    echo "ok   $name"
}

# patch FILE BOX...: a patcher whose loadbang goes through the boxes in turn,
# the last one a print.
patch() {
    file=$1
    shift
    mkdir -p "$(dirname "$file")"
    {
        echo "#N vpatcher 20 74 820 674;"
        echo "#P newex 20 20 60 196617 loadbang;"
        for box in "$@"; do echo "#P newex 20 40 60 196617 $box;"; done
        i=$#
        while [ $i -gt 0 ]; do echo "#P connect $i 0 $((i - 1)) 0;"; i=$((i - 1)); done
        echo "#P pop;"
    } >"$file"
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# --- no tree is walked that nobody named ---
mkdir -p "$work/busy"
(cd "$work/busy" && seq 1 10000 | sed 's/^/d/' | xargs mkdir)
cp "$tally" "$work/busy/d5000/"
patch "$work/busy/empty.pat" "print never"
best=100000
for run in 1 2 3; do
    start=$(now_ms)
    (cd "$work/busy" && "$kel" --batch --virtual-time empty.pat >"$work/out" 2>&1 </dev/null)
    took=$(($(now_ms) - start))
    [ $took -lt $best ] && best=$took
done
if [ $best -lt 100 ]; then echo "ok   start in a folder of 10,000 folders: ${best} ms"; else
    fail "start in a folder of 10,000 folders took ${best} ms"; fi
patch "$work/busy/counts.pat" "tally 10" "print got"
expect "sub-folders of the working folder are not searched" "tally: No such object" "got: 11" \
    -- sh -c "cd '$work/busy' && exec '$kel' --batch --virtual-time counts.pat"

# --- order: beside the document, working folder, --path, KEL_PATH, per-user ---
patch "$work/doc/counts.pat" "tally 10" "print got"
mkdir -p "$work/empty" "$work/named" "$work/listed" "$work/cwd"
cp "$nomain" "$work/named/tally.kle"
run_in() { dir=$1; shift; (cd "$dir" && exec "$kel" --batch --virtual-time "$@"); }
expect "the build tree is not searched" "tally: No such object" "got: 11" \
    -- run_in "$work/empty" "$work/doc/counts.pat"
expect "a later folder is reached" "undefined main" "got: 11" \
    -- run_in "$work/empty" --path "$work/named" "$work/doc/counts.pat"
cp "$tally" "$work/doc/tally.kle"
expect "beside the document beats --path" "got: 11" "undefined main" \
    -- run_in "$work/empty" --path "$work/named" "$work/doc/counts.pat"
rm "$work/doc/tally.kle"
cp "$tally" "$work/cwd/tally.kle"
expect "the working folder beats --path" "got: 11" "undefined main" \
    -- run_in "$work/cwd" --path "$work/named" "$work/doc/counts.pat"
mkdir -p "$work/listed/deep/er"
cp "$tally" "$work/listed/deep/er/tally.kle"
expect "KEL_PATH folders with their sub-folders" "got: 11" "undefined main" \
    -- env KEL_PATH="$work/empty::$work/listed" "$kel" --batch --virtual-time "$work/doc/counts.pat"
expect "--path before KEL_PATH" "undefined main" "got: 11" \
    -- env KEL_PATH="$work/listed" "$kel" --batch --virtual-time --path "$work/named" "$work/doc/counts.pat"
expect "a missing KEL_PATH folder is reported" "$work/gone: no such folder" "" \
    -- env KEL_PATH="$work/gone" "$kel" --batch --virtual-time "$work/doc/counts.pat"
mkdir -p "$work/data/kel/externals"
cp "$tally" "$work/data/kel/externals/tally.kle"
expect "the per-user folder with its sub-folders" "got: 11" "no such folder" \
    -- run_in "$work/empty" "$work/doc/counts.pat"
rm -r "$work/data/kel"

# --- an installed kel finds its externals by name from any folder ---
if cmake --install "$build" --prefix "$work/prefix" >"$work/out" 2>&1; then
    expect "installed kel finds the example externals" "got: 11" "No such object" \
        -- sh -c "cd '$work/empty' && exec '$work/prefix/bin/kel' --batch --virtual-time '$work/doc/counts.pat'"
else
    fail "cmake --install"
fi

# --- file names are the system's ---
patch "$work/names/日本.pat" "print jp"
patch "$work/names/привет.pat" "print ru"
patch "$work/names/Łódź/sub.pat" "print pl"
expect "Japanese file name" "jp: bang" "error" -- run_in "$work/names" 日本.pat
expect "Cyrillic file name, full" "ru: bang" "error" -- run_in "$work/empty" "$work/names/привет.pat"
expect "Polish folder name" "pl: bang" "error" -- run_in "$work/names" Łódź/sub.pat
patch "$work/uses/main.pat" "привет"
expect "found by name on the search path" "ru: bang" "No such object" \
    -- run_in "$work/empty" --path "$work/names" "$work/uses/main.pat"
expect "a missing name is shown once" "нет.pat: error opening file" "" -- run_in "$work/empty" нет.pat
expect "a missing folder is shown once" "Łódź-нет: no such folder" "" \
    -- run_in "$work/empty" --path Łódź-нет
run_in "$work/names" 日本.pat --save "$work/names/出力.pat" >"$work/out" 2>&1 </dev/null
if [ -s "$work/names/出力.pat" ]; then echo "ok   saved under a Japanese name"; else fail "save under a Japanese name"; fi

exit $failures
