# Counted checks for the shell test scripts, sourced by them:
#
#   pass NAME, fail NAME    count one check and say so
#   check NAME COMMAND...   the command's status decides; what it printed is
#                           shown below the verdict, indented
#   skip NAME WHY           a check that cannot be made here, and why
#   finish_checks           the counts; status 0 only if nothing failed
passed=0 failed=0 skipped=0
pass() { echo "PASS: $1" && passed=$((passed + 1)); }
fail() { echo "FAIL: $1" && failed=$((failed + 1)); }
skip() { echo "SKIP: $1: $2" && skipped=$((skipped + 1)); }

check() {
    local name=$1 output
    shift
    if output=$("$@" 2>&1); then pass "$name"; else fail "$name"; fi
    [ -z "$output" ] || echo "$output" | sed 's/^/  /'
}

finish_checks() {
    [ "$skipped" -eq 0 ] || echo "$skipped skipped"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
