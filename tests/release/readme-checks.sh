# shellcheck shell=bash
# shellcheck disable=SC2154  # root, version and the rest are the suites' own (suite.sh)
# Sourced by the release's suites: what the read-mes in a release must say,
# as their reader follows them. Whether a word or a label is broken across
# lines is the lint's (tests/lint/check-readmes.sh), for every kind of
# release, from the templates.

first_bytes() { head -c "$1" "$2" | od -An -tx1 | tr -d ' \n'; }
last_bytes() { tail -c "$1" "$2" | od -An -tx1 | tr -d ' \n'; }

windows_file() {  # FILE: UTF-8 with a byte order mark and CRLF line ends
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
# page, left; what is wrong is named.
filled_in() {
    local problems=() left
    grep -q "$version" "$1" || problems+=("no version $version")
    grep -q "$(sha256 "$2")" "$1" || problems+=("no SHA-256 of $(basename "$2")")
    left=$(grep -m 1 -o '@[A-Z0-9_]*@' "$1") && problems+=("the placeholder $left is left")
    left=$(grep -m 1 -n '^\(un\)\?signed|\|^\(no\)\?url|' "$1") &&
        problems+=("a marked line is left: ${left%$'\r'}")
    [ ${#problems[@]} -eq 0 ] || { echo "  $(basename "$1"): $(IFS=';'; echo "${problems[*]}")"; return 1; }
}

has_line() { grep -qxF -- "$2"$'\r' "$1"; }  # FILE LINE: FILE, with CRLF line ends, has LINE

# FILE START: the paragraph that starts with START.
paragraph() { tr -d '\r' <"$1" | awk -v RS= -v start="$2" 'index($0, start) == 1'; }

# FILE START NEEDED...: the paragraph that starts with START holds every
# NEEDED (the next step for a reader at the warning that START names).
paragraph_holds() {
    local text needed missing=()
    text=$(paragraph "$1" "$2")
    [ -n "$text" ] || { echo "  no paragraph starts with $2"; return 1; }
    for needed in "${@:3}"; do
        grep -qF -- "$needed" <<<"$text" || missing+=("$needed")
    done
    [ ${#missing[@]} -eq 0 ] || { echo "  the paragraph of $2 does not say: ${missing[*]}"; return 1; }
}

# FILE START UNWANTED: the paragraph that starts with START does not say UNWANTED.
paragraph_lacks() {
    ! paragraph "$1" "$2" | grep -qF -- "$3" || { echo "  the paragraph of $2 says: $3"; return 1; }
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

# RELEASE CERTIFICATE: the read-mes name the publisher by its common name,
# as Windows shows it, and give the CERTIFICATE's SHA-1 thumbprint as
# Windows and PowerShell show it (40 hexadecimal capitals, no separators);
# they send the user to Windows' own verdict on the signature.
names_publisher() {
    local thumbprint ja=$1/unpacked/README-ja.txt en=$1/unpacked/README-en.txt problems=()
    thumbprint=$(fingerprint "$2" sha1 | tr -d :)
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
    ! grep -q "carries no digital signature" "$en" || problems+=("README-en.txt says the program is not signed")
    [ ${#problems[@]} -eq 0 ] || { printf '  %s\n' "${problems[@]}"; return 1; }
}

# CERTIFICATE FILE...: no certificate subject in OpenSSL's form, which
# Windows writes otherwise: no escaped character (\, \+ \" \\ \< \> \; \= \#,
# or \ and two hexadecimal digits) and no attribute such as O= or ST=. The
# CERTIFICATE's organisation must hold a comma and Japanese, which OpenSSL
# escapes.
subject_not_in_openssl_form() {
    local organisation found
    organisation=$(openssl x509 -in "$1" -noout -subject -nameopt multiline,-esc_msb,utf8 |
        sed -n 's/^ *organizationName *= //p')
    [ "$organisation" = "コルヴェイン試験, Inc." ] ||
        { echo "  the throwaway signer's organisation is \"$organisation\", not one with a comma and Japanese"; return 1; }
    # grep finds nothing (1), finds something (0), or cannot read a file (2).
    if found=$(grep -nHE '\\[,+"\\<>;=#]|\\[0123456789ABCDEF]{2}|(^|[ ,])(CN|O|OU|ST|S|L|C|E|emailAddress)=' "${@:2}" 2>&1) ||
        [ -n "$found" ]; then
        echo "  ${found//$'\n'/$'\n'  }"
        return 1
    fi
}
