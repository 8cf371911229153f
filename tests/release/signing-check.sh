#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks below are called through check()
# The signed download, with throwaway keys: a key in a PKCS#12 file and the
# same key in a SoftHSM2 token, a timestamp from a local server, the same
# bytes each time, the signature detached and removed again, read-mes that
# name the publisher and lead on, a download page, whom make dist names for
# signatures by certificates that took the signer's serial number, no
# secret on any command line or in any output, no stale signature left by
# an unsigned zip made where a signed one was, and a table of bad inputs,
# each of which must give its one-line error, start no osslsigncode in the
# toolchain root and leave the release directory as it was.
# It leaves in WORK_DIR/signing the keys, the signed releases (signed/ is
# what exe.pe_image and exe.reproducible check further) and the impostors'
# signatures, for verify-check.sh.
#   signing-check.sh VERSION EXE WORK_DIR
set -euo pipefail  # here too: a suite.sh that cannot be read stops the suite
# shellcheck source=tests/release/suite.sh
source "$(dirname "$0")/suite.sh"
# shellcheck source=tests/release/readme-checks.sh
source "$root/tests/release/readme-checks.sh"
# shellcheck source=tests/release/throwaway-keys.sh
source "$root/tests/release/throwaway-keys.sh"
# shellcheck source=tests/release/impostors.sh
source "$root/tests/release/impostors.sh"
afresh "$signing"
record_in "$signing"
make_throwaway_keys "$keys"
make_throwaway_token "$keys"
make_impostor_keys "$keys"
started=$SECONDS
with_file_key=(SIGN_PKCS12="$keys/signer.p12" SIGN_PASSWORD_FILE="$keys/password")
with_token_key=(SIGN_PKCS11_MODULE="$token_module" SIGN_KEY="$token_key" SIGN_CERTS="$keys/chain.pem"
    SIGN_PIN_FILE="$keys/pin")

# NAME SECONDS [MODE]: a local timestamp server, up once its port is in
# NAME.port (a bounded wait); it stops by itself after SECONDS, or when this
# script ends. MODE: how it goes wrong (see timestamp-server.py).
servers=()
trap 'kill "${servers[@]}" 2>/dev/null || true' EXIT
start_timestamp_server() {
    local port_file=$signing/$1.port tries
    "$root/tests/release/timestamp-server.py" "$keys/tsa.cnf" "${@:2}" >"$port_file" 2>>"$dist_log" &
    servers+=($!)
    for ((tries = 0; tries < 50; tries++)); do
        [ ! -s "$port_file" ] || return 0
        sleep 0.1
    done
    echo "FAIL the timestamp server gave no port within 5 s: $(tail -n 1 "$dist_log")"
    exit 1
}
server_url() { echo "http://127.0.0.1:$(cat "$signing/$1.port")/"; }  # NAME: the address of that server

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

names_lookalike() {  # RELEASE
    local problems=()
    [ "$(buildinfo_field "$1" Signer-Subject)" = \
        "OU=A certificate that takes the throwaway signer's serial number, CN=Korvane Lookalike Signer" ] ||
        problems+=("Signer-Subject: $(buildinfo_field "$1" Signer-Subject)")
    grep -q "発行元: Korvane Lookalike Signer" "$1/unpacked/README-ja.txt" || problems+=("README-ja.txt names another")
    ! grep -q "Korvane Throwaway Signer\|$(fingerprint "$keys/signer.pem" sha256)" "$1"/unpacked/*.txt \
        "$(buildinfo_of "$1")" || problems+=("the signer is named")
    [ ${#problems[@]} -eq 0 ] || { printf '  %s\n' "${problems[@]}"; return 1; }
}

check "make dist signs with a key in a PKCS#12 file" dist_with "$signed" "${with_file_key[@]}"
check "the signed zip holds the same five files, and nothing else" listed_exactly "$signed"
check "sha256sum -c accepts the signed zip's SHA256SUMS" checksums_accepted "$signed"
check "osslsigncode verify accepts the signed program against the test CA, signed as make dist signs" \
    signed_by_throwaway_key "$signed"
check "removing the signature gives the program under test byte for byte" unsigned_again "$signed"
check "the .exe.sig beside the zip is PEM, and attached to the program under test gives the signed one" \
    detached_signature_attaches "$signed"
check "the read-mes name the publisher, give the thumbprint as Windows shows it, and Windows' verdict to look for" \
    names_publisher "$signed" "$keys/signer.pem"
check "the signed read-mes hold no subject in OpenSSL's form (its organisation has a comma and Japanese)" \
    subject_not_in_openssl_form "$keys/signer.pem" "$signed/unpacked/README-ja.txt" "$signed/unpacked/README-en.txt"
check "the signed read-mes lead on as the unsigned ones do, naming the publisher" readmes_lead_on "$signed" signed
check "the signed README-ja.txt sends its reader only to sections it has" \
    sections_referred_to_exist "$signed/unpacked/README-ja.txt"
check "without a download page, the signed read-mes send readers to whoever gave them the file, twice" \
    download_page_named "$signed" 2
for readme in README-ja.txt README-en.txt; do
    check "$readme gives the signed program's SHA-256" filled_in "$signed/unpacked/$readme" "$signed/unpacked/$name.exe"
done
check "the buildinfo gives both SHA-256s, the signer and osslsigncode's version" \
    buildinfo_true "$signed" "$throwaway_subject" "$(fingerprint "$keys/signer.pem" sha256)"
check "make dist signs again" dist_with "$signing/signed-again" "${with_file_key[@]}"
check "signing again gives the same zip and signature" same_release "$signed" "$signing/signed-again"
check "make dist signs with the same key in a PKCS#11 token (SoftHSM2)" \
    dist_with "$signing/in-token" "${with_token_key[@]}"
check "the key in the token gives the same zip and signature as in the file" same_release "$signed" "$signing/in-token"
start_timestamp_server good 60
url=$(server_url good)
check "make dist signs with a timestamp from a local RFC 3161 server" \
    dist_with "$signing/timestamped" "${with_file_key[@]}" SIGN_TIMESTAMP_URL="$url"
check "osslsigncode verifies the timestamp against the test CA, and the buildinfo names the server" \
    timestamp_verified "$signing/timestamped" "$url"
check "make dist names the download page in the signed read-mes" \
    dist_with "$signing/signed-url" "${with_file_key[@]}" KORVANE_DOWNLOAD_URL="$page"
check "the signed read-mes name the page where they send readers, twice, and the buildinfo gives it" \
    download_page_named "$signing/signed-url" 2 "$page"
for readme in README-ja.txt README-en.txt; do
    check "$readme of signed-url is filled in" \
        filled_in "$signing/signed-url/unpacked/$readme" "$signing/signed-url/unpacked/$name.exe"
done

make_impostors "$signed" "$signing/timestamped" || exit 1
check "make dist attaches the lookalike's signature" dist_with "$impostors/lookalike" SIGNATURE="$impostors/lookalike.sig"
check "the buildinfo and the read-mes name the lookalike, never the signer whose serial number it took" \
    names_lookalike "$impostors/lookalike"
check "make dist signs with a certificate whose policies carry a timestamp's object identifiers" \
    dist_with "$impostors/tsbytes" SIGN_PKCS12="$keys/tsbytes.p12" SIGN_PASSWORD_FILE="$keys/password"
stale_signature_goes() {  # RELEASE: an unsigned make dist into a copy of it
    rm -rf "$signing/stale"
    cp -r "$1" "$signing/stale"
    dist_sh -- "$version" "$exe" "$signing/stale" || return 1
    [ ! -e "$(signature_of "$signing/stale")" ] || { echo "  $(signature_of "$signing/stale") is still there"; return 1; }
}
check "an unsigned zip made where a signed one was leaves no .exe.sig" stale_signature_goes "$signed"

# shellcheck source=tests/release/bad-signing-inputs.sh
source "$root/tests/release/bad-signing-inputs.sh"

# The secrets (the password, the PIN and the signer's private key) are in
# no file that the runs above left in $signing but the keys themselves: not
# in a command line the recorders noted, in what make dist said, nor in any
# release. grep reads them from a file, not from its command line, and a
# path it cannot read fails the row rather than passing it.
secrets_kept() {
    local patterns=$keys/secrets found status=0
    printf '%s\n' "$(cat "$keys/password")" "$(cat "$keys/pin")" "$(sed -n 2p "$keys/signer.key")" >"$patterns"
    ! grep -qx '' "$patterns" || { echo "  a secret is empty, and would be found everywhere"; return 1; }
    found=$(grep -rlaF --exclude-dir=keys -f "$patterns" "$signing") || status=$?
    if [ -n "$found" ]; then
        echo "  a secret is in: ${found//$'\n'/, }"
        return 1
    fi
    [ "$status" -eq 1 ] || { echo "  grep could not search $signing (exit $status)"; return 1; }
}
check "no password, PIN or private key is on a command line, in an output or in a release" secrets_kept
echo "the signing checks took $((SECONDS - started)) s, and making the keys before them a little more"
exit $((failures > 0))
