# shellcheck shell=bash
# shellcheck disable=SC2034  # what it sets is for the suites that source it
# Sourced by the release's suites (download-check.sh, signing-check.sh,
# verify-check.sh), which share the arguments VERSION EXE WORK_DIR: the
# version and the program under test, and a directory in which each suite
# has a directory of its own, which it makes afresh, and reads the ones of
# the suites before it (CTest runs them in that order, as fixtures):
#   WORK_DIR/download   the unsigned release, and one naming a download page
#   WORK_DIR/signing    the throwaway keys, the signed releases, impostors'
#   WORK_DIR/verifying  the hostile releases and what verify-release said
# A release directory holds what `make dist` wrote (the zip, the buildinfo
# and, when signed, the signature) and, in unpacked/, the zip's files.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# What make dist does is up to each run here, not to the caller's shell.
mapfile -t signing_variables <"$root/release/signing-variables"
unset "${signing_variables[@]}" DOWNLOAD_URL KORVANE_DOWNLOAD_URL
# The program and the work directory as absolute paths: verify-check.sh runs
# verify-release from a directory of its own.
version=$1
exe=$(realpath -e -- "$2")
work=$(realpath -m -- "$3")
download=$work/download signing=$work/signing keys=$work/signing/keys impostors=$work/signing/impostors
unsigned=$download/unsigned signed=$signing/signed  # the releases made without and with a key
name=korvane-icon-size
failures=0
# The throwaway signer's subject, as Windows shows it.
throwaway_subject='CN=Korvane Throwaway Signer, O="コルヴェイン試験, Inc.", C=JP'
# A download page with what a sed replacement or a shell would read.
# shellcheck disable=SC2016  # the $(id) is the page's own
page='https://downloads.example.co.jp:8443/korvane-update/?v=1.0&from=readme;x=%7E#$(id)'

check() {  # WHAT COMMAND...: ok or FAIL for WHAT by COMMAND's status, then what it said
    local what=$1 said
    shift
    if said=$("$@" 2>&1); then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
    if [ -n "$said" ]; then
        echo "$said"
    fi
}

# DIRECTORY: made afresh, for this suite alone.
afresh() { rm -rf "$1" && mkdir -p "$1"; }

zip_of() { echo "$1/$name-$version.zip"; }
buildinfo_of() { echo "$1/$name-$version.buildinfo"; }
signature_of() { echo "$1/$name-$version.exe.sig"; }
# RELEASE FIELD: the lines of the FIELD of its buildinfo, as verify-release reads them.
buildinfo_field() { /usr/bin/python3 -IB "$root/release/buildinfo.py" field "$(buildinfo_of "$1")" "$2"; }
sha256() { sha256sum "$1" | cut -d' ' -f1; }
# CERTIFICATE ALGORITHM: its fingerprint, as openssl gives it.
fingerprint() { openssl x509 -in "$1" -noout -fingerprint "-$2" | sed 's/^.*=//'; }

# DIRECTORY: stand-ins first on PATH, in DIRECTORY/recorders, note every
# command line of the tools that are handed secrets, as `ps` would show it,
# in DIRECTORY/command-lines.log, then run the real tool; one for bwrap,
# through which toolchain.sh starts every command in the toolchain root,
# notes them in DIRECTORY/started-in-root.log, which rows clear and read.
# All that make dist says goes to DIRECTORY/dist-output.log.
record_in() {
    recorders=$1/recorders commands=$1/command-lines.log in_root=$1/started-in-root.log dist_log=$1/dist-output.log
    mkdir -p "$recorders"
    recorder osslsigncode "$commands" && recorder openssl "$commands" && recorder bwrap "$in_root"
}
recorder() {  # TOOL LOG: $recorders/TOOL, which notes its command line in LOG and runs TOOL
    printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec %s "$@"\n' "$2" "$(command -v "$1")" >"$recorders/$1" &&
        chmod +x "$recorders/$1"
}

# VARIABLE=VALUE... -- DIST_ARGUMENTS...: dist.sh with these variables, with
# the recorders first on PATH; what it says goes to the log, and is printed
# as well when it fails.
dist_sh() {
    local settings=() output status=0
    while [ "$1" != -- ]; do
        settings+=("$1")
        shift
    done
    shift
    output=$(env PATH="$recorders:$PATH" "${settings[@]}" "$root/release/dist.sh" "$@" 2>&1) || status=$?
    echo "$output" >>"$dist_log"
    [ $status -eq 0 ] || echo "$output"
    return $status
}

# RELEASE VARIABLE=VALUE...: `make dist` of the program under test into
# RELEASE with these variables, and its files unpacked.
dist_with() {
    local release=$1
    shift
    mkdir -p "$release/unpacked"
    dist_sh "$@" -- "$version" "$exe" "$release" &&
        unzip -q -o "$(zip_of "$release")" -d "$release/unpacked"
}

listed_exactly() {  # RELEASE
    local listing
    listing=$(unzip -Z1 "$(zip_of "$1")")
    [ "$listing" = $'korvane-icon-size.exe\nREADME-ja.txt\nREADME-en.txt\nLICENSE.txt\nSHA256SUMS' ] ||
        { echo "  the zip holds: ${listing//$'\n'/, }"; return 1; }
}

checksums_accepted() { (cd "$1/unpacked" && sha256sum --quiet -c SHA256SUMS); }

# RELEASE [SUBJECT FINGERPRINT]: the buildinfo names the zip beside it and
# the program in it by their SHA-256 and size, the commit checked out here,
# and the release and packages of the toolchain root that built the
# program; when the program is signed, also the signature beside the zip,
# the program before signing (the program under test), the signer (SUBJECT,
# and its certificate's SHA-256 FINGERPRINT) and osslsigncode's version;
# when it is not, none of those.
buildinfo_true() {
    local release=$1 problems=() file
    field() { buildinfo_field "$release" "$1"; }
    names() { field Checksums-Sha256 | grep -qx "$(sha256 "$1") $(stat -c %s "$1") $(basename "$1")"; }
    [ "$(field Version)" = "$version" ] || problems+=("Version: \"$(field Version)\"")
    [ "$(field Git-Commit)" = "$(git -C "$root" rev-parse HEAD)" ] || problems+=("Git-Commit: $(field Git-Commit)")
    for file in "$(zip_of "$release")" "$release/unpacked/$name.exe"; do
        names "$file" || problems+=("no checksum line for $(basename "$file") as it is")
    done
    [ "$(field Toolchain-Release)" = "$("$root/scripts/toolchain.sh" release)" ] ||
        problems+=("Toolchain-Release: $(field Toolchain-Release)")
    [ "$(field Installed-Build-Depends)" = "$("$root/scripts/toolchain.sh" versions)" ] ||
        problems+=("Installed-Build-Depends is not the toolchain root's: $(field Installed-Build-Depends)")
    field Installed-Build-Depends | grep -q '^g++-mingw-w64-i686-win32 ' || problems+=("no compiler in Installed-Build-Depends")
    if [ $# -gt 1 ]; then
        names "$(signature_of "$release")" || problems+=("no checksum line for the signature")
        field Unsigned-Checksums-Sha256 |
            grep -qx "$(sha256 "$exe") $(stat -c %s "$exe") $name.exe" || problems+=("no unsigned checksum line")
        [ "$(field Signer-Subject)" = "$2" ] || problems+=("Signer-Subject: $(field Signer-Subject)")
        [ "$(field Signer-Sha256-Fingerprint)" = "$3" ] ||
            problems+=("Signer-Sha256-Fingerprint: $(field Signer-Sha256-Fingerprint)")
        [ "$(field Signed-With)" = "osslsigncode (= $(dpkg-query -W -f='${Version}' osslsigncode))" ] ||
            problems+=("Signed-With: $(field Signed-With)")
    else
        for file in Unsigned-Checksums-Sha256 Signer-Subject Signer-Sha256-Fingerprint Signed-With Timestamp-URL; do
            [ -z "$(field "$file")" ] || problems+=("the program is not signed, but the buildinfo gives $file")
        done
    fi
    [ ${#problems[@]} -eq 0 ] || { printf '  %s\n' "${problems[@]}"; return 1; }
}
