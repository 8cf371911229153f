#!/usr/bin/env bash
# The read-me templates, filled in as make dist fills them for each kind of
# release (signed or not, with a download page or without), with a long
# publisher and page; and README.md, which quotes the Japanese one. Each
# row: no word or label broken across lines, the MinGW-w64 runtime's notice
# passed on, README.md's Japanese part word for word in README-ja.txt,
# whole sentences and labels, and no Japanese sentence of README.md broken
# across lines. Needs no build.
#   check-readmes.sh WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=release/windows-text.sh
source "$root/release/windows-text.sh"
work=$1
text=$root/tests/lint/readme_text.py
failures=0

row() {  # WHAT COMMAND...: ok or FAIL for WHAT, then what COMMAND said
    local what=$1 said
    shift
    if said=$("$@" 2>&1); then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
    [ -z "$said" ] || echo "$said"
}

rm -rf "$work" && mkdir -p "$work"
publisher="Korvane Update Release Signing (コルヴェイン・アップデート株式会社)"
thumbprint=0123456789ABCDEF0123456789ABCDEF01234567
sha=$(printf '%064d' 0)
for signed in yes no; do
    for page in "" "https://downloads.example.co.jp/korvane-update/releases/1.0.0/index.html?from=readme"; do
        kind="$([ "$signed" = yes ] || echo un)signed, $([ -n "$page" ] || echo "no ")download page"
        for readme in README-ja.txt README-en.txt; do
            filled=$work/${kind//[ ,]/-}-$readme
            windows_text "$root/docs/$readme.in" 1.0.0 "$sha" "$signed" "$page" "$thumbprint" "$publisher" >"$filled"
            row "$readme ($kind) breaks no word or label across lines" "$text" words "$filled"
        done
    done
done
row "README-en.txt passes on the MinGW-w64 runtime's notice" \
    grep -q "Copyright (c) 2009, 2010 by the mingw-w64 project" "$root/docs/README-en.txt.in"
row "README.md's Japanese part is word for word in README-ja.txt, and it breaks no Japanese sentence" \
    "$text" readme-md "$root/README.md" "$root/docs/README-ja.txt.in"
exit $((failures > 0))
