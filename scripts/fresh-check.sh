#!/usr/bin/env bash
# `make fresh-check`: what a new user sees, on each Debian release we support.
# For each release, a minimal root made by mmdebstrap with the release's
# main, updates and security suites and then only a compiler, CMake, make,
# git, python3, GoogleTest, ca-certificates and sudo (made once and kept under
# build/fresh-check/), is copied afresh; a clean clone of HEAD goes in, and
# there, as root, `make run`, `make test` and `make dist` run. Then, where
# podman or docker is installed and its engine answers, the same three run
# once more in a default container (no added capabilities, the runtime's
# default seccomp profile) made from the Debian 12 root, as many people
# first try a project. One line per release, and one for the container:
# pass or fail, the time taken, how many tests ran and which were skipped and
# why (from CTest's results), and the SHA-256 of the program and of the zip;
# the container's line names the runtime that ran it, or says why that case
# was skipped. Everything they printed is in build/fresh-check/RELEASE.log
# (container.log). Since every release builds in the same pinned toolchain
# root, the program and the zip must be the same bytes on all of them, and
# the first release's zip, with its buildinfo, must get `verdict: MATCH`
# from `make verify-release` on each other release: it fails when they do
# not.
# Needs root, for mmdebstrap and the mounts; installs mmdebstrap, bubblewrap
# and python3 when they are missing. Each root shares this host's kernel, so
# 32-bit code runs there only where it runs here.
#   fresh-check.sh [RELEASE...]     bookworm and trixie when none is named
#   fresh-check.sh --tests BUILD    the tests part of a line, from a checkout's build/
#   fresh-check.sh --container      the container case's runtime, or why it would be skipped
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/fresh-check
mirror=http://deb.debian.org/debian
security_mirror=http://deb.debian.org/debian-security
tools=(g++ cmake make git python3 libgtest-dev ca-certificates sudo)
# Far longer than the two commands take on a fresh root.
limit=45m
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# shellcheck source=scripts/fresh-check-container.sh
source "$root/scripts/fresh-check-container.sh"

release_name() {  # RELEASE: how people call it
    case $1 in
    bookworm) echo "Debian 12 (bookworm)" ;;
    trixie) echo "Debian 13 (trixie)" ;;
    *) echo "Debian $1" ;;
    esac
}

# ROOT COMMAND...: COMMAND in ROOT, stopped after $limit, as root with all
# its capabilities (the toolchain root is made there with mmdebstrap, and
# entered with bubblewrap) and a new user's environment. The mounts live in a
# mount namespace that ends with the command, so nothing stays mounted under
# build/; and ROOT is the root of that namespace, not a chroot, in which no
# sandbox could be made. The root shares this host's /tmp: X servers on one host share one set
# of display numbers, and xvfb-run picks a free one by the lock files in /tmp.
in_root() {
    local target=$1
    shift
    cp /etc/resolv.conf "$target/etc/resolv.conf"
    timeout "$limit" bwrap --bind "$target" / --dev-bind /dev /dev --proc /proc --bind /sys /sys --bind /tmp /tmp \
        --cap-add ALL --unshare-pid --unshare-ipc --unshare-uts --die-with-parent --chdir / \
        -- /usr/bin/env -i HOME=/root PATH=$path LANG=C.UTF-8 TERM=dumb "$@"
}

# Minutes and seconds, from seconds.
duration() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }

install_tools() {
    local missing=() log=$work/tools.log
    command -v mmdebstrap >/dev/null 2>&1 || missing+=(mmdebstrap)
    command -v bwrap >/dev/null 2>&1 || missing+=(bubblewrap)
    [ -x /usr/bin/python3 ] || missing+=(python3)
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "fresh-check: installing ${missing[*]}"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >"$log" 2>&1; then
        echo "fresh-check: could not install ${missing[*]}: $(tail -n 1 "$log")" >&2
        return 1
    fi
}

# RELEASE BASE: the cached minimal root, made when it is not there yet.
make_base() {
    local release=$1 base=$2 log=$2.log
    [ -f "$base/.fresh-check-base" ] && return 0
    echo "fresh-check: making a minimal $(release_name "$release") root, once (log: $log)"
    rm -rf "$base"
    if ! timeout 30m mmdebstrap --variant=minbase --include="$(IFS=,; echo "${tools[*]}")" \
            --aptopt='Acquire::Languages "none"' "$release" "$base" "deb $mirror $release main" \
            "deb $mirror $release-updates main" "deb $security_mirror $release-security main" >"$log" 2>&1; then
        echo "fresh-check: mmdebstrap could not make the $release root: $(tail -n 1 "$log")" >&2
        return 1
    fi
    touch "$base/.fresh-check-base"
}

# BUILD: how many tests `make test` ran and how many failed, and which it
# skipped, with why, as CTest's results in the checkout's BUILD directory
# say; tests skipped for the same reason are named together.
tests_summary() {
    /usr/bin/python3 -IB "$root/scripts/ctest_results.py" summary \
        "$1/host/ctest-results.xml" "$1/host-sanitize/ctest-results.xml"
}

# FILE: its size with thousands separated, and its SHA-256.
figures() { echo "$(stat -c %s "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes, SHA-256 $(sha256sum "$1" | cut -d' ' -f1)"; }

# NAME CHECKOUT LOG COMMAND...: `make run`, `make test` and `make dist`, each
# as COMMAND TARGET, and NAME's line; the SHA-256 of the program and the zip
# that they made in CHECKOUT go to $work/NAME.sha256 when all three passed.
three_commands() {
    local name=$1 checkout=$2 log=$3 start status=0 run_time test_time verdict exe zip
    shift 3
    rm -f "$work/$name.sha256"
    start=$SECONDS
    "$@" run >"$log" 2>&1 || status=$?
    run_time=$((SECONDS - start))
    [ $status -ne 0 ] || "$@" test >>"$log" 2>&1 || status=$?
    test_time=$((SECONDS - start - run_time))
    [ $status -ne 0 ] || "$@" dist >>"$log" 2>&1 || status=$?
    verdict=pass
    [ $status -eq 0 ] || verdict="FAIL (exit $status, log: $log)"
    exe=$checkout/build/win32/korvane-icon-size.exe
    zip=$(echo "$checkout"/dist/korvane-icon-size-*.zip)
    echo "$verdict in $(duration $((run_time + test_time))) (make run $(duration "$run_time"), make test" \
        "$(duration "$test_time")); $(tests_summary "$checkout/build"); program:" \
        "$([ -f "$exe" ] && figures "$exe" || echo "none built"); zip: $([ -f "$zip" ] && figures "$zip" || echo "none made")"
    [ $status -ne 0 ] || sha256sum "$exe" "$zip" | cut -d' ' -f1 >"$work/$name.sha256"
    return $((status != 0))
}

# RELEASE: one fresh run in a copy of the release's root, and its line.
check_release() {
    local release=$1 base=$work/$1.base run=$work/$1.run said status=0
    rm -f "$work/$release.sha256"
    make_base "$release" "$base" || return 1
    rm -rf "$run"
    cp -a "$base" "$run"
    git clone --quiet --no-hardlinks "$root" "$run/root/korvane-update"
    said=$(three_commands "$release" "$run/root/korvane-update" "$work/$release.log" \
        in_root "$run" make -C /root/korvane-update) || status=1
    echo "$(release_name "$release"): $said"
    return $status
}

# NAME...: whether every release (and the container) that passed built the
# same program and zip.
same_bytes() {
    local release first="" differ=()
    for release; do
        [ -f "$work/$release.sha256" ] || continue
        if [ -z "$first" ]; then
            first=$release
        elif ! cmp -s "$work/$first.sha256" "$work/$release.sha256"; then
            differ+=("$release")
        fi
    done
    if [ ${#differ[@]} -gt 0 ]; then
        echo "fresh-check: FAIL: ${differ[*]} built another program or zip than $first"
        return 1
    fi
    [ -z "$first" ] || echo "fresh-check: the program and the zip are the same bytes from every run that passed"
}

# FIRST OTHER: the zip that FIRST made, with its buildinfo, as a download
# OTHER checks with `make verify-release`.
verified_elsewhere() {
    local first=$1 other=$2 made log=$work/$2.log said
    made=$(echo "$work/$first.run/root/korvane-update/dist/korvane-icon-size-"*.zip)
    rm -rf "$work/$other.run/root/from-$first"
    mkdir -p "$work/$other.run/root/from-$first"
    cp "$made" "${made%.zip}.buildinfo" "$work/$other.run/root/from-$first/"
    said=$(in_root "$work/$other.run" make -C /root/korvane-update verify-release \
        "ZIP=/root/from-$first/$(basename "$made")" 2>&1) || true
    echo "$said" >>"$log"
    said=$(grep '^verdict: ' <<<"$said" || echo "no verdict; see $log")
    if [[ $said != "verdict: MATCH: "* ]]; then
        echo "fresh-check: FAIL: $(release_name "$other") says of the zip made on $(release_name "$first"): $said"
        return 1
    fi
    echo "fresh-check: $(release_name "$other") says of the zip made on $(release_name "$first"): ${said%% (commit*}"
}

if [ "${1:-}" = --tests ] && [ $# -eq 2 ]; then
    tests_summary "$2"
    exit 0
fi
if [ "${1:-}" = --container ] && [ $# -eq 1 ]; then
    choose_container && echo "$container_runtime" || echo "skipped: $container_trouble"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-check: run it as root: it makes Debian roots with mmdebstrap, and runs commands in them as root" >&2
    exit 1
fi
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(bookworm trixie)
mkdir -p "$work"
install_tools
trap remove_container EXIT
trap 'exit 1' INT TERM HUP
failed=0
for release in "${releases[@]}"; do
    check_release "$release" || failed=1
done
rm -f "$work/container.sha256"
if [[ " ${releases[*]} " == *" bookworm "* ]]; then
    check_container || failed=1
fi
same_bytes "${releases[@]}" container || failed=1
for release in "${releases[@]:1}"; do
    if [ -f "$work/${releases[0]}.sha256" ] && [ -f "$work/$release.sha256" ]; then
        verified_elsewhere "${releases[0]}" "$release" || failed=1
    fi
done
exit $failed
