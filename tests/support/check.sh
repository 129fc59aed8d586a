# Results for bash test scripts (sourced): `check NAME STATUS` prints ok or FAILED for a status
# of 0 or not; `checks_done NAME` prints the tally and ends the script, with 1 if any failed.
passed=0 failed=0
check() {
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "ok: $1"
    else
        failed=$((failed + 1))
        echo "FAILED: $1"
    fi
}
checks_done() {
    echo "$1: $passed passed, $failed failed"
    [ $failed -eq 0 ]
    exit
}
