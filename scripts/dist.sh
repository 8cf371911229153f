#!/usr/bin/env bash
# `make dist`: the download, OUT_DIR/korvane-icon-size-VERSION.zip, holding at
# its top level the program, its read-me in Japanese and in English, and
# SHA256SUMS over those three. The read-mes are filled in from
# docs/README-*.txt.in and written as Notepad on every Windows reads them:
# UTF-8 with a byte order mark, CRLF line ends.
# The same sources give the same bytes: every file is dated from the last
# commit (or $SOURCE_DATE_EPOCH), and stored in a fixed order, with fixed
# permissions and no extra fields.
#   dist.sh VERSION EXE OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=korvane-icon-size
readmes=(README-ja.txt README-en.txt)

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

# TEMPLATE SHA256: the read-me for Windows.
windows_text() {
    printf '\xEF\xBB\xBF'
    sed -e "s/@VERSION@/$version/g" -e "s/@SHA256@/$2/g" -e 's/$/\r/' "$1"
}

[ -f "$exe" ] || { echo "dist.sh: missing $exe: build it with \`make\`" >&2; exit 1; }
date=$(source_date)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cp "$exe" "$stage/$name.exe"
sha=$(sha256sum "$exe" | cut -d' ' -f1)
for readme in "${readmes[@]}"; do
    windows_text "$root/docs/$readme.in" "$sha" >"$stage/$readme"
done
(cd "$stage" && sha256sum "$name.exe" "${readmes[@]}" >SHA256SUMS)

chmod 644 "$stage"/*
touch -d "@$date" "$stage"/*
mkdir -p "$(dirname "$zip")"
rm -f "$zip"
# -X: no extra fields (owner, extended times); -D: no directory entries.
# Zip stores local time, so the time zone is fixed too.
(cd "$stage" && TZ=UTC zip -q -X -D "$zip" "$name.exe" "${readmes[@]}" SHA256SUMS)
echo "$zip: $(stat -c %s "$zip") bytes, SHA-256 $(sha256sum "$zip" | cut -d' ' -f1)"
