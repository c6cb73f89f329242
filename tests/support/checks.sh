# Counted checks for the test scripts (sourced). check <description>
# <command...> runs the command and counts it as passed or failed, naming
# a failure; summary <name> prints "<name>: N passed, M failed" and fails
# when anything failed.
passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what"
    fi
}
summary() {
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
