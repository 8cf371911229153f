#!/usr/bin/env bash
# Installs what building and testing need, and nothing when all of it is
# already there. Debian and Ubuntu: apt-get (through sudo when not root).
set -euo pipefail

packages=(
    make cmake g++ libgtest-dev
    g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
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

echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
