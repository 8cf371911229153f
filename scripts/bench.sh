#!/usr/bin/env bash
# `make bench`: our program against a bare message box program built with the
# same toolchain and flags: file size, imports, and the time from process
# start to the box being shown under Wine in Xvfb (runs alternate).
# Exits non-zero when ours is over 1.25 times the baseline's size or over 1.10
# times its median time. Where the host cannot run 32-bit code, it compares
# the two x86-64 builds instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
runs=${RUNS:-21}
rerun_in_xvfb 600 "$0"

wine_for_host "$root"
ours=$build/korvane-icon-size.exe
baseline=$build/bench-baseline.exe
imports=$root/build/host/tests/pe_image_check
wine_prefix "$root/build/bench/prefix-$wine_arch"
wine_unmanaged
trap 'wineserver -k 2>/dev/null || true' EXIT

echo "Timing $runs runs of each from ${build#"$root"/}, alternating ..."
figures=$(wine "$(windows_path "$build/korvane-e2e.exe")" bench \
    "$(windows_path "$ours")" "$(windows_path "$baseline")" "$runs" | tr -d '\r')

row() {  # NAME EXE
    local name=$1 exe=$2
    read -r _ median q1 q3 min max <<<"$(grep "^$name " <<<"$figures")"
    printf '| %-8s | %6d | %-47s | %7s | %11s | %11s |\n' "$name" "$(stat -c %s "$exe")" \
        "$("$imports" --imports "$exe")" "$median" "$q1-$q3" "$min-$max"
}
echo
printf '| %-8s | %6s | %-47s | %7s | %11s | %11s |\n' program bytes imports "median" "quartiles" "range"
printf '|%s|\n' "----------|--------|-------------------------------------------------|---------|-------------|-------------"
row ours "$ours"
row baseline "$baseline"
echo "(times in ms from CreateProcessA to the box being visible, $runs runs each)"

awk -v ours_size="$(stat -c %s "$ours")" -v base_size="$(stat -c %s "$baseline")" \
    -v ours_time="$(awk '$1=="ours"{print $2}' <<<"$figures")" \
    -v base_time="$(awk '$1=="baseline"{print $2}' <<<"$figures")" 'BEGIN {
    size = ours_size / base_size; time = ours_time / base_time
    printf "\nours/baseline: size %.3f (target at most 1.25), median time %.3f (target at most 1.10)\n", size, time
    if (size > 1.25 || time > 1.10) { print "a target is missed"; exit 1 }
    print "both targets met"
}'
