#!/usr/bin/env bash
# Runs every end-to-end scenario: the real program under Wine, in a fresh
# prefix, in an Xvfb X server, driven by korvane-e2e.exe.
#   run-e2e.sh win32|wow64|x64 DRIVER_EXE PROGRAM_EXE PREFIX_DIR
# win32: the 32-bit program in a 32-bit prefix. wow64: the 32-bit program in
# a 64-bit prefix, as 64-bit Windows runs it. x64: the x86-64 build in a
# 64-bit prefix, run by the x86-64 loader alone. The first two need a host
# that runs 32-bit x86 code; elsewhere they say why and exit 77, which CTest
# reports as skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"

usage() {
    echo "usage: run-e2e.sh win32|wow64|x64 DRIVER_EXE PROGRAM_EXE PREFIX_DIR" >&2
    exit 2
}

[ $# -eq 4 ] || usage
kind=$1 driver=$2 program=$3 prefix=$4
case $kind in
win32) arch=win32 ;;
wow64 | x64) arch=win64 ;;
*) usage ;;
esac
if [ "$kind" != x64 ] && ! host_runs_32bit; then
    echo "skipped: $host_32bit_reason; e2e.x64 runs the x86-64 build instead"
    exit 77
fi
for exe in "$driver" "$program"; do
    [ -f "$exe" ] || { echo "missing $exe: build it with \`make test\`" >&2; exit 1; }
done

rerun_in_xvfb 420 "$0" "$@"

rm -rf "$prefix"
wine_use "$arch"
wine_env "$prefix"
trap 'wineserver -k 2>/dev/null || true' EXIT
wine_prefix "$prefix"
wine_unmanaged
wineserver --wait
echo "$kind: $(basename "$program") in a fresh $arch prefix"
wine "$(windows_path "$driver")" scenarios "$(windows_path "$program")"
