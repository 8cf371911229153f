#!/usr/bin/env bash
# Runs every end-to-end scenario: the real program under Wine, in a fresh
# prefix, in an Xvfb X server, driven by korvane-e2e.exe. Then it signs the
# program with a throwaway key as `make dist` does, and Windows' own check,
# WinVerifyTrust, must accept it, refuse a copy with one byte of code
# changed as tampered with, and find no signature on the unsigned program;
# and the signed program must still repair a damaged value.
#   run-e2e.sh win32|wow64|x64 DRIVER_EXE PROGRAM_EXE PREFIX_DIR [SHIPPED_EXE]
#   run-e2e.sh make-run PREFIX_DIR
# win32: the 32-bit program in a 32-bit prefix. wow64: the 32-bit program in
# a 64-bit prefix, as 64-bit Windows runs it. x64: the x86-64 build in a
# 64-bit prefix, run by the x86-64 loader alone; SHIPPED_EXE, the 32-bit
# program, is signed and checked by WinVerifyTrust there too. The first two
# need a host that runs 32-bit Windows programs; elsewhere they say why and
# exit 77, which CTest reports as skipped.
# make-run: the front door, `make run` without a display, with a fresh demo
# prefix at PREFIX_DIR: the damaged "0" before, "32" after and the box's text;
# then ICON_SIZE=48 in the same prefix, which must stay 48.
# A launch that Wine itself refuses is tried again, at most twice, by the
# driver (CreateProcessA) and by this script (wine_launch); the last line
# says how many were, and a test that needed any still passes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/wine-env.sh
source "$here/../../scripts/wine-env.sh"

usage() {
    echo "usage: run-e2e.sh win32|wow64|x64 DRIVER_EXE PROGRAM_EXE PREFIX_DIR [SHIPPED_EXE]" >&2
    echo "       run-e2e.sh make-run PREFIX_DIR" >&2
    exit 2
}

# PREFIX ICON_SIZE|- EXPECTED_LINE...: runs `make run`'s script in the demo
# prefix PREFIX, with ICON_SIZE unless "-", and requires each expected line.
make_run_shows() {
    local prefix=$1 icon_size=$2 output status=0 line missing=0 run="make run"
    shift 2
    local settings=(-u WINEPREFIX -u ICON_SIZE "KORVANE_DEMO_PREFIX=$prefix")
    if [ "$icon_size" != - ]; then
        settings+=("ICON_SIZE=$icon_size")
        run+=" ICON_SIZE=$icon_size"
    fi
    output=$(env "${settings[@]}" "$here/../../scripts/run.sh" 2>&1) || status=$?
    for line in "$@"; do
        grep -qxF -- "$line" <<<"$output" || { echo "FAIL missing line: $line"; missing=1; }
    done
    if [ $status -ne 0 ] || [ $missing -ne 0 ]; then
        echo "FAIL $run exited $status; it said:"
        echo "$output"
        return 1
    fi
    echo "ok   $run"
}

check_make_run() {
    local prefix=$1 succeeded="The box said: Korvane Update は処理を正常に終了しました。"
    rm -rf "$prefix"
    make_run_shows "$prefix" - \
        'Damaging "Shell Icon Size" on purpose, to the REG_SZ text "0", in the demo prefix only.' \
        'before: "Shell Icon Size" = REG_SZ "0" [30 00]' \
        'after:  "Shell Icon Size" = REG_SZ "32" [33 32 00]' \
        "$succeeded" &&
        make_run_shows "$prefix" 48 \
            'before: "Shell Icon Size" = REG_SZ "48" [34 38 00]' \
            'after:  "Shell Icon Size" = REG_SZ "48" [34 38 00]' \
            "$succeeded"
}

# What WinVerifyTrust answers: the signature holds, the file's digest is not
# the one signed, the file carries no signature.
trusted=0x00000000
bad_digest=0x80096010     # TRUST_E_BAD_DIGEST
no_signature=0x800B0100   # TRUST_E_NOSIGNATURE

# EXE DIR: EXE signed as `make dist` signs it, in DIR/signed.exe, and a
# copy of that with one byte of its code changed, in DIR/tampered.exe.
sign_copies() {
    mkdir -p "$2"
    sign_program "$1" "$2/signed.exe" "$(git -C "$here/../.." log -1 --format=%ct)" "$2" || return 1
    cp "$2/signed.exe" "$2/tampered.exe"
    printf '\x90' | dd of="$2/tampered.exe" bs=1 seek=$((0x500)) conv=notrunc status=none
}

# WHAT EXE DIR: what WinVerifyTrust says of EXE signed, tampered with and
# unsigned; fails unless each is as expected.
check_trust() {
    local what=$1 exe=$2 dir=$3 copy file expected said failed=0
    for copy in "signed $dir/signed.exe $trusted" "tampered $dir/tampered.exe $bad_digest" \
        "unsigned $exe $no_signature"; do
        read -r copy file expected <<<"$copy"
        said=$(wine_launch "$(windows_path "$driver")" trust "$(windows_path "$file")" | tr -d '\r')
        if [ "$said" = "$expected" ]; then
            echo "ok   WinVerifyTrust says $said of the $copy $what"
        else
            echo "FAIL WinVerifyTrust says $said of the $copy $what, expected $expected"
            failed=1
        fi
    done
    return $failed
}

# The program signed as a release is signed: Windows' check, and one run.
check_signed() {
    local work=$prefix.signing status=0 started=$SECONDS
    rm -rf "$work"
    mkdir -p "$work"
    # shellcheck source=tests/release/throwaway-keys.sh
    source "$here/../release/throwaway-keys.sh"
    # shellcheck source=release/authenticode.sh
    source "$here/../../release/authenticode.sh"
    make_throwaway_keys "$work/keys" || return 1
    unset "${signing_variables[@]}"
    export SIGN_PKCS12=$work/keys/signer.p12 SIGN_PASSWORD_FILE=$work/keys/password
    signing_mode || return 1
    { sign_copies "$program" "$work/program" && check_trust "program ($kind)" "$program" "$work/program"; } ||
        status=1
    if [ -n "$shipped" ] && [ "$shipped" != "$program" ]; then
        { sign_copies "$shipped" "$work/shipped" && check_trust "program we ship" "$shipped" "$work/shipped"; } ||
            status=1
    fi
    echo "$kind: the signed program"
    run_scenarios "$work/program/signed.exe" 'REG_SZ "0" is rewritten' || status=1
    echo "$kind: the signed program's checks took $((SECONDS - started)) s"
    return $status
}

# EXE [NAME]: the driver's scenarios for EXE, or the one named; its output
# goes to driver_log too, for its count of the launches Wine refused.
run_scenarios() {
    wine_launch "$(windows_path "$driver")" scenarios "$(windows_path "$1")" "${@:2}" | tee -a "$driver_log"
}

# Counts the launches that Wine refused and were tried again: the driver's,
# from its summary lines, and wine_launch's, one line each.
report_retries() {
    local by_driver by_script
    by_driver=$(tr -d '\r' <"$driver_log" | awk '/ launches Wine refused tried again$/ { n += $5 } END { print n + 0 }')
    by_script=$(wc -l <"$KORVANE_WINE_RETRIES")
    echo "$1: $((by_driver + by_script)) launches that Wine refused were tried again"
}

if [ $# -eq 2 ] && [ "$1" = make-run ]; then
    rerun_in_xvfb 300 "$0" "$@"
    export KORVANE_WINE_RETRIES=$2.retries
    driver_log=/dev/null  # `make run` prints no summary of scenarios
    : >"$KORVANE_WINE_RETRIES"
    status=0
    check_make_run "$2" || status=1
    report_retries make-run
    exit $status
fi

[ $# -eq 4 ] || [ $# -eq 5 ] || usage
kind=$1 driver=$2 program=$3 prefix=$4 shipped=${5:-}
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
export KORVANE_WINE_RETRIES=$prefix.retries
driver_log=$prefix.driver.log
: >"$KORVANE_WINE_RETRIES"
: >"$driver_log"
wine_use "$arch"
wine_env "$prefix"
trap 'wineserver -k 2>/dev/null || true' EXIT
wine_prefix "$prefix"
wine_unmanaged
wineserver --wait
echo "$kind: $(basename "$program") in a fresh $arch prefix"
status=0
run_scenarios "$program" || status=1
check_signed || status=1
report_retries "$kind"
exit $status
