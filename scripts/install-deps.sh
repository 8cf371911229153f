#!/usr/bin/env bash
# Installs what building and testing need, and nothing when all of it is
# already there. Debian and Ubuntu: apt-get (through sudo when not root).
# 32-bit Wine, from the i386 architecture, only where the host runs 32-bit
# x86 code: elsewhere the tests run the x86-64 builds in 64-bit Wine.
set -euo pipefail
# shellcheck source=scripts/host-32bit.sh
source "$(dirname "$0")/host-32bit.sh"

packages=(
    make cmake g++ libgtest-dev cppcheck clang-tidy shellcheck
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
    g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    wine wine64 fonts-wine xvfb xauth locales fonts-ipafont-gothic netpbm zip unzip
)
locale=ja_JP.UTF-8

have_locale() { locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; }
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# 32-bit Wine only where the host can run it.
runs_32bit=0
if host_runs_32bit; then
    runs_32bit=1
    packages+=(wine32:i386)
fi

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ] && have_locale; then
    exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
    echo "install-deps: this system has no apt-get. Install these packages (Debian names) by hand:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi

if [ ${#missing[@]} -gt 0 ]; then
    if [ $runs_32bit -eq 0 ]; then
        echo "install-deps: not installing 32-bit Wine: $host_32bit_reason"
    fi
    echo "install-deps: installing ${missing[*]}"
    if [ $runs_32bit -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Japanese locale gives Wine the ANSI code page 932.
if ! have_locale; then
    echo "install-deps: generating the $locale locale"
    "${sudo[@]}" sed -i "s/^# *\($locale UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$locale UTF-8" /etc/locale.gen || echo "$locale UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
    "${sudo[@]}" locale-gen >/dev/null
fi
