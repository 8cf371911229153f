#!/usr/bin/env bash
# `make run`: runs korvane-icon-size.exe under Wine, against $WINEPREFIX when it
# is set, else against build/wineprefix (build/wineprefix64 for the x86-64
# build), made on first use, and shows "Shell Icon Size" before and after.
# With a display you see the box and dismiss it yourself; without one the run
# happens in Xvfb, the box is saved as a screenshot, its text is printed, and
# OK is pressed for you.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
out=$root/build/run

if [ -z "${DISPLAY:-}" ]; then
    echo "No DISPLAY: running in Xvfb."
    exec "${in_xvfb[@]}" "$0" --headless
fi

wine_for_host "$root"
exe=$build/korvane-icon-size.exe
driver=$build/korvane-e2e.exe
if [ -n "${WINEPREFIX:-}" ]; then
    wine_env "$WINEPREFIX"
elif [ "$wine_arch" = win32 ]; then
    wine_prefix "$root/build/wineprefix"
else
    wine_prefix "$root/build/wineprefix64"
fi
echo "Wine prefix: $WINEPREFIX"

show_value() {
    printf '%-8s' "$1:"
    wine "$(windows_path "$driver")" value | tr -d '\r'
}

show_value before
if [ "${1:-}" = --headless ]; then
    mkdir -p "$out"
    rm -f "$out/notice.bmp" "$out/notice.txt"
    status=0
    wine "$(windows_path "$driver")" show "$(windows_path "$exe")" none \
        "$(windows_path "$out")\\notice.bmp" "$(windows_path "$out")\\notice.txt" | tr -d '\r' || status=$?
    show_value after
    wineserver -k 2>/dev/null || true
    [ $status -eq 0 ] || exit $status
    bmptopnm -quiet "$out/notice.bmp" | pnmtopng >"$out/notice.png"
    rm -f "$out/notice.bmp"
    echo "The box said: $(iconv -f CP932 -t UTF-8 "$out/notice.txt")"
    echo "Screenshot: $out/notice.png"
else
    echo "Dismiss the box to finish."
    status=0
    wine "$(windows_path "$exe")" || status=$?
    show_value after
    echo "exit code $status"
fi
