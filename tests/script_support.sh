# What the test scripts share, sourced by each (". tests/script_support.sh"):
# a scratch folder $work removed on exit, fail MESSAGE to count a failure,
# and finish NAME to print the verdict and exit with the number of failures.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL $1"
    failures=$((failures + 1))
}

finish() {
    [ $failures = 0 ] && echo "ok   $1"
    exit $failures
}
