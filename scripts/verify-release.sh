#!/usr/bin/env bash
# `make verify-release ZIP=FILE`: whether a published zip holds this source's
# build of the program. It reads the buildinfo and the detached signature
# beside the zip when they are there, checks SHA256SUMS in the zip, says who
# signed the program and whether the signature's digest matches it, removes
# the signature and compares the program byte for byte with the one built
# here from the checked-out commit, and then the whole zip with the one
# `make dist` makes here from that signature. When the program differs, it
# names what differs between the buildinfo and this machine: the commit, the
# Debian release, the toolchain's package versions.
# One line per check, then one line with the verdict; it exits 0 only when
# every check passed.
#   verify-release.sh VERSION BUILT_EXE ZIP   (VERSION: this source's)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/authenticode.sh
source "$root/scripts/authenticode.sh"
name=korvane-icon-size

if [ $# -ne 3 ] || [ -z "$3" ]; then
    echo "usage: make verify-release ZIP=korvane-icon-size-VERSION.zip" >&2
    exit 2
fi
version=$1 built=$2 zip=$3
buildinfo=${zip%.zip}.buildinfo
detached=${zip%.zip}.exe.sig
first_failure=""

[ -f "$zip" ] || { echo "verify-release: no such file: $zip" >&2; exit 2; }
[ -f "$built" ] || { echo "verify-release: missing $built: build it with \`make\`" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed() { echo "ok   $1"; }
failed() {  # WHAT [DETAIL...]
    echo "FAIL $1"
    [ -n "$first_failure" ] || first_failure=$1
    shift
    [ $# -eq 0 ] || printf '  %s\n' "$@"
}
verdict() {
    if [ -z "$first_failure" ]; then
        echo "verdict: MATCH: the program in $(basename "$zip") is this source's build ($1)"
        exit 0
    fi
    echo "verdict: NO MATCH: $first_failure"
    exit 1
}

# FIELD: the buildinfo's value of FIELD, or nothing.
field() { [ ! -f "$buildinfo" ] || sed -n "s/^$1: //p" "$buildinfo"; }

# The lines of the buildinfo's list FIELD, without their leading space.
field_lines() { [ ! -f "$buildinfo" ] || sed -n "/^$1:\$/,/^[^ ]/{s/^ //p}" "$buildinfo"; }

# FILE NAME: whether the buildinfo's checksum lines name FILE's SHA-256 and
# size for NAME.
buildinfo_names() {
    local line
    line="$(sha256sum "$1" | cut -d' ' -f1) $(stat -c %s "$1") $2"
    field_lines Checksums-Sha256 | grep -qxF "$line"
}

here_commit() {
    local commit
    commit=$(git -C "$root" rev-parse HEAD 2>/dev/null) || { echo "no git checkout"; return 0; }
    if [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
        commit+=" with uncommitted changes"
    fi
    echo "$commit"
}

# What differs between the buildinfo and this machine, one line each.
differences() {
    local release here package pinned installed
    release=$(field Git-Commit) here=$(here_commit)
    [ "$release" = "$here" ] || echo "commit $release (release) vs $here (here)"
    release=$(field Build-Release) here=$(. /etc/os-release && echo "$PRETTY_NAME")
    [ "$release" = "$here" ] || echo "Debian $release (release) vs $here (here)"
    release=$(field Build-Architecture) here=$(dpkg --print-architecture)
    [ "$release" = "$here" ] || echo "build architecture $release (release) vs $here (here)"
    while read -r package pinned; do
        pinned=${pinned#(= } pinned=${pinned%),} pinned=${pinned%)}
        installed=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || installed="not installed"
        [ "$pinned" = "$installed" ] || echo "$package $pinned (release) vs $installed (here)"
    done < <(field_lines Installed-Build-Depends)
}

# The rest of the zip: what `make dist` makes here with the program's own
# signature, dated as the buildinfo says (else as `make dist` dates it here).
check_whole_zip() {
    local what="the whole zip is byte for byte the one \`make dist\` makes here with that signature"
    local signature="" date again=$work/again differing variable unset=()
    for variable in "${signing_variables[@]}"; do
        unset+=(-u "$variable")
    done
    [ "$signature_signed" = no ] || signature=$signature_pem
    date=$(field Source-Date-Epoch)
    if ! env "${unset[@]}" SIGNATURE="$signature" \
        ${date:+SOURCE_DATE_EPOCH="$date"} "$root/scripts/dist.sh" "$version" "$built" "$again" \
        >"$work/again.log" 2>&1; then
        failed "$what" "make dist could not: $(tail -n 1 "$work/again.log")"
        return
    fi
    if cmp -s "$again/$name-$version.zip" "$zip"; then
        passed "$what"
        return
    fi
    mkdir -p "$again/unpacked"
    unzip -q "$again/$name-$version.zip" -d "$again/unpacked"
    differing=$(cd "$work/unpacked" && for file in *; do
        cmp -s "$file" "$again/unpacked/$file" || printf ' %s' "$file"
    done)
    [ -n "$differing" ] || differing=" none of the files, so the dates or the order of the zip's entries"
    failed "$what" "these differ:$differing"
}

echo "$zip: $(stat -c %s "$zip") bytes, SHA-256 $(sha256sum "$zip" | cut -d' ' -f1)"
mkdir -p "$work/unpacked"
if ! said=$(unzip -q "$zip" -d "$work/unpacked" 2>&1) || [ ! -f "$work/unpacked/$name.exe" ]; then
    failed "the zip unpacks and holds $name.exe" "${said:-it holds: $(unzip -Z1 "$zip" | tr '\n' ' ')}"
    verdict
fi
program=$work/unpacked/$name.exe
signature_pem=$work/signature/signature.pem  # read_signature leaves it there

if [ -f "$buildinfo" ]; then
    if buildinfo_names "$zip" "$(basename "$zip")"; then
        passed "the buildinfo beside the zip names it by its SHA-256 and size"
    else
        failed "the buildinfo beside the zip names it by its SHA-256 and size" "$buildinfo names another zip"
    fi
else
    echo "     no buildinfo beside the zip ($(basename "$buildinfo")): how the release was built is not known here"
fi

if said=$(cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS 2>&1) &&
    grep -q " $name.exe\$" "$work/unpacked/SHA256SUMS"; then
    passed "SHA256SUMS in the zip matches its files"
else
    failed "SHA256SUMS in the zip matches its files" "${said:-SHA256SUMS does not list $name.exe}"
fi

read_signature "$program" "$work" || { failed "the program and its signature can be read"; verdict; }
unsigned=$program
if [ "$signature_signed" = yes ]; then
    echo "     signed by $signature_subject (certificate SHA-256 fingerprint $signature_fingerprint)"
    if [ "$signature_timestamp" = yes ]; then
        echo "     timestamped: the signature outlives its certificate"
    elif [ -n "$signature_timestamp" ]; then
        echo "     timestamped $signature_timestamp: the signature outlives its certificate"
    else
        echo "     not timestamped: the signature holds only while its certificate is valid"
    fi
    if [ "$signature_digest" = "$program_digest" ]; then
        passed "the signature's digest matches the program"
    else
        failed "the signature's digest matches the program" \
            "the signature signs Authenticode SHA-256 $signature_digest; the program's is $program_digest"
    fi
    if [ -f "$detached" ]; then
        if cmp -s "$signature_pem" "$detached"; then
            passed "the .exe.sig beside the zip is the program's signature"
        else
            failed "the .exe.sig beside the zip is the program's signature" "$detached is another signature"
        fi
    fi
    unsigned=$work/unsigned.exe
    remove_signature "$program" "$unsigned" || { failed "the signature can be removed"; verdict; }
else
    echo "     the program is not signed"
    [ ! -f "$detached" ] || failed "the program carries the signature beside the zip" "$detached is there, but the program is not signed"
fi

if [ -f "$unsigned" ] && cmp -s "$unsigned" "$built"; then
    passed "without its signature, the program is byte for byte the one built here from $(here_commit)"
    check_whole_zip
else
    mapfile -t differs < <([ ! -f "$buildinfo" ] || differences)
    if [ ! -f "$buildinfo" ]; then
        differs=("no buildinfo says how the release was built")
    elif [ ${#differs[@]} -eq 0 ]; then
        differs=("the buildinfo's commit, release and toolchain are this machine's, so the program is not what they build")
    fi
    failed "without its signature, the program is byte for byte the one built here" \
        "SHA-256 $(sha256sum "$unsigned" | cut -d' ' -f1) (release) vs $(sha256sum "$built" | cut -d' ' -f1) (here)" \
        "${differs[@]}"
fi

if [ "$signature_signed" = yes ]; then
    verdict "commit $(here_commit), signed by $signature_subject"
fi
verdict "commit $(here_commit), unsigned"
