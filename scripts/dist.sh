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
# Beside the zip, not in it, OUT_DIR/korvane-icon-size-VERSION.buildinfo says
# what it was built from: the commit, the version, the date, the SHA-256 of
# the zip and of the program, and the exact packages that built the program,
# so that a published release can be built again byte for byte.
#   dist.sh VERSION EXE OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=korvane-icon-size
readmes=(README-ja.txt README-en.txt)
files=("$name.exe" "${readmes[@]}" LICENSE.txt)
# What turns the source into the program's bytes: the cross compiler, with
# libgcc and libstdc++; binutils; the mingw-w64 runtime and headers; CMake,
# which writes the command lines.
toolchain=(g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 binutils-mingw-w64-i686
    mingw-w64-i686-dev mingw-w64-common cmake)

if [ $# -ne 3 ]; then
    echo "usage: dist.sh VERSION EXE OUT_DIR" >&2
    exit 2
fi
version=$1 exe=$2 out=$3
if ! [[ $version =~ ^[0-9]+(\.[0-9]+)*$ ]]; then
    echo "dist.sh: \"$version\" is not a version number like 1.0.0" >&2
    exit 2
fi
zip=$(realpath -m "$out/$name-$version.zip")
buildinfo=${zip%.zip}.buildinfo

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

# The installed versions of the toolchain's packages, one "NAME (= VERSION),"
# per line, as Debian's own buildinfo files list them.
toolchain_versions() {
    local listed
    if ! listed=$(dpkg-query -W -f='${Package} (= ${Version}),\n' "${toolchain[@]}" 2>&1); then
        echo "dist.sh: cannot tell which toolchain built the program: $listed" >&2
        return 1
    fi
    sed '$s/,$//' <<<"$listed"
}

# ZIP EXE DATE PACKAGES: what the zip was built from, and how to build it again.
write_buildinfo() {
    local commit changes
    commit=$(git -C "$root" rev-parse HEAD 2>/dev/null) || commit="unknown (not a git checkout)"
    changes=$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null) || true
    cat <<EOF
Format: 1.0
Source: $name
Version: $version
Git-Commit: $commit
Git-Tree: $([ -z "$changes" ] && echo "as committed" || echo "with uncommitted changes")
Source-Date-Epoch: $3
Build-Architecture: $(dpkg --print-architecture)
Build-Release: $(. /etc/os-release && echo "$PRETTY_NAME")
Checksums-Sha256:
 $(sha256sum "$1" | cut -d' ' -f1) $(stat -c %s "$1") $(basename "$1")
 $(sha256sum "$2" | cut -d' ' -f1) $(stat -c %s "$2") $name.exe
Installed-Build-Depends:
 ${4//$'\n'/$'\n' }
EOF
}

# TEXT_FILE SHA256: the file for Windows, @VERSION@ and @SHA256@ filled in.
windows_text() {
    printf '\xEF\xBB\xBF'
    sed -e "s/@VERSION@/$version/g" -e "s/@SHA256@/$2/g" -e 's/$/\r/' "$1"
}

[ -f "$exe" ] || { echo "dist.sh: missing $exe: build it with \`make\`" >&2; exit 1; }
date=$(source_date)
toolchain_packages=$(toolchain_versions)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cp "$exe" "$stage/$name.exe"
sha=$(sha256sum "$exe" | cut -d' ' -f1)
for readme in "${readmes[@]}"; do
    windows_text "$root/docs/$readme.in" "$sha" >"$stage/$readme"
done
windows_text "$root/LICENSE" "$sha" >"$stage/LICENSE.txt"
(cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS)

chmod 644 "$stage"/*
touch -d "@$date" "$stage"/*
mkdir -p "$(dirname "$zip")"
rm -f "$zip"
# -X: no extra fields (owner, extended times); -D: no directory entries.
# Zip stores local time, so the time zone is fixed too.
(cd "$stage" && TZ=UTC zip -q -X -D "$zip" "${files[@]}" SHA256SUMS)
echo "$zip: $(stat -c %s "$zip") bytes, SHA-256 $(sha256sum "$zip" | cut -d' ' -f1)"
write_buildinfo "$zip" "$exe" "$date" "$toolchain_packages" >"$buildinfo"
echo "$buildinfo: what it was built from"
