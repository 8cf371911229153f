#!/usr/bin/env bash
# `make fresh-check`: what a new user sees, on each Debian release we support.
# For each release, a minimal root made by debootstrap with the release's
# main, updates and security suites and then only a compiler, CMake, make,
# git, python3, GoogleTest, ca-certificates and sudo (made once and kept under
# build/fresh-check/), is copied afresh; a clean clone of HEAD goes in, and
# there, as root, `make run` and then `make test` run. One line per release:
# pass or fail, the time taken, and the program's size and SHA-256. Everything
# the two commands printed is in build/fresh-check/RELEASE.log.
# Needs root, for debootstrap, chroot and mounts; installs debootstrap when it
# is missing. Each root shares this host's kernel, so 32-bit code runs there
# only where it runs here.
#   fresh-check.sh [RELEASE...]     bookworm and trixie when none is named
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/fresh-check
mirror=http://deb.debian.org/debian
security_mirror=http://deb.debian.org/debian-security
tools=(g++ cmake make git python3 libgtest-dev ca-certificates sudo)
# Far longer than the two commands take on a fresh root.
limit=45m
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# Inside a mount namespace of its own (see in_root): mounts what programs
# expect, then runs the command in the root with a new user's environment.
# The root shares this host's /tmp: X servers on one host share one set of
# display numbers, and xvfb-run picks a free one by the lock files in /tmp.
if [ "${1:-}" = --enter ]; then
    target=$2
    shift 2
    mount -t proc proc "$target/proc"
    mount --rbind /sys "$target/sys"
    mount --rbind /dev "$target/dev"
    mount --bind /tmp "$target/tmp"
    cp /etc/resolv.conf "$target/etc/resolv.conf"
    exec chroot "$target" /usr/bin/env -i HOME=/root PATH=$path LANG=C.UTF-8 TERM=dumb "$@"
fi

release_name() {  # RELEASE: how people call it
    case $1 in
    bookworm) echo "Debian 12 (bookworm)" ;;
    trixie) echo "Debian 13 (trixie)" ;;
    *) echo "Debian $1" ;;
    esac
}

# in_root ROOT COMMAND...: COMMAND in ROOT. The mounts live in a mount
# namespace that ends with the command, so nothing stays mounted under build/.
in_root=(unshare --mount --propagation private -- "$0" --enter)

# Minutes and seconds, from seconds.
duration() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }

install_debootstrap() {
    command -v debootstrap >/dev/null 2>&1 && return 0
    echo "fresh-check: installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

# RELEASE BASE: the cached minimal root, made when it is not there yet.
make_base() {
    local release=$1 base=$2 log=$2.log
    [ -f "$base/.fresh-check-base" ] && return 0
    echo "fresh-check: making a minimal $(release_name "$release") root, once (log: $log)"
    rm -rf "$base"
    mkdir -p "$base"
    if ! debootstrap --variant=minbase "$release" "$base" "$mirror" >"$log" 2>&1; then
        echo "fresh-check: debootstrap of $release failed: $(tail -n 1 "$log")" >&2
        return 1
    fi
    printf 'deb %s %s main\n' "$mirror" "$release" "$mirror" "$release-updates" \
        "$security_mirror" "$release-security" >"$base/etc/apt/sources.list"
    if ! "${in_root[@]}" "$base" bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get dist-upgrade -y -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" && apt-get clean' tools "${tools[@]}" \
            >>"$log" 2>&1; then
        echo "fresh-check: could not install ${tools[*]} in the $release root: $(tail -n 1 "$log")" >&2
        return 1
    fi
    touch "$base/.fresh-check-base"
}

# RELEASE: one fresh run, and its line.
check_release() {
    local release=$1 base=$work/$1.base run=$work/$1.run log=$work/$1.log
    local start status=0 run_time test_time verdict exe figures
    make_base "$release" "$base" || return 1
    rm -rf "$run"
    cp -a "$base" "$run"
    git clone --quiet --no-hardlinks "$root" "$run/root/korvane-update"
    start=$SECONDS
    timeout "$limit" "${in_root[@]}" "$run" make -C /root/korvane-update run >"$log" 2>&1 || status=$?
    run_time=$((SECONDS - start))
    if [ $status -eq 0 ]; then
        timeout "$limit" "${in_root[@]}" "$run" make -C /root/korvane-update test >>"$log" 2>&1 || status=$?
    fi
    test_time=$((SECONDS - start - run_time))
    verdict=pass
    [ $status -eq 0 ] || verdict="FAIL (exit $status, log: $log)"
    exe=$run/root/korvane-update/build/win32/korvane-icon-size.exe
    figures="no program built"
    if [ -f "$exe" ]; then
        figures="korvane-icon-size.exe $(stat -c %s "$exe" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes, SHA-256 $(sha256sum "$exe" | cut -d' ' -f1)"
    fi
    echo "$(release_name "$release"): $verdict in $(duration $((run_time + test_time))) (make run $(duration "$run_time"), make test $(duration "$test_time")); $figures"
    return $((status != 0))
}

if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-check: run it as root: it makes Debian roots with debootstrap and runs commands in them with chroot" >&2
    exit 1
fi
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(bookworm trixie)
install_debootstrap
mkdir -p "$work"
failed=0
for release in "${releases[@]}"; do
    check_release "$release" || failed=1
done
exit $failed
