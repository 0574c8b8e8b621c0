#!/bin/sh
# kel-collective from the command line: the exact bytes it writes, the types
# it finds from a file's contents, and what it refuses (with its status, one
# line on standard error, and no output file left behind).
#   tests/cli/collective_builder.sh KEL_COLLECTIVE
set -u
tool=$1
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
in="$work/in"
out="$work/out"
mkdir "$in" "$out"

fail() {
    echo "FAIL $1"
    failures=$((failures + 1))
}

# Hex pairs, one or more to a line, on standard input: one line of them.
join_hex() {
    awk '{ for (i = 1; i <= NF; i++) printf "%s ", $i } END { print "" }'
}

# lines FILE: the number of lines in FILE.
lines() {
    awk 'END { print NR }' "$1"
}

printf 'hi\n' >"$in/a.txt"
printf 'abcde' >"$in/data"

# --- the exact bytes ---
# Two entries: "a.txt" (3 bytes, its type from its contents, no flags) and
# the 5 bytes of "data" named "b", typed "abcd", loaded and hidden. Each
# entry's bytes start at a multiple of 4; the directory follows them, at 28.
expected=$(join_hex <<'DUMP'
6b 6c 40 63 00 00 00 10 00 00 00 00 00 00 00 1c
68 69 0a 00
61 62 63 64 65 00 00 00
64 6c 73 74 00 00 00 94
64 69 72 65 00 00 00 48
66 6e 61 6d 00 00 00 10 61 2e 74 78 74 00 00 00
74 79 70 65 00 00 00 0c 54 45 58 54
6f 66 33 32 00 00 00 0c 00 00 00 10
73 7a 33 32 00 00 00 0c 00 00 00 03
66 6c 61 67 00 00 00 0c 00 00 00 00
64 69 72 65 00 00 00 44
66 6e 61 6d 00 00 00 0c 62 00 00 00
74 79 70 65 00 00 00 0c 61 62 63 64
6f 66 33 32 00 00 00 0c 00 00 00 14
73 7a 33 32 00 00 00 0c 00 00 00 05
66 6c 61 67 00 00 00 0c 00 00 00 03
DUMP
)
"$tool" "$out/two.klf" "$in/a.txt" --load --hidden --type abcd --name b "$in/data" >"$work/stdout" 2>"$work/stderr"
status=$?
if [ $status -ne 0 ]; then
    fail "two entries: status $status: $(cat "$work/stderr")"
elif [ -s "$work/stdout" ] || [ -s "$work/stderr" ]; then
    fail "two entries: printed something without --verbose"
else
    actual=$(od -An -tx1 -v "$out/two.klf" | join_hex)
    if [ "$actual" = "$expected" ]; then
        echo "ok   two entries: exact bytes"
    else
        fail "two entries: bytes differ"
        echo "expected: $expected"
        echo "actual:   $actual"
    fi
fi
# Only the output itself is left in its folder.
if [ "$(ls -A "$out")" != two.klf ]; then fail "two entries: other files beside the output: $(ls -A "$out")"; fi

# --- types from contents, seen through --verbose ---
# NAME CONTENT(printf format) TYPE: a one-entry collective of that content
# gives the entry that type; the line names the entry, its type, its flags
# and its size.
while read -r name content type size; do
    printf "$content" >"$in/$name"
    if "$tool" --verbose "$out/$name.klf" "$in/$name" >"$work/stdout" 2>"$work/stderr"; then
        line=$(cat "$work/stdout")
        want=$(printf '%s\t%s\t-\t%s' "$name" "$type" "$size")
        if [ "$line" = "$want" ]; then echo "ok   type of $name: $type"; else fail "type of $name: '$line', not '$want'"; fi
    else
        fail "type of $name: $(cat "$work/stderr")"
    fi
done <<'CASES'
elf        \177ELF\002\001\001      iLaF 7
patcher    \002\000\000\000p\000\000 kelb 7
notpatcher \002\000\000\000q\000\000 TEXT 7
oldpatcher \002\000\000\001p         TEXT 5
short      \002\000\000\000         TEXT 4
text       a\040b\n                 TEXT 4
empty      %s                       TEXT 0
CASES

# The flags named by --verbose, and a name as long as allowed (255 bytes).
long=$(awk 'BEGIN { while (length(s) < 255) s = s "n"; print s }')
if "$tool" -v "$out/flags.klf" -l -n "$long" "$in/a.txt" -H "$in/data" --load --hidden -n c "$in/data" \
    >"$work/stdout" 2>"$work/stderr"; then
    want=$(printf '%s\tTEXT\tload\t3\ndata\tTEXT\thidden\t5\nc\tTEXT\tload,hidden\t5' "$long")
    if [ "$(cat "$work/stdout")" = "$want" ]; then echo "ok   flags and a 255-byte name"; else
        fail "flags and a 255-byte name: $(cat "$work/stdout")"
    fi
else
    fail "flags and a 255-byte name: $(cat "$work/stderr")"
fi

# --- refusals ---
# refused NAME STATUS ARGUMENTS...: kel-collective exits with STATUS, says
# why on exactly one line of standard error, prints nothing else, and leaves
# nothing in the output folder (which starts empty).
refused() {
    name=$1 want=$2
    shift 2
    rm -rf "$out"
    mkdir "$out"
    "$tool" "$@" >"$work/stdout" 2>"$work/stderr"
    status=$?
    if [ $status -ne "$want" ]; then
        fail "$name: status $status, not $want: $(cat "$work/stderr")"
    elif [ "$(lines "$work/stderr")" -ne 1 ]; then
        fail "$name: $(lines "$work/stderr") lines on standard error"
    elif [ -s "$work/stdout" ]; then
        fail "$name: printed on standard output"
    elif [ -n "$(ls -A "$out")" ]; then
        fail "$name: left $(ls -A "$out")"
    else
        echo "ok   refused: $name"
    fi
}

name256=${long}n
refused "missing input" 1 "$out/x.klf" "$in/a.txt" "$in/nothing-here"
refused "a folder as input" 1 "$out/x.klf" "$in"
refused "type of 3 bytes" 1 "$out/x.klf" -t abc "$in/a.txt"
refused "type of 5 bytes" 1 "$out/x.klf" --type abcde "$in/a.txt"
refused "name with '/'" 1 "$out/x.klf" -n sub/a.txt "$in/a.txt"
refused "name with '\\'" 1 "$out/x.klf" -n 'sub\a.txt' "$in/a.txt"
refused "name with ':'" 1 "$out/x.klf" -n 'sub:a.txt' "$in/a.txt"
refused "empty name" 1 "$out/x.klf" -n '' "$in/a.txt"
refused "name of 256 bytes" 1 "$out/x.klf" -n "$name256" "$in/a.txt"
refused "input path ending in '/'" 1 "$out/x.klf" "$in/"
refused "names differing in case" 1 "$out/x.klf" "$in/a.txt" -n A.TXT "$in/data"
refused "the same name twice" 1 "$out/x.klf" "$in/a.txt" "$in/a.txt"
refused "no FILE" 2 "$out/x.klf"
refused "no OUT" 2
refused "unknown option" 2 --bogus "$out/x.klf" "$in/a.txt"
refused "entry option with no FILE after it" 2 "$out/x.klf" "$in/a.txt" --load
refused "--type without a CODE" 2 "$out/x.klf" "$in/a.txt" --type

# A refusal leaves an existing output as it was.
printf 'old' >"$out/keep.klf"
"$tool" "$out/keep.klf" "$in/a.txt" "$in/nothing-here" 2>/dev/null
if [ $? -eq 1 ] && [ "$(cat "$out/keep.klf")" = old ] && [ "$(ls -A "$out")" = keep.klf ]; then
    echo "ok   a refusal keeps the existing output"
else
    fail "a refusal keeps the existing output"
fi

# --help and --version on standard output, status 0.
for option in --help -h --version -V; do
    if "$tool" "$option" >"$work/stdout" 2>"$work/stderr" && [ -s "$work/stdout" ] && [ ! -s "$work/stderr" ]; then
        echo "ok   $option"
    else
        fail "$option"
    fi
done

if [ $failures -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "all passed"
