#!/usr/bin/env bash
# `make screenshots`: the success and the failure box of the real program
# under Wine in Xvfb, saved as docs/notice-succeeded.png and docs/notice-failed.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
rerun_in_xvfb 300 "$0"

wine_for_host "$root"
driver=$(windows_path "$build/korvane-e2e.exe")
exe=$(windows_path "$build/korvane-icon-size.exe")
work=$root/build/screenshots
mkdir -p "$work"
wine_prefix "$work/prefix-$wine_arch"
wine_unmanaged
trap 'wineserver -k 2>/dev/null || true' EXIT

for shot in repair:succeeded missing-key:failed; do
    prepare=${shot%%:*} name=${shot#*:}
    wine "$driver" show "$exe" "$prepare" "$(windows_path "$work")\\$name.bmp" "$(windows_path "$work")\\$name.txt" >/dev/null
    bmptopnm -quiet "$work/$name.bmp" | pnmtopng -compression 9 >"$root/docs/notice-$name.png"
    echo "docs/notice-$name.png: $(iconv -f CP932 -t UTF-8 "$work/$name.txt")"
done
