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
# same bytes each time, the signature detached and removed again, what
# `make verify-release` says of it and of a tampered copy, whom make dist
# names for signatures by certificates that took the signer's serial number,
# no secret on any command line or in any output, and a table of bad inputs,
# each of which must give its one-line error and leave the release directory
# as it was.
# The signed release it leaves in WORK_DIR/signed is what exe.pe_image and
# exe.reproducible check further.
#   dist-check.sh VERSION EXE WORK_DIR
set -euo pipefail
# What make dist does is up to each run here, not to the caller's shell.
unset SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY SIGN_CERTS SIGN_PIN_FILE SIGN_TIMESTAMP_URL \
    SIGN_TIMESTAMP_TIMEOUT SIGNATURE
root=$(cd "$(dirname "$0")/../.." && pwd)
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
# or line of the other kind of release left.
filled_in() {
    grep -q "$version" "$1" && grep -q "$(sha256 "$2")" "$1" && ! grep -q '@[A-Z0-9]*@' "$1" &&
        ! grep -q '^\(un\)\?signed|' "$1"
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

# RELEASE: the buildinfo names the zip beside it and the program in it by
# their SHA-256 and size, the commit checked out here, and the packages
# installed here that built the program; when the program is signed, also
# the signature beside the zip, the program before signing (the program
# under test), the signer and osslsigncode's version.
buildinfo_true() {
    local release=$1 buildinfo problems=() file package pinned installed
    buildinfo=$(buildinfo_of "$release")
    field() { sed -n "s/^$1: //p" "$buildinfo"; }
    names() { grep -qx " $(sha256 "$1") $(stat -c %s "$1") ${2:-$(basename "$1")}" "$buildinfo"; }
    [ "$(field Version)" = "$version" ] || problems+=("Version: \"$(field Version)\"")
    [ "$(field Git-Commit)" = "$(git -C "$root" rev-parse HEAD)" ] || problems+=("Git-Commit: $(field Git-Commit)")
    for file in "$(zip_of "$release")" "$release/unpacked/$name.exe"; do
        names "$file" || problems+=("no checksum line for $(basename "$file") as it is")
    done
    while read -r package pinned; do
        pinned=${pinned#(= } pinned=${pinned%),} pinned=${pinned%)}
        installed=$(dpkg-query -W -f='${Version}' "$package" 2>&1) || true
        [ "$pinned" = "$installed" ] || problems+=("$package $pinned, but $installed is installed")
    done < <(sed -n '/^Installed-Build-Depends:/,/^[^ ]/{/^ /p}' "$buildinfo")
    grep -q '^ g++-mingw-w64-i686-win32 ' "$buildinfo" || problems+=("no compiler in Installed-Build-Depends")
    if [ -f "$(signature_of "$release")" ]; then
        names "$(signature_of "$release")" || problems+=("no checksum line for the signature")
        sed -n '/^Unsigned-Checksums-Sha256:/,/^[^ ]/p' "$buildinfo" |
            grep -qx " $(sha256 "$exe") $(stat -c %s "$exe") $name.exe" || problems+=("no unsigned checksum line")
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
"$root/scripts/dist.sh" "$version" "$exe" "$work"
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
check "LICENSE.txt is UTF-8 with a byte order mark and CRLF line ends" windows_text "$work/unpacked/LICENSE.txt"
check "LICENSE.txt is LICENSE, apart from the byte order mark and line ends" same_as_license "$work/unpacked/LICENSE.txt"
check "README-en.txt passes on the MinGW-w64 runtime's notice" \
    grep -q "Copyright (c) 2009, 2010 by the mingw-w64 project" "$work/unpacked/README-en.txt"
check "README.md's Japanese part is word for word in README-ja.txt" readme_md_part_in_readme_ja
check "the buildinfo beside the zip gives its version, commit, checksums and toolchain" buildinfo_true "$work"
check "no signature beside the unsigned zip" test ! -e "$(signature_of "$work")"

# --- Signed ----------------------------------------------------------------
# shellcheck source=tests/exe/throwaway-keys.sh
source "$root/tests/exe/throwaway-keys.sh"
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
    output=$(env PATH="$work/recorders:$PATH" "${settings[@]}" "$root/scripts/dist.sh" "$@" 2>&1) || status=$?
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
    "$root/tests/exe/timestamp-server.py" "$keys/tsa.cnf" "${@:2}" >"$port_file" 2>>"$signing_log" &
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
    date=$(sed -n 's/^Source-Date-Epoch: //p' "$(buildinfo_of "$1")")
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

names_publisher() {  # RELEASE
    local thumbprint
    thumbprint=$(fingerprint sha1 | tr -d :)
    grep -q "発行元: Korvane Throwaway Signer" "$1/unpacked/README-ja.txt" &&
        grep -q "拇印: $thumbprint" "$1/unpacked/README-ja.txt" &&
        grep -q "Publisher: Korvane Throwaway Signer" "$1/unpacked/README-en.txt" &&
        grep -qF "subject: $throwaway_subject" "$1/unpacked/README-en.txt" &&
        grep -q "thumbprint: $thumbprint" "$1/unpacked/README-en.txt" &&
        ! grep -q "発行元を「不明な発行元」と表示します" "$1/unpacked/README-ja.txt"
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
    grep -qx "Timestamp-URL: $2" "$(buildinfo_of "$1")"
}

# RELEASE VERDICT PATTERN: `make verify-release` on RELEASE's zip ends with
# VERDICT (MATCH or NO MATCH) and says what PATTERN matches. Make puts ZIP
# in the environment too, where zip would take it for options.
verify_release_says() {
    local output status=0
    output=$(PATH="$work/recorders:$PATH" ZIP="$(zip_of "$1")" "$root/scripts/verify-release.sh" "$version" \
        "$exe" "$(zip_of "$1")" 2>&1) || status=$?
    echo "$output" >>"$signing_log"
    local expected_status=1
    [ "$2" != MATCH ] || expected_status=0
    if [[ $(tail -n 1 <<<"$output") != "verdict: $2:"* ]] || ! grep -q "$3" <<<"$output" ||
        [ "$((status != 0))" -ne "$expected_status" ]; then
        echo "  exit $status; it said:"
        echo "    ${output//$'\n'/$'\n'    }"
        return 1
    fi
}

# RELEASE: a copy of it whose program differs in one byte of code, with
# SHA256SUMS made again to match, in RELEASE-tampered.
tamper() {
    local copy=$1-tampered
    rm -rf "$copy"
    mkdir -p "$copy"
    cp -r "$1/unpacked" "$(buildinfo_of "$1")" "$(signature_of "$1")" "$copy/"
    printf '\x90' | dd of="$copy/unpacked/$name.exe" bs=1 seek=$((0x500)) conv=notrunc status=none
    (cd "$copy/unpacked" && sha256sum "$name.exe" README-ja.txt README-en.txt LICENSE.txt >SHA256SUMS &&
        TZ=UTC zip -q -X -D "$(zip_of "$copy")" "$name.exe" README-ja.txt README-en.txt LICENSE.txt SHA256SUMS)
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
check "the read-mes name the publisher and the certificate's thumbprint" names_publisher "$work/signed"
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
check "verify-release: the signed zip is this source's build" verify_release_says "$work/signed" MATCH \
    "signed by CN=Korvane Throwaway Signer"
check "verify-release: the timestamped zip is too, and it says it carries a timestamp" \
    verify_release_says "$work/timestamped" MATCH "^     timestamped"
tamper "$work/signed"
check "verify-release: a copy whose program differs in one byte, SHA256SUMS made again, is not" \
    verify_release_says "$work/signed-tampered" "NO MATCH" "^FAIL the signature's digest matches the program"

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
if ! signed_copy impostor impostor -ac "$keys/signer.pem" || ! signed_copy lookalike lookalike -ac "$keys/signer.pem" ||
    ! signed_copy twin twin || ! swap_certificate; then
    echo "FAIL could not make the impostors' signatures for the checks below: $(tail -n 1 "$signing_log")"
    exit 1
fi
names_lookalike() {  # RELEASE
    local problems=()
    grep -qF "Signer-Subject: OU=A certificate that takes the throwaway signer's serial number, CN=Korvane Lookalike Signer" \
        "$(buildinfo_of "$1")" || problems+=("$(grep Signer-Subject "$(buildinfo_of "$1")")")
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
check "verify-release: its signature carries no timestamp, and is said not to" \
    verify_release_says "$impostors/tsbytes" MATCH "^     not timestamped"

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

# NAME PATTERN VARIABLE=VALUE...: `make dist` with these variables into a
# release directory that already holds a signed release must fail with one
# line that PATTERN matches, and leave that directory as it was.
bad_input() {
    local name=$1 pattern=$2 before output status=0 release=$work/bad-input
    shift 2
    rm -rf "$release"
    cp -r "$work/signed" "$release"
    before=$(cd "$release" && find . -type f -exec sha256sum {} + | sort)
    output=$(dist_sh "$@" -- "$version" "$exe" "$release") || status=$?
    local problems=()
    [ $status -ne 0 ] || problems+=("it succeeded")
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
bad_input "a signature whose certificates hold two with its signer's issuer and serial number" \
    "cannot read the signature of .*: .* 2 of its certificates carry, so who signed is not certain$" \
    SIGNATURE="$impostors/impostor.sig"
bad_input "a signature that names the signer's certificate but was made with another key" \
    "cannot read the signature of .*: .* does not verify with the public key of the certificate it names$" \
    SIGNATURE="$impostors/swapped.sig"
check "no password, PIN or private key is on a command line, in an output or in a release" secrets_kept
echo "the signing checks took $((SECONDS - signing_started)) s, and making the keys before them a little more"
exit $((failures > 0))
