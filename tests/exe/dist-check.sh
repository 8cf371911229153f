#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks below are called through check()
# Checks the download that `make dist` makes from the program under test:
# exactly the five files, the program byte for byte, checksums that
# `sha256sum -c` accepts, read-mes and license in UTF-8 with a byte order
# mark and CRLF line ends, the license the same as LICENSE, the MinGW-w64
# runtime's notice passed on, README.md's Japanese part the same as
# README-ja.txt's, and the buildinfo beside the zip true to the zip, the
# commit and the toolchain.
#   dist-check.sh VERSION EXE WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$1 exe=$2 work=$3
zip=$work/korvane-icon-size-$version.zip
buildinfo=$work/korvane-icon-size-$version.buildinfo
failures=0

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

listed_exactly() {
    local listing
    listing=$(unzip -Z1 "$zip")
    [ "$listing" = $'korvane-icon-size.exe\nREADME-ja.txt\nREADME-en.txt\nLICENSE.txt\nSHA256SUMS' ] ||
        { echo "  the zip holds: ${listing//$'\n'/, }"; return 1; }
}

checksums_accepted() { (cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS); }

first_bytes() { head -c "$1" "$2" | od -An -tx1 | tr -d ' \n'; }
last_bytes() { tail -c "$1" "$2" | od -An -tx1 | tr -d ' \n'; }

windows_text() {  # FILE
    local file=$1 bare
    iconv -f UTF-8 -t UTF-8 "$file" >/dev/null || { echo "  $file is not UTF-8"; return 1; }
    [ "$(first_bytes 3 "$file")" = efbbbf ] || { echo "  $file has no byte order mark"; return 1; }
    bare=$(grep -c -v $'\r$' "$file") || true
    if [ "$bare" -ne 0 ] || [ "$(last_bytes 2 "$file")" != 0d0a ]; then
        echo "  $file has $bare lines without CRLF, or does not end with one"
        return 1
    fi
}

# FILE: the same text as LICENSE, apart from the byte order mark and CRLF.
same_as_license() { tail -c +4 "$1" | sed 's/\r$//' | cmp - "$root/LICENSE"; }

filled_in() {  # FILE: the version and the program's SHA-256, no placeholder left
    grep -q "$version" "$1" && grep -q "$(sha256sum "$exe" | cut -d' ' -f1)" "$1" && ! grep -q '@[A-Z0-9]*@' "$1"
}

# README.md's Japanese part, between its two markers, must stand word for
# word in README-ja.txt.
readme_md_part_in_readme_ja() {
    local part template
    part=$(sed -n '/^<!-- From here to the end marker: README-ja.txt/,/^<!-- End of the part from README-ja.txt/p' \
        "$root/README.md" | sed '1d;$d')
    template=$(cat "$root/docs/README-ja.txt.in")
    [ -n "$part" ] && [[ $template == *"$part"* ]]
}

# The buildinfo names the zip beside it and the program in it by their
# SHA-256 and size, the commit checked out here, and the packages installed
# here that built the program.
buildinfo_true() {
    local problems=() file package pinned installed
    field() { sed -n "s/^$1: //p" "$buildinfo"; }
    [ "$(field Version)" = "$version" ] || problems+=("Version: \"$(field Version)\"")
    [ "$(field Git-Commit)" = "$(git -C "$root" rev-parse HEAD)" ] || problems+=("Git-Commit: $(field Git-Commit)")
    for file in "$zip" "$work/unpacked/korvane-icon-size.exe"; do
        grep -qx " $(sha256sum "$file" | cut -d' ' -f1) $(stat -c %s "$file") $(basename "$file")" "$buildinfo" ||
            problems+=("no checksum line for $(basename "$file") as it is")
    done
    while read -r package pinned; do
        pinned=${pinned#(= } pinned=${pinned%),} pinned=${pinned%)}
        installed=$(dpkg-query -W -f='${Version}' "$package" 2>&1) || true
        [ "$pinned" = "$installed" ] || problems+=("$package $pinned, but $installed is installed")
    done < <(sed -n '/^Installed-Build-Depends:/,/^[^ ]/{/^ /p}' "$buildinfo")
    grep -q '^ g++-mingw-w64-i686-win32 ' "$buildinfo" || problems+=("no compiler in Installed-Build-Depends")
    if [ ${#problems[@]} -gt 0 ]; then
        printf '  %s\n' "${problems[@]}"
        return 1
    fi
}

rm -rf "$work"
mkdir -p "$work/unpacked"
"$root/scripts/dist.sh" "$version" "$exe" "$work"
(cd "$work/unpacked" && unzip -q "$zip")

check "the zip holds the program, README-ja.txt, README-en.txt, LICENSE.txt and SHA256SUMS, and nothing else" \
    listed_exactly
check "its korvane-icon-size.exe is the program under test" cmp "$exe" "$work/unpacked/korvane-icon-size.exe"
check "sha256sum -c accepts its SHA256SUMS" checksums_accepted
for readme in README-ja.txt README-en.txt; do
    check "$readme is UTF-8 with a byte order mark and CRLF line ends" windows_text "$work/unpacked/$readme"
    check "$readme gives the version and the program's SHA-256" filled_in "$work/unpacked/$readme"
done
check "LICENSE.txt is UTF-8 with a byte order mark and CRLF line ends" windows_text "$work/unpacked/LICENSE.txt"
check "LICENSE.txt is LICENSE, apart from the byte order mark and line ends" same_as_license "$work/unpacked/LICENSE.txt"
check "README-en.txt passes on the MinGW-w64 runtime's notice" \
    grep -q "Copyright (c) 2009, 2010 by the mingw-w64 project" "$work/unpacked/README-en.txt"
check "README.md's Japanese part is word for word in README-ja.txt" readme_md_part_in_readme_ja
check "the buildinfo beside the zip gives its version, commit, checksums and toolchain" buildinfo_true
exit $((failures > 0))
