#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks below are called through check()
# Checks the download that `make dist` makes from the program under test:
# exactly the five files, the program byte for byte, checksums that
# `sha256sum -c` accepts, read-mes and license in UTF-8 with a byte order
# mark and CRLF line ends, the license the same as LICENSE, the MinGW-w64
# runtime's notice passed on, README.md's Japanese part the same as
# README-ja.txt's, and the buildinfo beside the zip true to the zip, the
# commit and the toolchain.
# Then the signed download, with throwaway keys: a key in a PKCS#12 file and
# the same key in a SoftHSM2 token, a timestamp from a local server, the
# same bytes each time, the signature detached and removed again, whom make
# dist names for signatures by certificates that took the signer's serial
# number, no secret on any command line or in any output, and a table of bad
# inputs, each of which must give its one-line error and leave the release
# directory as it was.
# Last, `make verify-release` on the genuine releases and on a table of
# hostile ones, each of which must give its verdict line and exit status in
# its time, print nothing a terminal would act on, and leave nothing behind.
# The signed release it leaves in WORK_DIR/signed is what exe.pe_image and
# exe.reproducible check further.
#   dist-check.sh VERSION EXE WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# What make dist does is up to each run here, not to the caller's shell.
mapfile -t signing_variables <"$root/release/signing-variables"
unset "${signing_variables[@]}" DOWNLOAD_URL KORVANE_DOWNLOAD_URL
version=$1 exe=$2 work=$3
name=korvane-icon-size
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

# A release directory holds what `make dist` wrote (the zip, the buildinfo
# and, when signed, the signature) and, in unpacked/, the zip's files.
zip_of() { echo "$1/$name-$version.zip"; }
buildinfo_of() { echo "$1/$name-$version.buildinfo"; }
signature_of() { echo "$1/$name-$version.exe.sig"; }
# RELEASE FIELD: the lines of the FIELD of its buildinfo, as verify-release reads them.
buildinfo_field() { /usr/bin/python3 -IB "$root/release/buildinfo.py" field "$(buildinfo_of "$1")" "$2"; }
sha256() { sha256sum "$1" | cut -d' ' -f1; }

listed_exactly() {  # RELEASE
    local listing
    listing=$(unzip -Z1 "$(zip_of "$1")")
    [ "$listing" = $'korvane-icon-size.exe\nREADME-ja.txt\nREADME-en.txt\nLICENSE.txt\nSHA256SUMS' ] ||
        { echo "  the zip holds: ${listing//$'\n'/, }"; return 1; }
}

checksums_accepted() { (cd "$1/unpacked" && sha256sum --quiet -c SHA256SUMS); }

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

# FILE PROGRAM: the version and PROGRAM's SHA-256 filled in, no placeholder
# or line of the other kind of release, or of the other kind of download
# page, left.
filled_in() {
    grep -q "$version" "$1" && grep -q "$(sha256 "$2")" "$1" && ! grep -q '@[A-Z0-9_]*@' "$1" &&
        ! grep -q '^\(un\)\?signed|\|^\(no\)\?url|' "$1"
}

# FILE: no line ends in katakana where the next line of the same paragraph
# starts with katakana: that is a word broken in two, which reads wrongly
# and which Notepad's search cannot find.
katakana_words_whole() {
    python3 - "$1" <<'EOF'
import sys
def katakana(c):
    return '\u30a0' <= c <= '\u30ff' or '\uff66' <= c <= '\uff9f'
lines = [line.strip() for line in open(sys.argv[1], encoding='utf-8-sig').read().splitlines()]
broken = [n for n in range(1, len(lines))
          if lines[n - 1] and lines[n] and katakana(lines[n - 1][-1]) and katakana(lines[n][0])]
for n in broken:
    print(f'  lines {n} and {n + 1} break a word: "{lines[n - 1]}" / "{lines[n]}"')
sys.exit(1 if broken else 0)
EOF
}

# FILE: every label in 「」 (in "" in English) opens and closes on one line:
# a label broken in two, even where no word is, cannot be found by Notepad's
# search, nor matched at a glance with the screen it names.
labels_whole() {
    python3 - "$1" <<'EOF'
import sys
split = []
for n, line in enumerate(open(sys.argv[1], encoding='utf-8-sig').read().splitlines(), 1):
    depth = 0
    for c in line:
        depth += {'「': 1, '」': -1}.get(c, 0)
        if depth < 0:
            break
    if depth != 0 or line.count('"') % 2:
        split.append(n)
        print(f'  line {n} opens or closes a label that another line ends: "{line}"')
sys.exit(1 if split else 0)
EOF
}

# FILE START NEEDED...: the paragraph that starts with START holds every
# NEEDED (the next step for a reader at the warning that START names).
paragraph_holds() {
    local paragraph needed missing=()
    paragraph=$(tr -d '\r' <"$1" | awk -v RS= -v start="$2" 'index($0, start) == 1')
    [ -n "$paragraph" ] || { echo "  no paragraph starts with $2"; return 1; }
    for needed in "${@:3}"; do
        grep -qF -- "$needed" <<<"$paragraph" || missing+=("$needed")
    done
    [ ${#missing[@]} -eq 0 ] || { echo "  the paragraph of $2 does not say: ${missing[*]}"; return 1; }
}

# FILE FROM TO COMPARE PUBLISHED: in the section from the line FROM to the
# line TO, the command that computes the program's SHA-256 comes before the
# first line that compares (COMPARE, an extended regular expression), and a
# line after it says to compare with the published value (PUBLISHED).
hash_computed_first() {
    local section computed compared published
    section=$(tr -d '\r' <"$1" | sed -n "/^$2\$/,/^$3\$/p")
    computed=$(grep -n -m 1 -F 'Get-FileHash .\korvane-icon-size.exe' <<<"$section" | cut -d: -f1)
    compared=$(grep -n -m 1 -E -- "$4" <<<"$section" | cut -d: -f1)
    published=$(grep -n -F -- "$5" <<<"$section" | tail -n 1 | cut -d: -f1)
    if [ -z "$computed" ] || [ -z "$compared" ] || [ "$compared" -le "$computed" ] ||
        [ -z "$published" ] || [ "$published" -le "$computed" ]; then
        echo "  in \"$2\": the hash is computed on line ${computed:-none}, compared first on line ${compared:-none}," \
            "compared with the published one last on line ${published:-none}"
        return 1
    fi
}

# RELEASE [signed]: the read-mes' next steps. At the SmartScreen warning:
# the publisher to expect when the program is signed (and none when it is
# not, so that nobody looks for one), and for an unknown publisher the
# SHA-256 check first. In the SHA-256 check: the hash computed before it is
# compared, with the read-me's value and the published one.
readmes_lead_on() {
    local ja=$1/unpacked/README-ja.txt en=$1/unpacked/README-en.txt
    local ja_start="「Windows によって PC が保護されました」" en_start='If Windows says "Windows protected your PC"'
    local ja_publisher="「■ デジタル署名」に記載" en_publisher='the publisher under "Digital signature"'
    paragraph_holds "$ja" "$ja_start" "「不明な発行元」" "「■ SHA-256 による確認」の手順でファイルを確認し" \
        "「開いているファイル - セキュリティの警告」" "それ以外の発行元" &&
        paragraph_holds "$en" "$en_start" '"Unknown publisher"' 'the file as "Checking the SHA-256"' \
            '"Open File - Security Warning"' 'any other publisher' &&
        if [ "${2:-}" = signed ]; then
            paragraph_holds "$ja" "$ja_start" "$ja_publisher" && paragraph_holds "$en" "$en_start" "$en_publisher"
        else
            paragraph_lacks "$ja" "$ja_start" "$ja_publisher" && paragraph_lacks "$en" "$en_start" "$en_publisher"
        fi &&
        hash_computed_first "$ja" "■ SHA-256 による確認" "■ zip ファイルの内容" "比べ|同じ|上の値" "公開されている値" &&
        hash_computed_first "$en" "Checking the SHA-256" "What the zip holds" "compare|must be|value above" "published"
}

# FILE START UNWANTED: the paragraph that starts with START does not say
# UNWANTED.
paragraph_lacks() {
    ! tr -d '\r' <"$1" | awk -v RS= -v start="$2" 'index($0, start) == 1' | grep -qF -- "$3" ||
        { echo "  the paragraph of $2 says: $3"; return 1; }
}

# FILE: every section that the Japanese read-me sends the reader to
# (「■ NAME」) is a heading of its own (a line "■ NAME").
sections_referred_to_exist() {
    local text reference missing=()
    text=$(tr -d '\r' <"$1")
    while IFS= read -r reference; do
        grep -qxF -- "${reference:1:-1}" <<<"$text" || missing+=("$reference")
    done < <(grep -o '「■ [^」]*」' <<<"$text" | sort -u)
    [ ${#missing[@]} -eq 0 ] || { echo "  no such heading: ${missing[*]}"; return 1; }
}

# RELEASE COUNT [URL]: each read-me names the download page URL on a line of
# its own COUNT times, and the buildinfo gives it as Download-URL; without
# URL, each read-me tells the reader COUNT times to ask whoever gave them the
# file, names no page, and the buildinfo gives none.
download_page_named() {
    local release=$1 count=$2 url=${3:-} readme text asked named problems=()
    local -A ask=([README-ja.txt]="（サポート窓口など）にお問い合わせください。" [README-en.txt]="Ask whoever gave you the file")
    for readme in README-ja.txt README-en.txt; do
        text=$(tr -d '\r' <"$release/unpacked/$readme")
        asked=$(grep -c -F -- "${ask[$readme]}" <<<"$text") || true
        named=$(grep -c -E '^ *https://[^ ]*$' <<<"$text") || true
        if [ -n "$url" ]; then
            [ "$(grep -c -x -F -e "  $url" -e "     $url" <<<"$text")" -eq "$count" ] && [ "$named" -eq "$count" ] &&
                [ "$asked" -eq 0 ] ||
                problems+=("$readme names a page $named times, not $count times $url, or asks whoever gave the file")
        else
            [ "$asked" -eq "$count" ] && [ "$named" -eq 0 ] ||
                problems+=("$readme asks whoever gave the file $asked times, not $count, or names $named pages")
        fi
    done
    [ "$(buildinfo_field "$release" Download-URL)" = "$url" ] ||
        problems+=("the buildinfo gives the Download-URL \"$(buildinfo_field "$release" Download-URL)\", not \"$url\"")
    [ ${#problems[@]} -eq 0 ] || { printf '  %s\n' "${problems[@]}"; return 1; }
}

# README.md's Japanese part, between its two markers (in a block of
# preformatted text, so that a web page breaks its lines as Notepad does),
# must stand word for word in README-ja.txt.
readme_md_part_in_readme_ja() {
    local part template
    part=$(sed -n '/^<!-- From here to the end marker: README-ja.txt/,/^<!-- End of the part from README-ja.txt/p' \
        "$root/README.md" | sed '1d;$d' | sed '1{/^```text$/d};${/^```$/d}')
    template=$(cat "$root/docs/README-ja.txt.in")
    [ -n "$part" ] && [[ $template == *"$part"* ]]
}

# README.md, outside its preformatted text, breaks no line after Japanese:
# a web page shows such a break as a stray space in the sentence.
readme_md_japanese_unbroken() {
    python3 - "$root/README.md" <<'PY'
import sys, unicodedata
lines, fenced, broken = open(sys.argv[1], encoding='utf-8').read().splitlines(), False, []
for n, line in enumerate(lines, 1):
    fenced ^= line.startswith('```')
    if not fenced and not line.startswith('```') and line and n < len(lines) and lines[n] \
            and unicodedata.east_asian_width(line[-1]) in 'WF':
        broken.append(n)
        print(f'  README.md breaks a Japanese sentence at line {n}: "{line}"')
sys.exit(1 if broken else 0)
PY
}

# RELEASE: the buildinfo names the zip beside it and the program in it by
# their SHA-256 and size, the commit checked out here, and the release and
# packages of the toolchain root that built the program; when the program is
# signed, also the signature beside the zip, the program before signing (the
# program under test), the signer and the version of osslsigncode that signed.
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
    if [ -f "$(signature_of "$release")" ]; then
        names "$(signature_of "$release")" || problems+=("no checksum line for the signature")
        field Unsigned-Checksums-Sha256 |
            grep -qx "$(sha256 "$exe") $(stat -c %s "$exe") $name.exe" || problems+=("no unsigned checksum line")
        [ "$(field Signer-Subject)" = "$throwaway_subject" ] ||
            problems+=("Signer-Subject: $(field Signer-Subject)")
        [ "$(field Signer-Sha256-Fingerprint)" = "$(fingerprint sha256)" ] ||
            problems+=("Signer-Sha256-Fingerprint: $(field Signer-Sha256-Fingerprint)")
        [ "$(field Signed-With)" = "osslsigncode (= $(dpkg-query -W -f='${Version}' osslsigncode))" ] ||
            problems+=("Signed-With: $(field Signed-With)")
    fi
    if [ ${#problems[@]} -gt 0 ]; then
        printf '  %s\n' "${problems[@]}"
        return 1
    fi
}

rm -rf "$work"
mkdir -p "$work/unpacked"
"$root/release/dist.sh" "$version" "$exe" "$work"
(cd "$work/unpacked" && unzip -q "$(zip_of "$work")")

check "the zip holds the program, README-ja.txt, README-en.txt, LICENSE.txt and SHA256SUMS, and nothing else" \
    listed_exactly "$work"
check "its korvane-icon-size.exe is the program under test" cmp "$exe" "$work/unpacked/$name.exe"
check "sha256sum -c accepts its SHA256SUMS" checksums_accepted "$work"
for readme in README-ja.txt README-en.txt; do
    check "$readme is UTF-8 with a byte order mark and CRLF line ends" windows_text "$work/unpacked/$readme"
    check "$readme gives the version and the program's SHA-256" filled_in "$work/unpacked/$readme" "$exe"
done
check "README-ja.txt says plainly that the program is not signed" \
    grep -q "発行元を「不明な発行元」と表示します" "$work/unpacked/README-ja.txt"
check "README-en.txt says plainly that the program is not signed" \
    grep -q "carries no digital signature" "$work/unpacked/README-en.txt"
check "README-ja.txt breaks no katakana word across lines" katakana_words_whole "$work/unpacked/README-ja.txt"
for readme in README-ja.txt README-en.txt; do
    check "$readme splits no label across lines" labels_whole "$work/unpacked/$readme"
done
check "the read-mes: at SmartScreen, no publisher to expect but the SHA-256 first; the SHA-256 computed, then compared" \
    readmes_lead_on "$work"
check "README-ja.txt sends its reader only to sections it has" sections_referred_to_exist "$work/unpacked/README-ja.txt"
check "without a download page, the read-mes send readers to whoever gave them the file, and the buildinfo names none" \
    download_page_named "$work" 1
check "LICENSE.txt is UTF-8 with a byte order mark and CRLF line ends" windows_text "$work/unpacked/LICENSE.txt"
check "LICENSE.txt is LICENSE, apart from the byte order mark and line ends" same_as_license "$work/unpacked/LICENSE.txt"
check "README-en.txt passes on the MinGW-w64 runtime's notice" \
    grep -q "Copyright (c) 2009, 2010 by the mingw-w64 project" "$work/unpacked/README-en.txt"
check "README.md's Japanese part is word for word in README-ja.txt" readme_md_part_in_readme_ja
check "README.md breaks no Japanese sentence across lines outside its preformatted part" readme_md_japanese_unbroken
check "the buildinfo beside the zip gives its version, commit, checksums and toolchain" buildinfo_true "$work"
check "no signature beside the unsigned zip" test ! -e "$(signature_of "$work")"

# --- Signed ----------------------------------------------------------------
# shellcheck source=tests/release/throwaway-keys.sh
source "$root/tests/release/throwaway-keys.sh"
keys=$work/keys
signing_log=$work/signing-output.log  # all that the signing runs say
commands=$work/command-lines.log
make_throwaway_keys "$keys"
make_throwaway_token "$keys"
signing_started=$SECONDS

# ALGORITHM: the throwaway signer's certificate fingerprint, as openssl gives it.
fingerprint() { openssl x509 -in "$keys/signer.pem" -noout -fingerprint "-$1" | sed 's/^.*=//'; }
# Its subject, as Windows shows it.
throwaway_subject='CN=Korvane Throwaway Signer, O="コルヴェイン試験, Inc.", C=JP'

# Stand-ins first on PATH note every command line of the tools that are
# handed secrets, as `ps` would show it, then run the real tool.
mkdir -p "$work/recorders"
for tool in osslsigncode openssl; do
    printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec %s "$@"\n' "$commands" "$(command -v "$tool")" \
        >"$work/recorders/$tool"
done
# And one for bwrap, through which toolchain.sh starts every command in the
# toolchain root: the rows below clear its log and read what was started.
in_root=$work/started-in-root.log
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec %s "$@"\n' "$in_root" "$(command -v bwrap)" >"$work/recorders/bwrap"
chmod +x "$work/recorders"/*
# VARIABLE=VALUE... -- DIST_ARGUMENTS...: dist.sh with these variables, with
# the recorders first on PATH; what it says goes to the signing log, and is
# printed as well when it fails.
dist_sh() {
    local settings=() output status=0
    while [ "$1" != -- ]; do
        settings+=("$1")
        shift
    done
    shift
    output=$(env PATH="$work/recorders:$PATH" "${settings[@]}" "$root/release/dist.sh" "$@" 2>&1) || status=$?
    echo "$output" >>"$signing_log"
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
with_file_key=(SIGN_PKCS12="$keys/signer.p12" SIGN_PASSWORD_FILE="$keys/password")
with_token_key=(SIGN_PKCS11_MODULE="$token_module" SIGN_KEY="$token_key" SIGN_CERTS="$keys/chain.pem"
    SIGN_PIN_FILE="$keys/pin")

# PORT_FILE SECONDS [silent]: a local timestamp server, up once its port is
# in PORT_FILE (a bounded wait); it stops by itself after SECONDS, or when
# this script ends.
servers=()
trap 'kill "${servers[@]}" 2>/dev/null || true' EXIT
start_timestamp_server() {
    local port_file=$1 tries
    "$root/tests/release/timestamp-server.py" "$keys/tsa.cnf" "${@:2}" >"$port_file" 2>>"$signing_log" &
    servers+=($!)
    for ((tries = 0; tries < 50; tries++)); do
        [ ! -s "$port_file" ] || return 0
        sleep 0.1
    done
    echo "FAIL the timestamp server gave no port within 5 s: $(tail -n 1 "$signing_log")"
    exit 1
}

# RELEASE: osslsigncode accepts the program's signature against the test CA;
# it is the throwaway signer's, with the description "Korvane Update" and the
# zip's date as its signing time.
signed_by_throwaway_key() {
    local verified date
    verified=$(osslsigncode verify -CAfile "$keys/ca.pem" -in "$1/unpacked/$name.exe" 2>&1) || true
    date=$(buildinfo_field "$1" Source-Date-Epoch)
    if ! grep -q '^Signature verification: ok' <<<"$verified" || ! grep -q 'Korvane Throwaway Signer' <<<"$verified" ||
        ! grep -q "Text description: Korvane Update\$" <<<"$verified" ||
        ! grep -q "Signing time: $(TZ=UTC date -d "@$date" '+%b %e %H:%M:%S %Y') GMT" <<<"$verified"; then
        grep -E 'Signing time|Text description|Subject|verification' <<<"$verified"
        return 1
    fi
}

unsigned_again() {  # RELEASE
    osslsigncode remove-signature -in "$1/unpacked/$name.exe" -out "$1/unsigned.exe" >/dev/null &&
        cmp "$exe" "$1/unsigned.exe"
}

# RELEASE: the signature beside the zip is PEM, and attached to the program
# under test it gives the zip's program.
detached_signature_attaches() {
    local signature
    signature=$(signature_of "$1")
    [ "$(head -n 1 "$signature")" = "-----BEGIN PKCS7-----" ] || { echo "  not PEM: $signature"; return 1; }
    osslsigncode attach-signature -sigin "$signature" -CAfile "$keys/ca.pem" -in "$exe" -out "$1/attached.exe" \
        >/dev/null && cmp "$1/attached.exe" "$1/unpacked/$name.exe"
}

has_line() { grep -qxF -- "$2"$'\r' "$1"; }  # FILE LINE: FILE, with CRLF line ends, has LINE

# RELEASE: the read-mes name the publisher by its common name, as Windows
# shows it, and give the certificate's SHA-1 thumbprint as Windows and
# PowerShell show it (40 hexadecimal capitals, no separators); they send the
# user to Windows' own verdict on the signature.
names_publisher() {
    local thumbprint ja=$1/unpacked/README-ja.txt en=$1/unpacked/README-en.txt problems=()
    thumbprint=$(fingerprint sha1 | tr -d :)
    [[ $thumbprint =~ ^[0123456789ABCDEF]{40}$ ]] || problems+=("openssl gave the thumbprint \"$thumbprint\"")
    has_line "$ja" "  発行元: Korvane Throwaway Signer" || problems+=("README-ja.txt: no publisher line")
    has_line "$ja" "  証明書の拇印: $thumbprint" || problems+=("README-ja.txt: no thumbprint line")
    has_line "$en" "  Publisher: Korvane Throwaway Signer" || problems+=("README-en.txt: no publisher line")
    has_line "$en" "  Certificate thumbprint: $thumbprint" || problems+=("README-en.txt: no thumbprint line")
    grep -q "「このデジタル署名は問題ありません。」" "$ja" ||
        problems+=("README-ja.txt does not say to look for 「このデジタル署名は問題ありません。」")
    grep -q '"This digital signature is OK."' "$en" ||
        problems+=('README-en.txt does not say to look for "This digital signature is OK."')
    ! grep -q "発行元を「不明な発行元」と表示します" "$ja" || problems+=("README-ja.txt says the program is not signed")
    if [ ${#problems[@]} -gt 0 ]; then
        printf '  %s\n' "${problems[@]}"
        return 1
    fi
}

# FILE...: no certificate subject in OpenSSL's form, which Windows writes
# otherwise: no escaped character (\, \+ \" \\ \< \> \; \= \#, or \ and two
# hexadecimal digits) and no attribute such as O= or ST=. The throwaway
# signer's organisation holds a comma and Japanese, which OpenSSL escapes.
subject_not_in_openssl_form() {
    local organisation found
    organisation=$(openssl x509 -in "$keys/signer.pem" -noout -subject -nameopt multiline,-esc_msb,utf8 |
        sed -n 's/^ *organizationName *= //p')
    [ "$organisation" = "コルヴェイン試験, Inc." ] ||
        { echo "  the throwaway signer's organisation is \"$organisation\", not one with a comma and Japanese"; return 1; }
    # grep finds nothing (1), finds something (0), or cannot read a file (2).
    if found=$(grep -nHE '\\[,+"\\<>;=#]|\\[0123456789ABCDEF]{2}|(^|[ ,])(CN|O|OU|ST|S|L|C|E|emailAddress)=' "$@" 2>&1) ||
        [ -n "$found" ]; then
        echo "  ${found//$'\n'/$'\n'  }"
        return 1
    fi
}

same_release() {  # RELEASE OTHER: the same zip and signature
    cmp "$(zip_of "$1")" "$(zip_of "$2")" && cmp "$(signature_of "$1")" "$(signature_of "$2")"
}

timestamp_verified() {  # RELEASE URL
    local verified
    verified=$(osslsigncode verify -CAfile "$keys/ca.pem" -TSA-CAfile "$keys/ca.pem" -in "$1/unpacked/$name.exe" \
        2>&1) || true
    if ! grep -q '^Timestamp Server Signature verification: ok' <<<"$verified" ||
        ! grep -q '^Signature verification: ok' <<<"$verified"; then
        tail -n 5 <<<"$verified"
        return 1
    fi
    [ "$(buildinfo_field "$1" Timestamp-URL)" = "$2" ]
}

# The secrets: the password, the PIN and the signer's private key.
secrets_kept() {
    local secret found=0
    for secret in "$(cat "$keys/password")" "$(cat "$keys/pin")" "$(sed -n 2p "$keys/signer.key")"; do
        if grep -rqaF -- "$secret" "$commands" "$signing_log" "$work/signed" "$work/signed-again" "$work/in-token" \
            "$work/timestamped"; then
            found=1
        fi
    done
    if [ "$found" -ne 0 ]; then
        echo "  a secret is in: $(grep -rlaF -f "$keys/password" -f "$keys/pin" "$work" | grep -v "^$keys/" | head)"
        return 1
    fi
}

check "make dist signs with a key in a PKCS#12 file" dist_with "$work/signed" "${with_file_key[@]}"
check "the signed zip holds the same five files, and nothing else" listed_exactly "$work/signed"
check "sha256sum -c accepts the signed zip's SHA256SUMS" checksums_accepted "$work/signed"
check "osslsigncode verify accepts the signed program against the test CA, signed as make dist signs" \
    signed_by_throwaway_key "$work/signed"
check "removing the signature gives the program under test byte for byte" unsigned_again "$work/signed"
check "the .exe.sig beside the zip is PEM, and attached to the program under test gives the signed one" \
    detached_signature_attaches "$work/signed"
check "the read-mes name the publisher, give the thumbprint as Windows shows it, and Windows' verdict to look for" \
    names_publisher "$work/signed"
check "the signed read-mes hold no subject in OpenSSL's form (its organisation has a comma and Japanese)" \
    subject_not_in_openssl_form "$work/signed/unpacked/README-ja.txt" "$work/signed/unpacked/README-en.txt"
check "the signed README-ja.txt breaks no katakana word across lines" \
    katakana_words_whole "$work/signed/unpacked/README-ja.txt"
for readme in README-ja.txt README-en.txt; do
    check "the signed $readme splits no label across lines" labels_whole "$work/signed/unpacked/$readme"
done
check "the signed read-mes lead on as the unsigned ones do, naming the publisher" readmes_lead_on "$work/signed" signed
check "the signed README-ja.txt sends its reader only to sections it has" \
    sections_referred_to_exist "$work/signed/unpacked/README-ja.txt"
check "without a download page, the signed read-mes send readers to whoever gave them the file, twice" \
    download_page_named "$work/signed" 2
for readme in README-ja.txt README-en.txt; do
    check "$readme gives the signed program's SHA-256" filled_in "$work/signed/unpacked/$readme" \
        "$work/signed/unpacked/$name.exe"
done
check "the buildinfo gives both SHA-256s, the signer and osslsigncode's version" buildinfo_true "$work/signed"
check "make dist signs again" dist_with "$work/signed-again" "${with_file_key[@]}"
check "signing again gives the same zip and signature" same_release "$work/signed" "$work/signed-again"
check "make dist signs with the same key in a PKCS#11 token (SoftHSM2)" \
    dist_with "$work/in-token" "${with_token_key[@]}"
check "the key in the token gives the same zip and signature as in the file" \
    same_release "$work/signed" "$work/in-token"
start_timestamp_server "$work/timestamp-port" 60
url=http://127.0.0.1:$(cat "$work/timestamp-port")/
check "make dist signs with a timestamp from a local RFC 3161 server" \
    dist_with "$work/timestamped" "${with_file_key[@]}" SIGN_TIMESTAMP_URL="$url"
check "osslsigncode verifies the timestamp against the test CA, and the buildinfo names the server" \
    timestamp_verified "$work/timestamped" "$url"
# A download page with what a sed replacement or a shell would read.
# shellcheck disable=SC2016  # the $(id) is the page's own
page='https://downloads.example.co.jp:8443/korvane-update/?v=1.0&from=readme;x=%7E#$(id)'
check "make dist names the download page in the signed read-mes" \
    dist_with "$work/signed-url" "${with_file_key[@]}" KORVANE_DOWNLOAD_URL="$page"
check "make dist names the download page in the unsigned read-mes" dist_with "$work/unsigned-url" KORVANE_DOWNLOAD_URL="$page"
check "the signed read-mes name the page where they send readers, twice, and the buildinfo gives it" \
    download_page_named "$work/signed-url" 2 "$page"
check "the unsigned read-mes name it once, and the buildinfo gives it" download_page_named "$work/unsigned-url" 1 "$page"
# README PROGRAM: filled in, and no label (nor katakana word) in two.
readme_whole() {
    filled_in "$1" "$2" && labels_whole "$1" && { [[ $1 != *-ja.txt ]] || katakana_words_whole "$1"; }
}
for release in signed-url unsigned-url; do
    for readme in README-ja.txt README-en.txt; do
        check "$readme of $release is filled in, and splits no label or word across lines" \
            readme_whole "$work/$release/unpacked/$readme" "$work/$release/unpacked/$name.exe"
    done
done

# Signatures that name someone they should not, made with certificates that
# share the throwaway signer's serial number: the impostor's (its issuer is
# the signer's) and the lookalike's (another issuer), each carrying a copy of
# the signer's certificate too; and the twin's, whose certificate is swapped
# for the signer's (of the same length) after signing, so that the signature
# names the signer but was made with another key. What make dist writes
# names the true signer, or it refuses the signature; never the other.
impostors=$work/impostors
mkdir -p "$impostors"
make_impostor_keys "$keys"
signed_copy() {  # NAME P12 [osslsigncode options...]: $impostors/NAME.exe and its signature, NAME.sig
    osslsigncode sign -pkcs12 "$keys/$2.p12" -readpass "$keys/password" -h sha256 "${@:3}" -in "$exe" \
        -out "$impostors/$1.exe" >>"$signing_log" 2>&1 &&
        osslsigncode extract-signature -pem -in "$impostors/$1.exe" -out "$impostors/$1.sig" >>"$signing_log" 2>&1
}
# The twin's program with the signer's certificate in place of the twin's.
swap_certificate() {
    /usr/bin/python3 -I - "$keys/twin.pem" "$keys/signer.pem" "$impostors/twin.exe" "$impostors/swapped.exe" <<'PY'
import base64, sys
twin, signer = (base64.b64decode("".join(open(p).read().split("-----")[2].split())) for p in sys.argv[1:3])
program = open(sys.argv[3], "rb").read()
assert len(twin) == len(signer) and program.count(twin) == 1, "the twin's certificate cannot be swapped"
open(sys.argv[4], "wb").write(program.replace(twin, signer))
PY
    osslsigncode extract-signature -pem -in "$impostors/swapped.exe" -out "$impostors/swapped.sig" >>"$signing_log" 2>&1
}
# The signed program with a second signature, by the lookalike, nested in
# the unsigned attributes of the signer's, where anyone can add one.
nest_signature() {
    osslsigncode sign -nest -pkcs12 "$keys/lookalike.p12" -readpass "$keys/password" -h sha256 \
        -in "$work/signed/unpacked/$name.exe" -out "$impostors/nested.exe" >>"$signing_log" 2>&1 &&
        osslsigncode extract-signature -pem -in "$impostors/nested.exe" -out "$impostors/nested.sig" >>"$signing_log" 2>&1
}
if ! signed_copy impostor impostor -ac "$keys/signer.pem" || ! signed_copy lookalike lookalike -ac "$keys/signer.pem" ||
    ! signed_copy twin twin || ! swap_certificate || ! nest_signature; then
    echo "FAIL could not make the impostors' signatures for the checks below: $(tail -n 1 "$signing_log")"
    exit 1
fi
names_lookalike() {  # RELEASE
    local problems=()
    [ "$(buildinfo_field "$1" Signer-Subject)" = \
        "OU=A certificate that takes the throwaway signer's serial number, CN=Korvane Lookalike Signer" ] ||
        problems+=("Signer-Subject: $(buildinfo_field "$1" Signer-Subject)")
    grep -q "発行元: Korvane Lookalike Signer" "$1/unpacked/README-ja.txt" || problems+=("README-ja.txt names another")
    ! grep -q "Korvane Throwaway Signer\|$(fingerprint sha256)" "$1"/unpacked/*.txt "$(buildinfo_of "$1")" ||
        problems+=("the signer is named")
    [ ${#problems[@]} -eq 0 ] || { printf '  %s\n' "${problems[@]}"; return 1; }
}
check "make dist attaches the lookalike's signature" dist_with "$impostors/lookalike" SIGNATURE="$impostors/lookalike.sig"
check "the buildinfo and the read-mes name the lookalike, never the signer whose serial number it took" \
    names_lookalike "$impostors/lookalike"
check "make dist signs with a certificate whose policies carry a timestamp's object identifiers" \
    dist_with "$impostors/tsbytes" SIGN_PKCS12="$keys/tsbytes.p12" SIGN_PASSWORD_FILE="$keys/password"

# A signature made for another program: one byte of it differs.
cp "$exe" "$work/other.exe"
printf '\x90' | dd of="$work/other.exe" bs=1 seek=$((0x500)) conv=notrunc status=none
if ! osslsigncode sign -pkcs12 "$keys/signer.p12" -readpass "$keys/password" -in "$work/other.exe" \
    -out "$work/other-signed.exe" >>"$signing_log" 2>&1 ||
    ! osslsigncode extract-signature -pem -in "$work/other-signed.exe" -out "$work/other.sig" >>"$signing_log" 2>&1
then
    echo "FAIL could not sign another program for the table below: $(tail -n 1 "$signing_log")"
    exit 1
fi
start_timestamp_server "$work/silent-port" 30 silent
start_timestamp_server "$work/other-data-port" 60 other-data
start_timestamp_server "$work/bad-signature-port" 60 bad-signature
# Signatures that do not fit the program: another program's attached to this
# one, ones whose digest is a byte short or long, and the timestamped one
# with a byte of its timestamp's signature flipped.
tamper=$root/tests/release/tamper.py
if ! "$tamper" attach "$exe" "$work/other.sig" "$impostors/other-attached.exe" ||
    ! "$tamper" digest-length "$exe" -1 "$impostors/digest-short.sig" ||
    ! "$tamper" digest-length "$exe" 1 "$impostors/digest-long.sig" ||
    ! "$tamper" attach "$exe" "$impostors/digest-short.sig" "$impostors/digest-short.exe" ||
    ! "$tamper" attach "$exe" "$impostors/digest-long.sig" "$impostors/digest-long.exe" ||
    ! "$tamper" flip-last "$(signature_of "$work/timestamped")" "$impostors/token-flipped.sig"; then
    echo "FAIL could not make the signatures that do not fit, for the tables below (tamper.py said why, above)"
    exit 1
fi
tsa_fingerprint=$(openssl x509 -in "$keys/tsa.pem" -noout -fingerprint -sha256 | sed 's/^.*=//')
authority="\(its authority's certificate has the SHA-256 fingerprint $tsa_fingerprint\)$"

# NAME PATTERN VARIABLE=VALUE...: `make dist` with these variables into a
# release directory that already holds a signed release must fail with one
# line that PATTERN matches, leave that directory as it was, and start no
# osslsigncode in the toolchain root: what is bad is found before.
bad_input() {
    local name=$1 pattern=$2 before output status=0 release=$work/bad-input
    shift 2
    rm -rf "$release"
    cp -r "$work/signed" "$release"
    before=$(cd "$release" && find . -type f -exec sha256sum {} + | sort)
    : >"$in_root"
    output=$(dist_sh "$@" -- "$version" "$exe" "$release") || status=$?
    local problems=()
    [ $status -ne 0 ] || problems+=("it succeeded")
    ! grep -q osslsigncode "$in_root" ||
        problems+=("it started osslsigncode in the toolchain root: $(grep -m 1 -o 'osslsigncode.\{0,60\}' "$in_root")")
    [ "$(wc -l <<<"$output")" -eq 1 ] && grep -qE -- "^dist.sh: $pattern" <<<"$output" ||
        problems+=("it said \"$output\", not one line like /$pattern/")
    [ "$(cd "$release" && find . -type f -exec sha256sum {} + | sort)" = "$before" ] ||
        problems+=("it changed the release directory")
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok   a bad input gives its error and leaves the release as it was: $name"
    else
        echo "FAIL a bad input gives its error and leaves the release as it was: $name: $(IFS=';'; echo "${problems[*]}")"
        failures=$((failures + 1))
    fi
}
bad_input "a key file that is not there" "cannot read SIGN_PKCS12=.*/absent.p12: No such file" \
    SIGN_PKCS12="$keys/absent.p12" SIGN_PASSWORD_FILE="$keys/password"
bad_input "a password file that is not there" "cannot read SIGN_PASSWORD_FILE=" \
    SIGN_PKCS12="$keys/signer.p12" SIGN_PASSWORD_FILE="$keys/absent"
bad_input "a wrong password" "wrong password for SIGN_PKCS12=" \
    SIGN_PKCS12="$keys/signer.p12" SIGN_PASSWORD_FILE="$keys/pin"
bad_input "an expired certificate" "the signing certificate \(CN=Korvane Expired Signer\) has expired" \
    SIGN_PKCS12="$keys/expired.p12" SIGN_PASSWORD_FILE="$keys/password"
bad_input "a certificate not valid yet" "the signing certificate \(CN=Korvane Future Signer\) is not valid yet" \
    SIGN_PKCS12="$keys/future.p12" SIGN_PASSWORD_FILE="$keys/password"
bad_input "a certificate without code signing" "the signing certificate .* is not for code signing" \
    SIGN_PKCS12="$keys/noeku.p12" SIGN_PASSWORD_FILE="$keys/password"
bad_input "a PKCS#11 module that does not load" "the PKCS#11 module SIGN_PKCS11_MODULE=.* does not load: " \
    "${with_token_key[@]}" SIGN_PKCS11_MODULE="$keys/ca.pem"
bad_input "a wrong PIN" "wrong PIN for SIGN_KEY=" "${with_token_key[@]}" SIGN_PIN_FILE="$keys/password"
bad_input "a timestamp server that does not answer" \
    "the timestamp server SIGN_TIMESTAMP_URL=.* did not answer within 2 s" "${with_file_key[@]}" \
    SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$work/silent-port")/" SIGN_TIMESTAMP_TIMEOUT=2
bad_input "a signature made for another program" \
    "SIGNATURE=.* does not fit the program built here: .*[0-9A-F]{64}.*[0-9A-F]{64}.*make verify-release" \
    SIGNATURE="$work/other.sig"
bad_input "a signature whose digest is a byte short" \
    "cannot read the signature of .*: the signature's digest is 31 bytes long, and a SHA-256 digest is 32$" \
    SIGNATURE="$impostors/digest-short.sig"
bad_input "a signature whose digest is a byte long" \
    "cannot read the signature of .*: the signature's digest is 33 bytes long, and a SHA-256 digest is 32$" \
    SIGNATURE="$impostors/digest-long.sig"
bad_input "a timestamp server that answers for other data" \
    "the timestamp from SIGN_TIMESTAMP_URL=.* does not hold: the timestamp is for another signature $authority" \
    "${with_file_key[@]}" SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$work/other-data-port")/"
bad_input "a timestamp server whose reply's signature is corrupted" \
    "the timestamp from SIGN_TIMESTAMP_URL=.* does not hold: the timestamp's signature does not verify with the public key of the certificate it names $authority" \
    "${with_file_key[@]}" SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$work/bad-signature-port")/"
bad_input "a signature whose timestamp's signature is corrupted" \
    "the timestamp from SIGNATURE=.* does not hold: the timestamp's signature does not verify with the public key of the certificate it names $authority" \
    SIGNATURE="$impostors/token-flipped.sig"
bad_input "a signature whose certificates hold two with its signer's issuer and serial number" \
    "cannot read the signature of .*: .* 2 of its certificates carry, so who signed is not certain$" \
    SIGNATURE="$impostors/impostor.sig"
bad_input "a signature that names the signer's certificate but was made with another key" \
    "cannot read the signature of .*: .* does not verify with the public key of the certificate it names$" \
    SIGNATURE="$impostors/swapped.sig"
bad_input "a signature with a second one nested in it" \
    "cannot read the signature of .*: the signature carries a second signature nested in it, which its signer did not sign$" \
    SIGNATURE="$impostors/nested.sig"
refused_page="is not an https URL of at most 200 characters: https://HOST"
bad_input "a download page that is not https" "DOWNLOAD_URL=http://downloads\.example\.jp/ $refused_page" \
    KORVANE_DOWNLOAD_URL=http://downloads.example.jp/
bad_input "a download page of 201 characters" "DOWNLOAD_URL=https://example\.jp/a{182} $refused_page" \
    KORVANE_DOWNLOAD_URL="https://example.jp/$(printf 'a%.0s' {1..182})"
bad_input "a download page with escape sequences, shown escaped" \
    "DOWNLOAD_URL=\\\$'https://example\.jp/\\\\E\]0;owned\\\\a' $refused_page" \
    KORVANE_DOWNLOAD_URL=$'https://example.jp/\e]0;owned\a'
bad_input "a download page with a space and a quote" "DOWNLOAD_URL=https://example\.jp/a.*c $refused_page" \
    KORVANE_DOWNLOAD_URL='https://example.jp/a b"c'
bad_input "a download page whose host hides behind an @" \
    "DOWNLOAD_URL=https://downloads\.example\.jp@evil\.example/ $refused_page" \
    KORVANE_DOWNLOAD_URL=https://downloads.example.jp@evil.example/
# make itself hands DOWNLOAD_URL on as it was given: a $(shell ...) in it
# runs nothing, and reaches dist.sh, which refuses it before dist/ changes.
make_dist_refuses_shell() {
    local before output status=0 problems=()
    rm -f "$root/pwned"
    before=$(find "$root/dist" -type f -exec sha256sum {} + 2>/dev/null | sort)
    # shellcheck disable=SC2016  # the $(shell ...) is for make, which must not run it
    output=$(cd "$root" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL timeout -k 5 60 make -o exe dist \
        'DOWNLOAD_URL=https://example.jp/$(shell touch pwned)' 2>&1 </dev/null) || status=$?
    [ "$status" -eq 2 ] || problems+=("make exited $status, not 2")
    grep -qE "^dist.sh: DOWNLOAD_URL=https://example\.jp/.*shell.*touch.*pwned.* $refused_page" <<<"$output" ||
        problems+=("dist.sh did not refuse the address as given")
    [ ! -e "$root/pwned" ] || problems+=("the \$(shell ...) ran")
    [ "$(find "$root/dist" -type f -exec sha256sum {} + 2>/dev/null | sort)" = "$before" ] || problems+=("dist/ changed")
    rm -f "$root/pwned"
    [ ${#problems[@]} -eq 0 ] || { printf '  %s\n' "${problems[@]}" "it said: $output"; return 1; }
}
check "make dist DOWNLOAD_URL=... with \$(shell ...) in it: nothing runs, and dist.sh refuses it as given" \
    make_dist_refuses_shell
# A signature's file name is data too: no option, and no escape printed.
mkdir -p "$work/signature-names"
odd_signature=$work/signature-names/-x$'\e'"[2J.sig"
cp "$work/other.sig" "$odd_signature"
bad_input "a signature whose file name starts with - and holds an escape" \
    "SIGNATURE=\\\$'.*/-x\\\\E\\[2J\.sig' does not fit the program built here" SIGNATURE="$odd_signature"
check "no password, PIN or private key is on a command line, in an output or in a release" secrets_kept
echo "the signing checks took $((SECONDS - signing_started)) s, and making the keys before them a little more"

# --- make verify-release on what anyone may send -----------------------------
verify_started=$SECONDS
rows=$work/verify-rows
crafted=$rows/crafted
verify_log=$rows/output.log  # all that the rows' runs say
rm -rf "$rows"
mkdir -p "$rows/names" "$crafted"
: >"$verify_log"

stale_signature_goes() {  # RELEASE: an unsigned make dist into a copy of it
    rm -rf "$rows/stale"
    cp -r "$1" "$rows/stale"
    dist_sh -- "$version" "$exe" "$rows/stale" && [ ! -e "$(signature_of "$rows/stale")" ]
}
check "an unsigned zip made where a signed one was leaves no .exe.sig" stale_signature_goes "$work/signed"

# The hostile releases, each in a directory of its own under $crafted: a zip
# made from the signed one, and what lies beside it.
/usr/bin/python3 -IB - "$crafted" "$work" "$work/signed" "$impostors" "$exe" "$root/release" <<'PY'
"""Releases as an attacker makes them, from the genuine ones."""
import hashlib, os, re, struct, sys, time, warnings, zipfile

out, work, signed, impostors, built, release_code = sys.argv[1:]
sys.path.insert(0, release_code)
from buildinfo import read_buildinfo, read_lock
warnings.simplefilter("ignore")  # zipfile warns of the duplicate entry, which is the point
zip_name = next(n for n in os.listdir(signed) if n.endswith(".zip"))
stem = zip_name[:-len(".zip")]
order = ["korvane-icon-size.exe", "README-ja.txt", "README-en.txt", "LICENSE.txt", "SHA256SUMS"]
genuine = {n: open(os.path.join(signed, "unpacked", n), "rb").read() for n in order}
buildinfo = open(os.path.join(signed, stem + ".buildinfo"), encoding="utf-8").read()
epoch = read_buildinfo(buildinfo.encode(), read_lock().pins).date
date = time.gmtime(epoch)[:6]

def entry(name, mode=0o100644):
    info = zipfile.ZipInfo(name, date)
    info.create_system, info.external_attr, info.compress_type = 3, mode << 16, zipfile.ZIP_DEFLATED
    return info

def sums(files):
    return "".join(f"{hashlib.sha256(files[n]).hexdigest()}  {n}\n" for n in order[:4]).encode()

def five(changed=None, checksums=None):
    """The five entries, some CHANGED, with SHA256SUMS made again (or CHECKSUMS)."""
    files = dict(genuine, **(changed or {}))
    files["SHA256SUMS"] = checksums or sums(files)
    return [(entry(n), files[n]) for n in order]

def release(name, entries, beside=None, data=None):
    directory = os.path.join(out, name)
    os.makedirs(directory)
    path = os.path.join(directory, zip_name)
    if data is not None:
        open(path, "wb").write(data)
    else:
        with zipfile.ZipFile(path, "w") as archive:
            for info, content in entries:
                archive.writestr(info, content)
    for suffix, content in (beside or {}).items():
        if isinstance(content, str) and content.startswith("->"):
            os.symlink(content[2:], os.path.join(directory, stem + suffix))
        else:
            open(os.path.join(directory, stem + suffix), "wb").write(content)
    return path

readme_ja = genuine["README-ja.txt"]
# The zip itself.
release("extra-dotfile", five() + [(entry(".hidden"), b"x")])
release("program-link", [(entry(order[0], 0o120777), built.encode())] + five()[1:])
release("duplicate", five() + [(entry("README-ja.txt"), b"another")])
release("directory", five() + [(entry("docs/", 0o040755), b"")])
release("locked-directory", [(entry("locked/", 0o040000), b""), (entry("locked/file"), b"x")] + five())
release("zip-slip", five() + [(entry("../korvane-zip-slip.txt"), b"x")])
release("absolute", five() + [(entry("/tmp/korvane-absolute.txt"), b"x")])
release("rf-entry", five() + [(entry("-rf"), b"x")])
release("escape-name", five() + [(entry("\x1b[2J\x1b[1;1Hok   forged\x1b]0;owned\x07.txt"), b"x")])
release("bidi-name", five() + [(entry("README\u202etxt.exe"), b"x")])
release("bomb", five({"README-ja.txt": bytes(32 << 20)}))
path = release("lying-size", five({"README-ja.txt": bytes(32 << 20)}))
data = bytearray(open(path, "rb").read())
for found in range(len(data) - 4):  # every header of README-ja.txt says it is small
    if data[found:found + 4] == b"PK\x03\x04" and data[found + 30:found + 43] == b"README-ja.txt":
        struct.pack_into("<I", data, found + 22, len(readme_ja))
    if data[found:found + 4] == b"PK\x01\x02" and data[found + 46:found + 59] == b"README-ja.txt":
        struct.pack_into("<I", data, found + 24, len(readme_ja))
open(path, "wb").write(data)
release("sums-devzero", five(checksums=sums(genuine) + b"0" * 64 + b"  /dev/zero\n"))
release("sums-stdin", five(checksums=b"0" * 64 + b"  /dev/stdin\n" + sums(genuine)))
release("sums-link", five()[:4] + [(entry("SHA256SUMS", 0o120777), b"/dev/zero")])
release("lacks-license", [e for e in five() if e[0].filename != "LICENSE.txt"])
release("not-a-zip", None, data=os.urandom(4096))
release("too-big", None, data=bytes(1536 << 10))
release("readme-changed", five({"README-ja.txt": readme_ja.replace("使い方".encode(), "使い方!".encode())}))
# The buildinfo beside the genuine zip.
genuine_zip = open(os.path.join(signed, zip_name), "rb").read()
def with_buildinfo(name, text):
    release(name, None, {".buildinfo": text.encode("utf-8", "surrogateescape")}, data=genuine_zip)
def field(name, value):
    return "".join(f"{name}: {value}\n" if l.startswith(name + ":") else l + "\n" for l in buildinfo.splitlines())
with_buildinfo("buildinfo-escapes", field("Git-Commit", "\x1b[1A\x1b[2K\rok   forged\x1b]0;owned\x07\u202e"))
with_buildinfo("buildinfo-3000-lines", buildinfo.rstrip("\n") + ",\n" + " x (= 1),\n" * 2999 + " y (= 1)\n")
with_buildinfo("buildinfo-20MB-line", buildinfo + "X-Junk: " + "A" * (20 << 20) + "\n")
with_buildinfo("buildinfo-long-line", buildinfo + "X-Junk: " + "A" * 5000 + "\n")
with_buildinfo("buildinfo-dash-package", buildinfo.replace("Installed-Build-Depends:\n",
                                                           "Installed-Build-Depends:\n -rf (= 1.0),\n"))
with_buildinfo("buildinfo-bad-version", buildinfo.replace(" cmake (= ", " cmake (= $(reboot)"))
with_buildinfo("buildinfo-date-text", field("Source-Date-Epoch", "yesterday"))
with_buildinfo("buildinfo-other-date", field("Source-Date-Epoch", str(epoch + 86400)))
# A program that differs in one byte, SHA256SUMS made again, with a buildinfo
# that names its zip and lists 950 packages more, which would be the root it
# is built in.
changed = bytearray(genuine[order[0]])
changed[0x500] = 0x90
path = release("buildinfo-950-packages", five({order[0]: bytes(changed)}))
zip_bytes = open(path, "rb").read()
lines = buildinfo.rstrip("\n").splitlines()
lines = [f" {hashlib.sha256(zip_bytes).hexdigest()} {len(zip_bytes)} {zip_name}" if l.endswith(" " + zip_name) else l
         for l in lines]
text = "\n".join(lines) + ",\n" + "".join(f" korvane-absent-{i} (= 1.{i}),\n" for i in range(949)) + " korvane-absent (= 1)\n"
open(os.path.join(os.path.dirname(path), stem + ".buildinfo"), "w", encoding="utf-8").write(text)
# The signature.
for name in ("impostor", "swapped", "nested", "other-attached", "digest-short", "digest-long"):
    release(name, five({order[0]: open(os.path.join(impostors, name + ".exe"), "rb").read()}))
obsolete = "<<<Obsolete>>>".encode("utf-16-be")
assert genuine[order[0]].count(obsolete) == 1
release("content-changed", five({order[0]: genuine[order[0]].replace(obsolete, obsolete[:-2] + b"\0P")}))
# A signed program changed in one byte after signing, with SHA256SUMS and
# the buildinfo made to match it: only the signature can tell.
changed = bytearray(genuine[order[0]])
changed[0x500] ^= 0xFF
path = release("changed-after-signing", five({order[0]: bytes(changed)}))
def checksum_line(data, name):
    return f" {hashlib.sha256(data).hexdigest()} {len(data)} {name}"
text = buildinfo
for old, new, name in ((genuine_zip, open(path, "rb").read(), zip_name), (genuine[order[0]], bytes(changed), order[0])):
    assert checksum_line(old, name) in text, f"the buildinfo does not name {name}"
    text = text.replace(checksum_line(old, name), checksum_line(new, name))
open(os.path.join(os.path.dirname(path), stem + ".buildinfo"), "w", encoding="utf-8").write(text)
other_sig = open(os.path.join(work, "other.sig"), "rb").read()
release("another-sig-beside", None, {".buildinfo": buildinfo.encode(), ".exe.sig": other_sig}, data=genuine_zip)
release("sig-beside-unsigned", None, {".exe.sig": other_sig}, data=open(os.path.join(work, zip_name), "rb").read())
with_buildinfo("buildinfo-gone-version", re.sub(r"^ zip \(= [^)]*\)", " zip (= 0~not-a-version)", buildinfo, flags=re.M))
with_buildinfo("buildinfo-twice", buildinfo.replace("Installed-Build-Depends:\n", "Installed-Build-Depends:\n make (= 1.0),\n"))
# A download page, which the rebuild hands to make dist and MATCH shows.
def with_page(name, page):
    with_buildinfo(name, buildinfo.replace("Installed-Build-Depends:\n", f"Download-URL: {page}\nInstalled-Build-Depends:\n"))
with_page("page-http", "http://downloads.example.jp/")
with_page("page-long", "https://example.jp/" + "a" * 300)
with_page("page-escapes", "https://example.jp/\x1b[2J\x1b]0;owned\x07")
with_page("page-command", "https://example.jp/ $(reboot)")
with_page("page-at", "https://downloads.example.jp@evil.example/")
with_page("page-not-in-readmes", "https://downloads.example.jp/korvane/")
# A buildinfo that is a link to a secret of the one who checks.
secret = os.path.join(out, "secret")
open(secret, "w").write("token: korvane-secret-in-a-file\n")
release("buildinfo-link", None, {".buildinfo": "->" + secret}, data=genuine_zip)
release("sig-is-dev-zero", None, {".buildinfo": buildinfo.encode(), ".exe.sig": "->/dev/zero"}, data=genuine_zip)
PY

# A terminal that nobody answers: reading from it waits for ever.
mkfifo "$rows/terminal"
exec {terminal}<>"$rows/terminal"

# What a row may not touch: the work directory's files, directories and
# links (but for the row's own temporary directory and the logs), the source
# tree, and /tmp.
outside() {
    find "$work" \( -path "$rows/tmp" -o -name '*.log' \) -prune -o -type f -printf '%p %s %T@ %m\n' -o \
        -printf '%p %y %m\n' | sort
    ls -A "$root" "$root/scripts" "$root/release"
    ls -d /tmp/verify-release.* 2>/dev/null || true
}

# WHAT SECONDS STATUS VERDICT NEVER ZIP [COMMAND_PREFIX...]:
# release/verify-release.sh on ZIP, as make runs it (after COMMAND_PREFIX,
# such as env or setpriv), from $rows/names, with a temporary directory of its
# own and the terminal nobody answers as its input, must end within SECONDS
# with STATUS; its last line must match VERDICT after "verdict: " (after
# "verify-release: " for status 2), and nothing it says, nor any command
# line it starts in the toolchain root, NEVER; what it prints
# holds no control or bidirectional-format character and stays short; and it
# leaves nothing behind, in its temporary directory or anywhere else.
verify_row() {
    local what=$1 seconds=$2 expected=$3 verdict=$4 never=$5 zip=$6 tmp=$rows/tmp output status=0 now
    local started pattern problems=()
    shift 6
    rm -rf "$tmp" && mkdir -m 1777 "$tmp"
    : >"$in_root"
    started=$SECONDS
    output=$(cd "$rows/names" && timeout -k 5 "$seconds" env TMPDIR="$tmp" PATH="$work/recorders:$PATH" "$@" \
        "$root/release/verify-release.sh" "$version" "$exe" "$zip" <&"$terminal" 2>&1) || status=$?
    printf '%s\n' "--- $what ($((SECONDS - started)) s, exit $status)" "$output" >>"$verify_log"
    [ $status -ne 124 ] && [ $status -ne 137 ] || problems+=("it did not end within $seconds s")
    [ $status -eq "$expected" ] || problems+=("it exited $status, not $expected")
    pattern="^verdict: $verdict"
    [ "$expected" -ne 2 ] || pattern="^verify-release: $verdict"
    [[ $(tail -n 1 <<<"$output") =~ $pattern ]] || problems+=("its last line is not /$pattern/")
    [ -z "$never" ] || ! grep -qE -- "$never" <<<"$output" || problems+=("it said /$never/")
    [ -z "$never" ] || ! grep -qE -- "$never" "$in_root" || problems+=("it started /$never/ in the toolchain root")
    if LC_ALL=C grep -qaP '[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\xe2\x80[\x8e\x8f\xaa-\xae]|\xe2\x81[\xa6-\xa9]' \
        <<<"$output"; then
        problems+=("it printed a control or bidirectional-format character")
    fi
    [ ${#output} -le 6000 ] || problems+=("it printed ${#output} characters")
    [ -z "$(ls -A "$tmp")" ] || problems+=("it left behind $(find "$tmp" -mindepth 1 | head -n 3 | tr '\n' ' ')")
    now=$(outside)
    [ "$now" = "$untouched" ] ||
        problems+=("it changed what is outside its temporary directory: $(diff <(echo "$untouched") - <<<"$now" |
            head -n 4 || true)")
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok   verify-release: $what"
        return
    fi
    echo "FAIL verify-release: $what: $(IFS=';'; echo "${problems[*]}")"
    echo "  it said:"
    echo "    ${output//$'\n'/$'\n'    }" | head -n 40 | cat -v
    failures=$((failures + 1))
}

hostile() { echo "$crafted/$1/$name-$version.zip"; }
signer_fingerprint=$(fingerprint sha256)
lookalike_fingerprint=$(openssl x509 -in "$keys/lookalike.pem" -noout -fingerprint -sha256 | sed 's/^.*=//')
build="is this source's build of version $version \(commit [0-9a-f]{40}[^)]*\)"
holds="NO MATCH: the zip holds the five files of a release, and nothing else: "
buildinfo_cannot="NO MATCH: the buildinfo beside the zip can be read: "
signature_fails="NO MATCH: the program's signature holds: the signature's signer"
whole_zip="NO MATCH: the whole zip is byte for byte the one \`make dist\` makes here with that signature: "
cp "$(zip_of "$work")" "$rows/names/-t.zip"
hostile_name=$rows/names/"a b\`touch pwned\`\$(shell touch pwned)\$(foo) 'c\"#.zip"
cp "$(zip_of "$work")" "$hostile_name"
mkdir -p "$rows/bin"
ln -s "$(command -v bash)" "$(command -v dirname)" "$rows/bin/"
as_nobody=()
if [ "$(id -u)" -eq 0 ]; then
    as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
untouched=$(outside)

# The genuine releases.
verify_row "the signed zip is this source's build, and MATCH names its certificate first" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; not timestamped; the program in $name-$version.zip $build, signed by CN=Korvane Throwaway Signer, O=\"コルヴェイン試験, Inc.\", C=JP$" \
    "" "$(zip_of "$work/signed")"
verify_row "the timestamped zip is too, with the timestamp's time and the certificate that gave it" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; timestamped 20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC with certificate SHA-256 $tsa_fingerprint; .* $build, " \
    "" "$(zip_of "$work/timestamped")"
verify_row "an unsigned zip named -t.zip is the file checked" 60 0 "MATCH: unsigned; the program in -t.zip $build$" \
    "" -t.zip
# Where bubblewrap cannot make its namespaces (a stand-in fails as a
# default container makes it fail), the rebuild goes through chroot, root's
# alone: the same verdict, and a note that the container is its only sandbox.
if [ "$(id -u)" -eq 0 ]; then
    no_namespaces="the signed zip, rebuilt through chroot where bubblewrap has no namespaces"
    verify_row "$no_namespaces" 90 0 "MATCH: signed with certificate SHA-256 $signer_fingerprint; not timestamped; " \
        "" "$(zip_of "$work/signed")" env PATH="$root/tests/exe/no-namespaces:$work/recorders:$PATH"
    check "verify-release: that rebuild's output says the container is its only sandbox" \
        grep -q "^ *the rebuild runs without a sandbox of its own, so the container is the only one: chroot: " \
        <(sed -n "/^--- $no_namespaces /,/^--- /p" "$verify_log")
else
    echo "skip verify-release through chroot: only root may use it, and this test does not run as root"
fi
# What the issue of a hostile download showed, a row each.
verify_row "a zip that is not one" 10 1 "${holds}it cannot be read as a zip: " "" "$(hostile not-a-zip)"
verify_row "a zip bigger than a release's could be" 10 1 \
    "NO MATCH: the zip is no bigger than a release's could be: the zip is more than 1048576 bytes" "" \
    "$(hostile too-big)"
verify_row "an extra dotfile" 10 1 "${holds}it holds an extra entry, \.hidden$" "" "$(hostile extra-dotfile)"
verify_row "a program that is a link to the build here" 10 1 "${holds}its $name\.exe is a link, not a file$" "" \
    "$(hostile program-link)"
verify_row "an entry twice, with a terminal nobody answers" 10 1 "${holds}it holds README-ja\.txt twice$" "" \
    "$(hostile duplicate)"
verify_row "a directory" 10 1 "${holds}it holds a directory, docs/, and a release holds none$" "" \
    "$(hostile directory)"
# As another user only where that user can reach the checkout: not in a
# clone under /root, as make fresh-check makes.
if [ ${#as_nobody[@]} -gt 0 ] && ! "${as_nobody[@]}" test -r "$root/release/verify_release.py" -a -r "$crafted"; then
    echo "skipped a row: a directory of mode 000, checked by a user who is not root: nobody cannot read $root"
else
    verify_row "a directory of mode 000, checked by a user who is not root" 10 1 \
        "${holds}it holds a directory, locked/, and a release holds none$" "" "$(hostile locked-directory)" \
        "${as_nobody[@]}"
fi
verify_row "an entry that climbs out (zip-slip)" 10 1 "${holds}it holds \.\./korvane-zip-slip\.txt, which is not at its top level$" \
    "" "$(hostile zip-slip)"
verify_row "an entry with an absolute path" 10 1 \
    "${holds}it holds /tmp/korvane-absolute\.txt, which is not at its top level$" "" "$(hostile absolute)"
verify_row "an entry named -rf" 10 1 "${holds}it holds an extra entry, -rf$" "" "$(hostile rf-entry)"
verify_row "an entry named with escape sequences" 10 1 \
    "${holds}it holds an extra entry, \\\\x1b\[2J\\\\x1b\[1;1Hok   forged\\\\x1b\]0;owned\\\\x07\.txt$" "" \
    "$(hostile escape-name)"
verify_row "an entry named with a right-to-left override" 10 1 \
    "${holds}it holds an extra entry, README\\\\u202etxt\.exe$" "" "$(hostile bidi-name)"
verify_row "a 32 MiB read-me in a 40 KiB zip" 10 1 \
    "${holds}its README-ja\.txt is 33554432 bytes, more than a release's \(at most 65536\)$" "" "$(hostile bomb)"
verify_row "a read-me whose entry gives a size it does not have" 10 1 "${holds}its README-ja\.txt cannot be read: " \
    "" "$(hostile lying-size)"
verify_row "a zip that lacks LICENSE.txt" 10 1 "${holds}it lacks LICENSE\.txt$" "" "$(hostile lacks-license)"
verify_row "SHA256SUMS naming /dev/zero" 10 1 \
    "NO MATCH: SHA256SUMS in the zip matches its files: it lists /dev/zero, which is not one of the zip's files$" "" \
    "$(hostile sums-devzero)"
verify_row "SHA256SUMS naming /dev/stdin" 10 1 "NO MATCH: SHA256SUMS in the zip matches its files: it lists /dev/stdin," \
    "" "$(hostile sums-stdin)"
verify_row "SHA256SUMS that is a link" 10 1 "${holds}its SHA256SUMS is a link, not a file$" "" "$(hostile sums-link)"
verify_row "escape sequences in the buildinfo's Git-Commit" 10 1 \
    "${buildinfo_cannot}its Git-Commit \(\"\\\\x1b\[1A\\\\x1b\[2K\\\\x0dok   forged\\\\x1b\]0;owned\\\\x07\\\\u202e\"\) is not a commit$" \
    "" "$(hostile buildinfo-escapes)"
verify_row "a buildinfo of 3,000 lines" 10 1 "${buildinfo_cannot}it has more than 1000 lines$" "" \
    "$(hostile buildinfo-3000-lines)"
verify_row "a buildinfo with a 20 MB line" 10 1 "${buildinfo_cannot}the buildinfo is more than 65536 bytes" "" \
    "$(hostile buildinfo-20MB-line)"
verify_row "a buildinfo line of 5,000 characters" 10 1 "${buildinfo_cannot}its line [0-9]+ is longer than 1024 characters$" \
    "" "$(hostile buildinfo-long-line)"
verify_row "a buildinfo package named -rf" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends names \"-rf\", which is not a Debian package name$" "" \
    "$(hostile buildinfo-dash-package)"
verify_row "a buildinfo package version that is a command" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends gives cmake \"\\\$\(reboot\)[^\"]*\", which is not a Debian version$" "" \
    "$(hostile buildinfo-bad-version)"
verify_row "a buildinfo whose date is not a number" 10 1 \
    "${buildinfo_cannot}its Source-Date-Epoch \(\"yesterday\"\) is not a number of seconds$" "" \
    "$(hostile buildinfo-date-text)"
verify_row "a genuine zip whose buildinfo gives another date: the dates are named, not the zip" 60 1 \
    "${whole_zip}the zip's files are dated .*, and the buildinfo's Source-Date-Epoch \([0-9]+\) dates them .*$" "" \
    "$(hostile buildinfo-other-date)"
verify_row "a program that differs in one byte, its buildinfo with 950 packages more for its toolchain root" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends names korvane-absent-0, which toolchain\.lock does not pin$" "" \
    "$(hostile buildinfo-950-packages)"
verify_row "a genuine zip whose buildinfo names another toolchain: built with this checkout's, and said" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; " "making|mmdebstrap" "$(hostile buildinfo-gone-version)"
gone_version_said() {
    grep -q "^     the buildinfo names another toolchain than this checkout's toolchain.lock, which builds here .*: zip 0~not-a-version (release) vs [^ ]* (here)$" \
        "$verify_log" || { echo "  no line says the buildinfo's toolchain differs"; return 1; }
}
check "verify-release: it says which of the buildinfo's toolchain versions are not this checkout's" gone_version_said
verify_row "a buildinfo that names a package twice" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends names make twice$" "" "$(hostile buildinfo-twice)"
verify_row "a buildinfo that is a link to a secret: neither followed nor shown" 10 1 \
    "${buildinfo_cannot}the buildinfo is a link, not a file$" "korvane-secret" "$(hostile buildinfo-link)"
page_cannot="${buildinfo_cannot}its Download-URL"
page_form="is not an https URL of at most 200 characters$"
verify_row "a buildinfo whose download page is not https" 10 1 \
    "$page_cannot \(\"http://downloads\.example\.jp/\"\) $page_form" "" "$(hostile page-http)"
verify_row "a buildinfo whose download page is 319 characters long" 10 1 \
    "$page_cannot \(\"https://example\.jp/a{101}…\"\) $page_form" "" "$(hostile page-long)"
verify_row "a buildinfo whose download page holds escape sequences" 10 1 \
    "$page_cannot \(\"https://example\.jp/\\\\x1b\[2J\\\\x1b\]0;owned\\\\x07\"\) $page_form" "" "$(hostile page-escapes)"
verify_row "a buildinfo whose download page holds a space and a command" 10 1 \
    "$page_cannot \(\"https://example\.jp/ \\\$\(reboot\)\"\) $page_form" "" "$(hostile page-command)"
verify_row "a buildinfo whose download page hides its host behind an @" 10 1 \
    "$page_cannot \(\"https://downloads\.example\.jp@evil\.example/\"\) $page_form" "" "$(hostile page-at)"
verify_row "a buildinfo that names a download page the read-mes do not: they are named" 60 1 \
    "${whole_zip}README-ja\.txt, README-en\.txt and SHA256SUMS differ from the ones make dist makes here$" "" \
    "$(hostile page-not-in-readmes)"
# shellcheck disable=SC2001,SC2016  # a sed of a set of characters; the $ is one of them
ere() { sed 's/[][\.*^$(){}?+|]/\\&/g' <<<"$1"; }  # TEXT: an extended regular expression that matches it
verify_row "a zip made with a download page: MATCH names it last, as the buildinfo gives it" 60 0 \
    "MATCH: unsigned; the program in $name-$version\.zip $build; the buildinfo names its download page $(ere "$page")$" \
    "" "$(zip_of "$work/unsigned-url")"
verify_row "a signed zip made with a download page: MATCH names it after the signer" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; not timestamped; .* $build, signed by CN=Korvane Throwaway Signer, .*; the buildinfo names its download page $(ere "$page")$" \
    "" "$(zip_of "$work/signed-url")"
verify_row "a read-me changed, SHA256SUMS made again: the read-me is named" 60 1 \
    "${whole_zip}README-ja\.txt and SHA256SUMS differ from the ones make dist makes here$" "" \
    "$(hostile readme-changed)"
verify_row "a signature whose certificates hold two for its signer's issuer and serial number" 10 1 \
    "$signature_fails names its certificate by an issuer and serial number that 2 of its certificates carry, so who signed is not certain$" \
    "Korvane Throwaway Signer|$signer_fingerprint" "$(hostile impostor)"
verify_row "a signature by the lookalike, who took the signer's serial number, names the lookalike" 60 0 \
    "MATCH: signed with certificate SHA-256 $lookalike_fingerprint; not timestamped; .* $build, signed by OU=A certificate that takes the throwaway signer's serial number, CN=Korvane Lookalike Signer$" \
    "Korvane Throwaway Signer|$signer_fingerprint" "$(zip_of "$impostors/lookalike")"
verify_row "a signature that names the signer's certificate but was made with another key" 10 1 \
    "$signature_fails does not verify with the public key of the certificate it names$" \
    "signed with|$signer_fingerprint" "$(hostile swapped)"
verify_row "a second signature nested in the signer's, which anyone can add" 10 1 \
    "NO MATCH: the program's signature holds: the signature carries a second signature nested in it, which its signer did not sign$" \
    "signed with|Lookalike" "$(hostile nested)"
verify_row "a signature whose signed content was changed" 10 1 \
    "$signature_fails's signed attributes give a message digest that is not the one of what it signs$" \
    "signed with" "$(hostile content-changed)"
verify_row "a signature without a timestamp, whose certificate carries a timestamp's identifiers" 60 0 \
    "MATCH: signed with certificate SHA-256 [0-9A-F:]{95}; not timestamped; .* $build, signed by CN=Korvane Policy Signer" \
    "timestamped [0-9]|outlives" \
    "$(zip_of "$impostors/tsbytes")"
# Signatures that do not fit the program: NO MATCH, and no rebuild, which
# would hand them to osslsigncode in the toolchain root.
before_rebuild="byte for byte|osslsigncode"
digest_fails="NO MATCH: the signature's digest matches the program: the signature signs Authenticode SHA-256 [0-9A-F]{64}; the program's is [0-9A-F]{64}$"
verify_row "a signature made for another program, on this one: no rebuild" 10 1 "$digest_fails" "$before_rebuild" \
    "$(hostile other-attached)"
verify_row "a signed program changed after signing, SHA256SUMS and the buildinfo made to match: no rebuild" 10 1 \
    "$digest_fails" "$before_rebuild" "$(hostile changed-after-signing)"
verify_row "a signature whose digest is a byte short: no rebuild" 10 1 \
    "NO MATCH: the program's signature holds: the signature's digest is 31 bytes long, and a SHA-256 digest is 32$" \
    "$before_rebuild" "$(hostile digest-short)"
verify_row "a signature whose digest is a byte long: no rebuild" 10 1 \
    "NO MATCH: the program's signature holds: the signature's digest is 33 bytes long, and a SHA-256 digest is 32$" \
    "$before_rebuild" "$(hostile digest-long)"
verify_row "another signature beside the zip" 60 1 \
    "NO MATCH: the \.exe\.sig beside the zip is the program's signature: $name-$version\.exe\.sig is another signature$" \
    "" "$(hostile another-sig-beside)"
verify_row "a signature beside an unsigned zip" 60 1 \
    "NO MATCH: the program carries the signature beside the zip: $name-$version\.exe\.sig is there, but the program is not signed$" \
    "" "$(hostile sig-beside-unsigned)"
verify_row "a signature beside the zip that is /dev/zero" 10 1 \
    "NO MATCH: the \.exe\.sig beside the zip is the program's signature: the \.exe\.sig beside the zip is a link, not a file$" \
    "" "$(hostile sig-is-dev-zero)"
verify_row "no zip named: usage" 10 2 "usage: make verify-release ZIP=" "" ""
verify_row "a zip that is not there" 10 2 "no such file: .*/absent\.zip$" "" "$rows/absent.zip"
verify_row "a directory for a zip" 10 2 ".*: the zip is not a regular file$" "" "$rows/names"
verify_row "a tool missing" 10 2 "needs dpkg, bwrap, which make installs" "" \
    "$(zip_of "$work/signed")" env PATH="$rows/bin"

# SIGNAL: stopped by SIGNAL in the middle of its rebuild, it leaves nothing
# behind and ends as that signal ends a program.
stopped_by() {
    local tmp=$rows/tmp pid status=0 tries
    rm -rf "$tmp" && mkdir "$tmp"
    TMPDIR=$tmp "$root/release/verify-release.sh" "$version" "$exe" "$(zip_of "$work/signed")" \
        >"$rows/stopped.log" 2>&1 <&"$terminal" &
    pid=$!
    for ((tries = 0; tries < 200; tries++)); do
        ! compgen -G "$tmp/verify-release.*/tmp/*" >/dev/null || break
        sleep 0.05
    done
    kill "-$1" "$pid"
    wait "$pid" || status=$?
    if [ "$status" -ne $((128 + $(kill -l "$1"))) ] || [ -n "$(ls -A "$tmp")" ]; then
        echo "  exit $status after $tries waits; left behind: $(ls -A "$tmp"); it said: $(tail -n 3 "$rows/stopped.log")"
        return 1
    fi
}
check "verify-release: stopped by SIGTERM in its rebuild, it leaves nothing behind" stopped_by TERM
check "verify-release: stopped by SIGHUP in its rebuild, it leaves nothing behind" stopped_by HUP

# make itself: the name reaches the script as data, whatever it holds; make
# passes MATCH on as 0, and says the script's own status in its Error line.
# STATUS ERROR LAST ZIP: `make verify-release ZIP=ZIP` (not building the
# program again) exits with STATUS, the script's last line (its verdict, or
# what it says when it cannot check) matches LAST, make's own is "Error
# ERROR" (none for 0), and nothing ran from ZIP.
make_verify_release() {
    local expected=$1 error=$2 last=$3 status=0 output errors
    rm -f "$root/pwned"
    output=$(cd "$root" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL TMPDIR="$rows" \
        timeout -k 5 60 make -o exe verify-release "ZIP=$4" 2>"$rows/make-errors.log" <&"$terminal") || status=$?
    errors=$(cat "$rows/make-errors.log")
    if [ -n "$error" ]; then
        [[ $(tail -n 1 <<<"$errors") == "make: *** "*"] Error $error" ]] || status="$status, no make Error $error"
        [ -n "$output" ] || output=$(sed '$d' <<<"$errors")
    fi
    if [ "$status" != "$expected" ] || ! [[ $(tail -n 1 <<<"$output") =~ $last ]] || [ -e "$root/pwned" ]; then
        echo "  exit $status; $([ ! -e "$root/pwned" ] || echo "a command in the name ran; ")it said:"
        echo "    ${output//$'\n'/$'\n'    }"
        echo "    ${errors//$'\n'/$'\n'    }"
        rm -f "$root/pwned"
        return 1
    fi
}
check "make verify-release: a name with \`...\`, \$(...), quotes and spaces is the file checked" \
    make_verify_release 0 "" "^verdict: MATCH: unsigned; the program in a b\`touch pwned\`\\\$\(shell touch pwned\)\\\$\(foo\) 'c\"#\.zip " \
    "$hostile_name"
check "make verify-release: NO MATCH is make's Error 1" make_verify_release 2 1 "^verdict: NO MATCH: " \
    "$(hostile extra-dotfile)"
check "make verify-release: no zip named is make's Error 2" make_verify_release 2 2 "^verify-release: usage: " ""
echo "the verify-release checks took $((SECONDS - verify_started)) s"
exit $((failures > 0))
