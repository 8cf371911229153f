#!/usr/bin/env bash
# Two clean builds of the program, from two copies of the source at different
# paths into two different build directories, must give the same bytes as
# each other and as the build under test: no link timestamp, no path.
#   reproducible-build.sh WORK_DIR EXE
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1 exe=$2

rm -rf "$work"
mkdir -p "$work/elsewhere/source"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/elsewhere/source" -xf -

build() {  # SOURCE BUILD_DIR
    (cd "$1" && cmake --preset win32 -B "$2" >/dev/null && cmake --build "$2" --target korvane-icon-size >/dev/null)
}
build "$root" "$work/first"
build "$work/elsewhere/source" "$work/elsewhere/second/build"

status=0
for built in "$work/first/korvane-icon-size.exe" "$work/elsewhere/second/build/korvane-icon-size.exe"; do
    if cmp "$exe" "$built"; then
        echo "same bytes: $built"
    else
        status=1
    fi
done
sha256sum "$exe"
rm -rf "$work"
exit $status
