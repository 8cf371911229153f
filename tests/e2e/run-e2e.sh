#!/usr/bin/env bash
# Runs every end-to-end scenario: the real program under Wine, in a fresh
# prefix, in an Xvfb X server, driven by korvane-e2e.exe.
#   run-e2e.sh DRIVER_EXE PROGRAM_EXE PREFIX_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env.sh"

driver=$1 program=$2 prefix=$3
for exe in "$driver" "$program"; do
    [ -f "$exe" ] || { echo "missing $exe: build it with \`make\`" >&2; exit 1; }
done

rm -rf "$prefix"
wine_env "$prefix"
trap 'wineserver -k 2>/dev/null || true' EXIT

# Inside the X server: make the prefix, tell Wine's X11 driver not to wait
# for a window manager (there is none), run the scenarios.
inside=$(cat <<'SCRIPT'
set -euo pipefail
source "$1"
wine_prefix "$WINEPREFIX"
wine_unmanaged
wineserver --wait
status=0
wine "$2" scenarios "$3" || status=$?
wineserver -k 2>/dev/null || true
exit $status
SCRIPT
)
timeout --kill-after=10 420 \
    "${in_xvfb[@]}" \
    bash -c "$inside" run-e2e "$here/../../scripts/wine-env.sh" "$(windows_path "$driver")" "$(windows_path "$program")"
