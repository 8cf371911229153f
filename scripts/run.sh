#!/usr/bin/env bash
# `make run`: runs korvane-icon-size.exe under Wine and shows "Shell Icon Size"
# before and after, so that you see what it repairs.
#
# Without $WINEPREFIX it runs in the demo prefix, build/wineprefix
# (build/wineprefix64 for the x86-64 build; $KORVANE_DEMO_PREFIX elsewhere),
# made on first use, and first damages the setting on purpose: the REG_SZ
# text "0". ICON_SIZE=TEXT starts from that REG_SZ text instead, and
# ICON_SIZE=absent with no value. With $WINEPREFIX set it runs in that prefix
# and changes nothing before the run, unless ICON_SIZE is given too.
#
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
    rerun_in_xvfb 300 "$0"
fi

wine_for_host "$root"
exe=$build/korvane-icon-size.exe
driver=$(windows_path "$build/korvane-e2e.exe")

# What to do to the setting before the run: ICON_SIZE says when it is given
# (a REG_SZ text, or "absent"); else the demo prefix starts damaged, with the
# text "0", and the user's own prefix is left as it is.
prepare="set"
[ "${ICON_SIZE-}" != absent ] || prepare=remove
if [ -n "${WINEPREFIX:-}" ]; then
    wine_env "$WINEPREFIX"
    if [ -n "${ICON_SIZE+given}" ]; then
        echo "Changing \"Shell Icon Size\" in your Wine prefix $WINEPREFIX, as ICON_SIZE asks."
    else
        prepare=leave
    fi
else
    demo=$root/build/wineprefix
    [ "$wine_arch" = win32 ] || demo=$root/build/wineprefix64
    wine_prefix "${KORVANE_DEMO_PREFIX:-$demo}"
    if [ -z "${ICON_SIZE+given}" ]; then
        echo "Damaging \"Shell Icon Size\" on purpose, to the REG_SZ text \"0\", in the demo prefix only."
    fi
fi
echo "Wine prefix: $WINEPREFIX"

show_value() {
    printf '%-8s' "$1:"
    wine "$driver" value | tr -d '\r'
}

case $prepare in
set) wine "$driver" set "${ICON_SIZE-0}" ;;
remove) wine "$driver" remove ;;
esac
show_value before
if [ -n "${KORVANE_IN_XVFB:-}" ]; then
    mkdir -p "$out"
    rm -f "$out/notice.bmp" "$out/notice.txt"
    status=0
    wine "$driver" show "$(windows_path "$exe")" none \
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
