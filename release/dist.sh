#!/usr/bin/env bash
# `make dist`: the download, OUT_DIR/korvane-icon-size-VERSION.zip, holding at
# its top level the program, its read-me in Japanese and in English, its
# license as LICENSE.txt, and SHA256SUMS over those four. The read-mes are
# filled in from docs/README-*.txt.in, and they and the license are written
# as Notepad on every Windows reads them: UTF-8 with a byte order mark, CRLF
# line ends.
# The same sources built with the same toolchain give the same bytes: every
# file is dated from the last commit (or $SOURCE_DATE_EPOCH), and stored in a
# fixed order, with fixed permissions and no extra fields.
# Given a key (the variables in release/signing-variables; see
# docs/releasing.md), it signs the program first, with that date as the
# signing time, and the read-mes name the publisher; beside the zip goes the
# detached signature, OUT_DIR/korvane-icon-size-VERSION.exe.sig.
# SIGNATURE=FILE attaches such a signature instead, made elsewhere for the
# same program, which with the same source and toolchain gives the signed
# zip byte for byte. A timestamp, from SIGN_TIMESTAMP_URL or in SIGNATURE,
# must hold as make verify-release reads it (it covers this signature, and
# its own signature verifies), or nothing is made: one line says why,
# naming its authority's certificate.
# Beside the zip, not in it, OUT_DIR/korvane-icon-size-VERSION.buildinfo says
# what it was built from: the commit, the version, the date, the SHA-256 of
# the zip and of the program (unsigned, and signed with who signed it), and
# the Debian release and exact packages of the toolchain root (toolchain.lock)
# that built the program and made the zip, so that a published release can
# be built again byte for byte. The zip is made, and a signature attached,
# with the root's zip and osslsigncode; a key signs on this host, where it is.
# KORVANE_DOWNLOAD_URL (make dist DOWNLOAD_URL=URL), the https address of
# the page the release is published on, goes into the buildinfo as its
# Download-URL, and the read-mes send readers there for the values to
# compare; without it they tell them to ask whoever gave them the file.
# Nothing is written to OUT_DIR unless all of it can be made.
#   dist.sh VERSION EXE OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=release/authenticode.sh
source "$root/release/authenticode.sh"
# shellcheck source=release/windows-text.sh
source "$root/release/windows-text.sh"
name=korvane-icon-size
readmes=(README-ja.txt README-en.txt)
files=("$name.exe" "${readmes[@]}" LICENSE.txt)
toolchain=$root/scripts/toolchain.sh
buildinfo_format=(/usr/bin/python3 -IB "$root/release/buildinfo.py")

if [ $# -ne 3 ]; then
    echo "usage: dist.sh VERSION EXE OUT_DIR" >&2
    exit 2
fi
version=$1 exe=$2 out=$3
if ! [[ $version =~ ^[0-9]+(\.[0-9]+)*$ ]]; then
    echo "dist.sh: \"$version\" is not a version number like 1.0.0" >&2
    exit 2
fi
# The download page, in the form that the buildinfo's reader takes (see
# buildinfo.py): https, a host, and of the characters a URL may hold only
# those that need no quoting on a line of text or in a sed replacement but &
# (escaped there); no @, which in a link shown to people can hide the real host.
download_url=${KORVANE_DOWNLOAD_URL:-}
if [ -n "$download_url" ] && ! "${buildinfo_format[@]}" url "$download_url"; then
    echo "dist.sh: DOWNLOAD_URL=$(printf %q "$download_url") is not an https URL of at most 200 characters:" \
        "https://HOST[:PORT][/PATH], in letters, digits and - . _ ~ : / ? # ! \$ & ( ) * + , ; = % only" >&2
    exit 2
fi
zip=$(realpath -m "$out/$name-$version.zip")
buildinfo=${zip%.zip}.buildinfo
detached=${zip%.zip}.exe.sig

# Seconds since 1970 for every file's date.
source_date() {
    local said
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        echo "$SOURCE_DATE_EPOCH"
    elif said=$(git -C "$root" log -1 --format=%ct 2>&1); then
        echo "$said"
    else
        echo "dist.sh: cannot date the files from the last commit ($said); set SOURCE_DATE_EPOCH" >&2
        return 1
    fi
}

# PACKAGE: its version on this host, as "NAME (= VERSION)".
host_version() {
    local listed
    if ! listed=$(dpkg-query -W -f='${Package} (= ${Version})' "$1" 2>&1); then
        echo "dist.sh: cannot tell which version of $1 is installed: $listed" >&2
        return 1
    fi
    echo "$listed"
}

# ZIP EXE DATE PACKAGES: what the zip was built from, and how to build it
# again; when the program is signed, by whom, and with what (the signature
# is in the stage, under the name it will have beside the zip). buildinfo.py
# writes it, from these values, and refuses what its reader would.
write_buildinfo() {
    local commit changes tree signature_fields=() said
    commit=$(git -C "$root" rev-parse HEAD 2>/dev/null) || commit="unknown (not a git checkout)"
    changes=$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null) || true
    if [ -z "$changes" ]; then tree="as committed"; else tree="with uncommitted changes"; fi
    if [ "$signature_signed" = yes ]; then
        signature_fields=(signature="$signature_pem" unsigned="$exe" Signer-Subject="$signature_subject"
            Signer-Sha256-Fingerprint="$signature_fingerprint" Signed-With="$osslsigncode_version"
            Timestamp-URL="${SIGN_TIMESTAMP_URL:-}")
    fi
    if ! said=$("${buildinfo_format[@]}" write Source="$name" Version="$version" Git-Commit="$commit" \
        Git-Tree="$tree" Source-Date-Epoch="$3" Build-Architecture="$(dpkg --print-architecture)" \
        Toolchain-Release="$toolchain_release" zip="$1" program="$2" "${signature_fields[@]}" \
        Download-URL="$download_url" packages="$4" 2>&1 >"$stage/buildinfo"); then
        echo "dist.sh: cannot write the buildinfo: $said" >&2
        return 1
    fi
}

# Puts the program into the zip's folder in the stage, signed or with
# SIGNATURE attached if the variables ask; the facts of its signature, if
# any, are then at hand (attach_signature reads them as it checks the fit).
# A key signs a copy here, on the host; its signature is then detached and
# attached in the toolchain root, as SIGNATURE= does, so that the signed
# program depends only on the source, the lock and the signature. A
# timestamp, asked for or carried by SIGNATURE, must hold as make
# verify-release reads it, or nothing is made.
sign_in_stage() {
    local signed=$stage/zip/$name.exe
    osslsigncode_version=""
    case $signing_mode in
    none) cp "$exe" "$signed" && read_signature "$signed" "$stage/work" || return 1 ;;
    attach) attach_signature "$SIGNATURE" "$exe" "$signed" "$stage/work" || return 1 ;;
    *)
        signer_certificate_ok "$stage/work" && sign_program "$exe" "$stage/work/signed-here.exe" "$date" "$stage/work" &&
            read_signature "$stage/work/signed-here.exe" "$stage/work" &&
            cp "$signature_pem" "$stage/work/made-here.sig" &&
            attach_signature "$stage/work/made-here.sig" "$exe" "$signed" "$stage/work" \
                ${SIGN_TIMESTAMP_URL:+"SIGN_TIMESTAMP_URL=$SIGN_TIMESTAMP_URL"} || return 1
        osslsigncode_version=$(host_version osslsigncode) || return 1
        [ -n "${SIGN_TIMESTAMP_URL:-}" ] ||
            echo "dist.sh: no SIGN_TIMESTAMP_URL, so the signature holds only while the signing certificate is valid"
        ;;
    esac
}

[ -f "$exe" ] || { echo "dist.sh: missing $exe: build it with \`make\`" >&2; exit 1; }
signing_mode || exit 1
date=$(source_date)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
signature_pem=$stage/work/signature/signature.pem  # read_signature leaves it there
mkdir -p "$stage/work" "$stage/zip"
sign_in_stage || exit 1
toolchain_release=$("$toolchain" release)
toolchain_packages=$("$toolchain" versions)

sha=$(sha256sum "$stage/zip/$name.exe" | cut -d' ' -f1)
# FILE: FILE for Windows, filled in for this program.
filled_in() {
    windows_text "$1" "$version" "$sha" "$signature_signed" "$download_url" "$signature_thumbprint" \
        "$signature_publisher"
}
for readme in "${readmes[@]}"; do
    filled_in "$root/docs/$readme.in" >"$stage/zip/$readme"
done
filled_in "$root/LICENSE" >"$stage/zip/LICENSE.txt"
(cd "$stage/zip" && sha256sum "${files[@]}" >SHA256SUMS)

chmod 644 "$stage/zip"/*
touch -d "@$date" "$stage/zip"/*
# The root's zip. -X: no extra fields (owner, extended times); -D: no
# directory entries. Zip stores local time, so the time zone is fixed too.
# The root's environment is a clean one, without the $ZIP and $ZIPOPT that
# zip takes options from and `make verify-release ZIP=...` sets.
(cd "$stage/zip" && "$toolchain" run --only "$stage" env TZ=UTC zip -q -X -D "$stage/$name-$version.zip" "${files[@]}" \
    SHA256SUMS)

write_buildinfo "$stage/$name-$version.zip" "$stage/zip/$name.exe" "$date" "$toolchain_packages"

# All is made: into OUT_DIR with it, leaving no signature of an earlier zip.
mkdir -p "$(dirname "$zip")"
rm -f "$detached"
mv "$stage/$name-$version.zip" "$zip"
echo "$zip: $(stat -c %s "$zip") bytes, SHA-256 $(sha256sum "$zip" | cut -d' ' -f1)"
if [ "$signature_signed" = yes ]; then
    mv "$signature_pem" "$detached"
    echo "$detached: the detached signature, by $signature_subject"
fi
mv "$stage/buildinfo" "$buildinfo"
echo "$buildinfo: what it was built from"
