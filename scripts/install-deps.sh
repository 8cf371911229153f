#!/usr/bin/env bash
# Installs what a group of make's targets needs, and nothing when all of it is
# already there. Debian and Ubuntu: apt-get (through sudo when not root).
#   install-deps.sh GROUP...
# build (make, make exe): what makes the toolchain root and builds in it.
# host (make host, make sanitize): what builds the host's tests.
# run (make run): build's, and Wine, Xvfb, the fonts and the Japanese locale.
# dist (make dist, make verify-release): build's, and the signing tools.
# test (make test): all of those, and the test and lint tools.
# It carries on where it can: a failed `apt-get update` is only a warning,
# since apt keeps the package lists it had, and it stops only when a package
# the group needs cannot be installed, naming it.
# 32-bit Wine (wine32:i386, from the i386 architecture) comes only with run
# and test, and is optional: it is tried only where the kernel runs 32-bit
# x86 code, on its own, after the rest. When apt cannot install it (a mirror
# in the middle of a sync, or security updates that reached amd64 before
# i386), the script says why, remembers that for a day so that later runs do
# not try again each time, takes away the i386 architecture again if it
# added it, and succeeds: the tests then run the x86-64 build in 64-bit Wine.
set -euo pipefail
# shellcheck source=scripts/host-32bit.sh
source "$(dirname "$0")/host-32bit.sh"

# The Windows programs are built in a Debian root pinned by toolchain.lock
# (scripts/toolchain.sh), which mmdebstrap makes (through its unshare mode
# with uidmap, for a user without sudo) and bubblewrap runs commands in;
# python3 reads the lock (release/buildinfo.py). The host builds only the
# host tests, with g++.
build=(make mmdebstrap bubblewrap uidmap python3)
host=(cmake g++ libgtest-dev)
run=(wine wine64 fonts-wine xvfb xauth locales fonts-ipafont-gothic netpbm)
# Signing: osslsigncode and openssl; for keys in a PKCS#11 token, OpenSSL's
# PKCS#11 engine; signatures and published zips are read with python3, whose
# cryptography checks certificates and signatures. (The zip is made in the
# toolchain root.)
dist=(osslsigncode openssl libengine-pkcs11-openssl python3 python3-cryptography)
# The signing tests make a token with SoftHSM2, set it up with p11tool
# (gnutls-bin) and answer timestamp queries from python3; the Python code is
# tested with pytest and linted with pyflakes.
test=(cppcheck clang-tidy shellcheck zip unzip softhsm2 gnutls-bin python3-pytest pyflakes3)
wine32=wine32:i386
locale=ja_JP.UTF-8
retry_hours=24
apt_log=$korvane_build/apt.log

have_locale() { locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; }

# not_installed PACKAGE...: those of the PACKAGEs (NAME or NAME:ARCH) that are
# not installed, one per line, asking dpkg once. A bare NAME counts only when
# it is installed for this machine's own architecture (or for all): a library
# installed for i386 alone does not build or run anything here.
not_installed() {
    local -A present=()
    local native package architecture status
    native=$(dpkg --print-architecture)
    while read -r package architecture status; do
        [ "$status" = "install ok installed" ] || continue
        present[$package:$architecture]=1
        if [ "$architecture" = "$native" ] || [ "$architecture" = all ]; then
            present[$package]=1
        fi
    done < <(dpkg-query -W -f='${Package} ${Architecture} ${Status}\n' "$@" 2>/dev/null || true)
    for package; do
        [ -n "${present[$package]:-}" ] || echo "$package"
    done
}

# Whether a failed install of 32-bit Wine is recent enough not to try again.
wine32_failure_remembered() {
    [ -s "$wine32_install_note" ] && [ -n "$(find "$wine32_install_note" -mmin -$((retry_hours * 60)))" ]
}

# One line of apt's log that says what went wrong: the first error (first)
# or the last (last), else its last line.
apt_reason() {
    local errors
    errors=$(grep '^E: ' "$apt_log") || { tail -n 1 "$apt_log"; return 0; }
    if [ "$1" = first ]; then head -n 1 <<<"$errors"; else tail -n 1 <<<"$errors"; fi
}

# apt-get ARGS, with its output in $apt_log.
apt_get() {
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "$@" >"$apt_log" 2>&1
}

update_package_lists() {
    if ! apt_get update -qq; then
        echo "install-deps: warning: apt-get update failed, going on with the package lists apt already has: $(apt_reason first)"
    fi
}

# Installs PACKAGES together; when apt refuses, tries each one alone to name
# the ones it cannot install, and stops.
install_required() {
    apt_get install -y -q --no-install-recommends "$@" && return 0
    local package failed=()
    for package in $(not_installed "$@"); do
        if ! apt_get install -y -q --no-install-recommends "$package"; then
            echo "install-deps: cannot install $package: $(apt_reason last)" >&2
            failed+=("$package")
        fi
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "install-deps: the build needs ${failed[*]}; all that apt said: $apt_log" >&2
        exit 1
    fi
}

install_wine32() {
    if apt_get install -y -q --no-install-recommends "$wine32"; then
        rm -f "$wine32_install_note"
        return 0
    fi
    local reason
    reason="apt could not install $wine32 on $(date '+%Y-%m-%d %H:%M'): $(apt_reason last)"
    echo "$reason" >"$wine32_install_note"
    echo "install-deps: $reason (all that apt said: $apt_log)"
    echo "install-deps: going on without 32-bit Wine; the tests use the x86-64 build in 64-bit Wine instead." \
        "Not trying again for $retry_hours hours; to try now, delete $wine32_install_note"
    [ $added_i386 -eq 0 ] || remove_added_i386
}

# This run added the i386 architecture for 32-bit Wine, which apt then could
# not install: takes it away again, so that the user's own `apt-get update`
# does not fetch i386 package lists that nothing here uses (and fail with
# them while the mirror's i386 part is out of date). Only while nothing of
# i386 is in dpkg's database; a later try adds it again.
remove_added_i386() {
    local in_use said
    in_use=$(dpkg-query -W -f='${Package} ${Architecture} ${Status}\n' |
        awk '$2 == "i386" && $NF != "not-installed" { printf "%s%s:i386", sep, $1; sep = " " }') || true
    if [ -n "$in_use" ]; then
        echo "install-deps: leaving the i386 architecture enabled: dpkg still holds $in_use"
    elif said=$("${sudo[@]}" dpkg --remove-architecture i386 2>&1); then
        echo "install-deps: removed the i386 architecture again, which this run had added for 32-bit Wine"
    else
        echo "install-deps: warning: could not remove the i386 architecture this run had added: $said"
    fi
}

usage() {
    echo "usage: install-deps.sh GROUP...   (GROUP: build, host, run, dist or test)" >&2
    exit 2
}

# GROUP...: the packages that the GROUPs need, each once, in $required; and
# in $wine, 1 when they run Wine.
resolve_groups() {
    local group all=()
    [ $# -gt 0 ] || usage
    wine=0
    for group; do
        case $group in
        build) all+=("${build[@]}") ;;
        host) all+=("${host[@]}") ;;
        run) all+=("${build[@]}" "${run[@]}"); wine=1 ;;
        dist) all+=("${build[@]}" "${dist[@]}") ;;
        test) all+=("${build[@]}" "${host[@]}" "${run[@]}" "${dist[@]}" "${test[@]}"); wine=1 ;;
        *) usage ;;
        esac
    done
    mapfile -t required < <(printf '%s\n' "${all[@]}" | awk '!seen[$0]++')
}

resolve_groups "$@"

# One question to dpkg, 32-bit Wine included: when everything is there,
# that is all this script does.
asked=("${required[@]}")
[ $wine -eq 0 ] || asked+=("$wine32")
missing=()
wine32_missing=0
while read -r package; do
    if [ "$package" = "$wine32" ]; then wine32_missing=1; else missing+=("$package"); fi
done < <(not_installed "${asked[@]}")

# 32-bit Wine only for the groups that run Wine, and only where the kernel
# can run it. Whether it is installed and starts is for the scripts that run
# Wine to ask.
try_wine32=0
if [ $wine -eq 0 ]; then
    :
elif ! kernel_runs_32bit; then
    [ ${#missing[@]} -eq 0 ] || echo "install-deps: not installing 32-bit Wine: $host_32bit_reason"
elif [ $wine32_missing -eq 1 ]; then
    if wine32_failure_remembered; then
        echo "install-deps: not trying to install 32-bit Wine again yet: $(head -n 1 "$wine32_install_note");" \
            "to try now, delete $wine32_install_note"
    else
        try_wine32=1
    fi
fi

# The Japanese locale gives Wine the ANSI code page 932.
need_locale=0
[ $wine -eq 0 ] || have_locale || need_locale=1

if [ ${#missing[@]} -eq 0 ] && [ $try_wine32 -eq 0 ] && [ $need_locale -eq 0 ]; then
    exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
    echo "install-deps: this system has no apt-get. Install these packages (Debian names) by hand:" >&2
    [ $try_wine32 -eq 0 ] || missing+=("$wine32 (optional)")
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
mkdir -p "$korvane_build"

added_i386=0
if [ ${#missing[@]} -gt 0 ] || [ $try_wine32 -eq 1 ]; then
    if [ $try_wine32 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
        added_i386=1
    fi
    update_package_lists
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]} (apt's output: $apt_log)"
    install_required "${missing[@]}"
fi
if [ $try_wine32 -eq 1 ]; then
    echo "install-deps: installing $wine32"
    install_wine32
fi

if [ $need_locale -eq 1 ]; then
    echo "install-deps: generating the $locale locale"
    "${sudo[@]}" sed -i "s/^# *\($locale UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$locale UTF-8" /etc/locale.gen || echo "$locale UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
    "${sudo[@]}" locale-gen >/dev/null
fi
