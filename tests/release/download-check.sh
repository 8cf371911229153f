#!/usr/bin/env bash
# The unsigned download that `make dist` makes from the program under test:
# exactly the five files, the program byte for byte, checksums that
# `sha256sum -c` accepts, read-mes and license in UTF-8 with a byte order
# mark and CRLF line ends, the license the same as LICENSE, read-mes filled
# in that lead their reader on, and the buildinfo beside the zip true to the
# zip, the commit and the toolchain; then one made with a download page,
# which its read-mes and buildinfo name. It leaves both in WORK_DIR/download,
# for the suites after it.
#   download-check.sh VERSION EXE WORK_DIR
set -euo pipefail  # here too: a suite.sh that cannot be read stops the suite
# shellcheck source=tests/release/suite.sh
source "$(dirname "$0")/suite.sh"
# shellcheck source=tests/release/readme-checks.sh
source "$root/tests/release/readme-checks.sh"
afresh "$download"
record_in "$download"

check "make dist makes the unsigned download" dist_with "$unsigned"
check "the zip holds the program, README-ja.txt, README-en.txt, LICENSE.txt and SHA256SUMS, and nothing else" \
    listed_exactly "$unsigned"
check "its korvane-icon-size.exe is the program under test" cmp "$exe" "$unsigned/unpacked/$name.exe"
check "sha256sum -c accepts its SHA256SUMS" checksums_accepted "$unsigned"
for readme in README-ja.txt README-en.txt; do
    check "$readme is UTF-8 with a byte order mark and CRLF line ends" windows_file "$unsigned/unpacked/$readme"
    check "$readme gives the version and the program's SHA-256" filled_in "$unsigned/unpacked/$readme" "$exe"
done
check "README-ja.txt says plainly that the program is not signed" \
    grep -q "発行元を「不明な発行元」と表示します" "$unsigned/unpacked/README-ja.txt"
check "README-en.txt says plainly that the program is not signed" \
    grep -q "carries no digital signature" "$unsigned/unpacked/README-en.txt"
check "the read-mes: at SmartScreen, no publisher to expect but the SHA-256 first; the SHA-256 computed, then compared" \
    readmes_lead_on "$unsigned"
check "README-ja.txt sends its reader only to sections it has" \
    sections_referred_to_exist "$unsigned/unpacked/README-ja.txt"
check "without a download page, the read-mes send readers to whoever gave them the file, and the buildinfo names none" \
    download_page_named "$unsigned" 1
check "LICENSE.txt is UTF-8 with a byte order mark and CRLF line ends" windows_file "$unsigned/unpacked/LICENSE.txt"
check "LICENSE.txt is LICENSE, apart from the byte order mark and line ends" \
    same_as_license "$unsigned/unpacked/LICENSE.txt"
check "README-en.txt passes on the MinGW-w64 runtime's notice" \
    grep -q "Copyright (c) 2009, 2010 by the mingw-w64 project" "$unsigned/unpacked/README-en.txt"
check "the buildinfo beside the zip gives its version, commit, checksums and toolchain" buildinfo_true "$unsigned"
check "no signature beside the unsigned zip" test ! -e "$(signature_of "$unsigned")"

check "make dist names the download page in the unsigned read-mes" \
    dist_with "$download/unsigned-url" KORVANE_DOWNLOAD_URL="$page"
check "the unsigned read-mes name it once, and the buildinfo gives it" \
    download_page_named "$download/unsigned-url" 1 "$page"
for readme in README-ja.txt README-en.txt; do
    check "$readme of unsigned-url is filled in" \
        filled_in "$download/unsigned-url/unpacked/$readme" "$download/unsigned-url/unpacked/$name.exe"
done
exit $((failures > 0))
