#!/usr/bin/env bash
# The part of `make fresh-check`'s line that says how many tests ran and
# which were skipped, with why, from stand-ins for a release's log: each row
# gives the lines that matter of what `make test` printed there.
#   fresh-check-test.sh WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
failures=0
reason32="this host's kernel cannot run 32-bit x86 code (an i386 program fails with \"Exec format error\")"

row() {  # NAME LOG EXPECTED
    local said
    mkdir -p "$work"
    printf '%s\n' "$2" >"$work/log"
    said=$("$root/scripts/fresh-check.sh" --tests "$work/log" 2>&1) || said+=" (exit $?)"
    if [ "$said" = "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: it said \"$said\", expected \"$3\""
        failures=$((failures + 1))
    fi
}

rm -rf "$work"
row "two tests skipped for one reason are named together" "install-deps: a line before
100% tests passed, 0 tests failed out of 94
e2e.win32 skipped: $reason32
e2e.wow64 skipped: $reason32
100% tests passed, 0 tests failed out of 83" \
    "92 of 94 tests ran (and 83 again under the sanitizers); e2e.win32 and e2e.wow64 skipped ($reason32)"
row "each reason is given with the tests it skipped" "100% tests passed, 0 tests failed out of 94
e2e.win32 skipped: 32-bit Wine is not installed (no /usr/lib/wine/wine)
e2e.wow64 skipped: 32-bit Wine does not start
100% tests passed, 0 tests failed out of 83" \
    "92 of 94 tests ran (and 83 again under the sanitizers); e2e.win32 skipped (32-bit Wine is not installed (no /usr/lib/wine/wine)); e2e.wow64 skipped (32-bit Wine does not start)"
row "a host that runs everything" "100% tests passed, 0 tests failed out of 94
100% tests passed, 0 tests failed out of 83" "94 of 94 tests ran (and 83 again under the sanitizers), none skipped"
row "failures are counted, and the skips still named" "97% tests passed, 3 tests failed out of 96
e2e.win32 skipped: $reason32" "95 of 96 tests ran, 3 failed; e2e.win32 skipped ($reason32)"
row "a run that stopped before its tests" "make: *** [Makefile:23: exe] Error 1" "no test results"
exit $((failures > 0))
