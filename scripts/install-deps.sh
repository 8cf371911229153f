#!/usr/bin/env bash
# Installs what building and testing need, and nothing when all of it is
# already there. Debian and Ubuntu: apt-get (through sudo when not root).
set -euo pipefail

packages=(
    make cmake g++ libgtest-dev cppcheck clang-tidy
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
    wine wine32:i386 fonts-wine xvfb xauth locales fonts-ipafont-gothic netpbm
)
locale=ja_JP.UTF-8

have_locale() { locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; }

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

need_i386=0
if ! dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then
    need_i386=1
fi

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
    echo "install-deps: installing ${missing[*]}"
    if [ $need_i386 -eq 1 ]; then
        # 32-bit Wine comes from the i386 architecture.
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
