#!/usr/bin/env bash
# What `make fresh-check` says of a release's tests, from stand-ins for the
# results CTest wrote in its checkout (each row gives the tests that did not
# simply pass); and which container runtime its container case uses, or why
# it skips that, from stand-ins for podman, docker and runc.
#   fresh-check-test.sh WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
failures=0
reason32="this host's kernel cannot run 32-bit x86 code (an i386 program fails with \"Exec format error\")"
skip="notrun|SKIP_RETURN_CODE=77"

# FILE RESULTS: a results file as CTest writes it (see tests/CMakeLists.txt's
# presets) from RESULTS, "-" for none: its first line the number of tests that
# passed, then one line per other test, "NAME|STATUS|MESSAGE|OUTPUT" (STATUS
# as CTest writes it, MESSAGE its <skipped> one; OUTPUT is XML already).
results() {
    local file=$1 n name status message output
    [ "$2" != - ] || return 0
    mkdir -p "$(dirname "$file")"
    {
        printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuite name="Linux-c++"\n\ttests="0"\n\t>\n'
        for ((n = 1; n <= $(head -n 1 <<<"$2"); n++)); do
            printf '\t<testcase name="unit.%d" classname="unit.%d" time="0.01" status="run">\n' $n $n
            printf '\t\t<system-out>[       OK ] unit.%d</system-out>\n\t</testcase>\n' $n
        done
        while IFS='|' read -r name status message output; do
            printf '\t<testcase name="%s" classname="%s" time="0.2" status="%s">\n' "$name" "$name" "$status"
            [ -z "$message" ] || printf '\t\t<skipped message="%s"/>\n' "$message"
            [ "$status" != fail ] || printf '\t\t<failure message=""/>\n'
            printf '\t\t<system-out>%s\n</system-out>\n\t</testcase>\n' "$output"
        done < <(tail -n +2 <<<"$2")
        printf '</testsuite>'
    } >"$file"
}

check() {  # NAME SAID EXPECTED
    if [ "$2" = "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: it said \"$2\", expected \"$3\""
        failures=$((failures + 1))
    fi
}

row() {  # NAME HOST_RESULTS SANITIZER_RESULTS EXPECTED
    local build=$work/${1//[^a-z0-9]/-}/build said
    results "$build/host/ctest-results.xml" "$2"
    results "$build/host-sanitize/ctest-results.xml" "$3"
    said=$("$root/scripts/fresh-check.sh" --tests "$build" 2>&1) || said+=" (exit $?)"
    check "$1" "$said" "$4"
}

# Stand-ins for podman and docker, whose `info` answers when $PODMAN or
# $DOCKER is "up", and fails as with no engine otherwise; and for runc.
write_container_stand_ins() {  # DIR
    mkdir -p "$1"
    cat >"$1/podman" <<'EOF'
#!/bin/sh
case "$*" in
"info --format {{.Host.OCIRuntime.Name}}") echo crun ;;
info) [ "$PODMAN" = up ] || { echo "Error: cannot connect to Podman: no such file or directory" >&2; exit 125; } ;;
esac
EOF
    cat >"$1/docker" <<'EOF'
#!/bin/sh
case "$*" in
"info --format {{.DefaultRuntime}}") echo runc ;;
info) [ "$DOCKER" = up ] || {
    echo "Cannot connect to the Docker daemon at unix:///var/run/docker.sock. Is the docker daemon running?" >&2
    exit 1
} ;;
esac
EOF
    printf '#!/bin/sh\n' >"$1/runc"
    chmod +x "$1"/*
}

# NAME PODMAN DOCKER RUNC EXPECTED: podman and docker "-" (not installed), "up"
# or "down"; runc "yes" or "no".
container_row() {
    local bin=$work/${1//[^a-z0-9]/-}/bin tool said
    mkdir -p "$bin"
    # Only what `fresh-check.sh --container` runs, so that the host's own
    # podman or docker is not found.
    for tool in bash dirname head timeout; do ln -s "$(command -v "$tool")" "$bin/$tool"; done
    [ "$2" = - ] || ln -s "$work/containers/podman" "$bin/podman"
    [ "$3" = - ] || ln -s "$work/containers/docker" "$bin/docker"
    [ "$4" = no ] || ln -s "$work/containers/runc" "$bin/runc"
    said=$(PATH=$bin PODMAN=$2 DOCKER=$3 bash "$root/scripts/fresh-check.sh" --container 2>&1) || said+=" (exit $?)"
    check "$1" "$said" "$5"
}

rm -rf "$work"
row "two tests skipped for one reason are named together" "92
e2e.win32|$skip|skipped: $reason32
e2e.wow64|$skip|skipped: $reason32" 83 \
    "92 of 94 tests ran (and 83 again under the sanitizers); e2e.win32 and e2e.wow64 skipped ($reason32)"
row "each reason is given with the tests it skipped" "92
e2e.win32|$skip|skipped: 32-bit Wine is not installed (no /usr/lib/wine/wine)
e2e.wow64|$skip|skipped: 32-bit Wine does not start" 83 \
    "92 of 94 tests ran (and 83 again under the sanitizers); e2e.win32 skipped (32-bit Wine is not installed (no /usr/lib/wine/wine)); e2e.wow64 skipped (32-bit Wine does not start)"
row "a host that runs everything" 94 83 "94 of 94 tests ran (and 83 again under the sanitizers), none skipped"
row "failures are counted, and the skips still named" "92
release.signing|fail||FAIL the zip holds: a.exe
e2e.x64|fail||x64: 2 launches that Wine refused were tried again
e2e.make-run|fail||FAIL make run exited 1; it said:
e2e.win32|$skip|skipped: $reason32" - "95 of 96 tests ran, 3 failed; e2e.win32 skipped ($reason32)"
row "a test that could not run failed, and was not skipped" "94
exe.pe_image|notrun|Fixture dependency failed|Failed test dependencies: release.signing
release.signing|fail||FAIL" 83 "96 of 96 tests ran, 2 failed (and 83 again under the sanitizers), none skipped"
row "failures under the sanitizers are counted" 94 "81
unit.x|fail||[  FAILED  ] unit.x
unit.y|fail||AddressSanitizer: heap-buffer-overflow" \
    "94 of 94 tests ran (and 83 again under the sanitizers, 2 failed), none skipped"
row "a skipped test that says no reason" "93
e2e.win32|$skip|" 83 "93 of 94 tests ran (and 83 again under the sanitizers); e2e.win32 skipped (no reason given)"
row "a reason is shown escaped" "93
e2e.win32|$skip|skipped: no Wine&#x85;&#x202e;exe.txt" - \
    "93 of 94 tests ran; e2e.win32 skipped (no Wine\\x85\\u202eexe.txt)"
row "a run that stopped before its tests" - - "no test results"
row "results that are not well-formed" "94
e2e.win32|$skip|<oops" 83 \
    "test results not readable: $work/results-that-are-not-well-formed/build/host/ctest-results.xml is not XML: not well-formed (invalid token): line 290, column 0"

write_container_stand_ins "$work/containers"
container_row "neither podman nor docker" - - yes "skipped: neither podman nor docker is installed"
container_row "docker without its engine" - down yes \
    "skipped: docker is installed but not usable (\`docker info\`: Cannot connect to the Docker daemon at unix:///var/run/docker.sock. Is the docker daemon running?)"
container_row "podman, with runc" up down yes "podman (runc)"
container_row "podman without runc: its own runtime" up - no "podman (crun)"
container_row "podman broken, docker usable" down up yes "docker (runc)"
container_row "both broken: each says why" down down yes \
    "skipped: podman is installed but not usable (\`podman info\`: Error: cannot connect to Podman: no such file or directory); docker is installed but not usable (\`docker info\`: Cannot connect to the Docker daemon at unix:///var/run/docker.sock. Is the docker daemon running?)"
exit $((failures > 0))
