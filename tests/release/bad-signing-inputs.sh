# shellcheck shell=bash
# shellcheck disable=SC2154  # root, version and the rest are the suites' own (suite.sh)
# Sourced by signing-check.sh, after it has made the signed release, the
# keys and the impostors' signatures: a table of bad inputs to make dist.
# Each must fail with one line that names what is wrong, leave the release
# directory it was given as it was, and start no osslsigncode in the
# toolchain root: what is bad is found before.

# NAME PATTERN VARIABLE=VALUE...: `make dist` with these variables into a
# copy of the signed release must fail with one line that PATTERN matches.
bad_input() {
    local name=$1 pattern=$2 before output status=0 release=$signing/bad-input problems=()
    shift 2
    rm -rf "$release"
    cp -r "$signed" "$release"
    before=$(cd "$release" && find . -type f -exec sha256sum {} + | sort)
    : >"$in_root"
    output=$(dist_sh "$@" -- "$version" "$exe" "$release") || status=$?
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

start_timestamp_server silent 30 silent
start_timestamp_server other-data 60 other-data
start_timestamp_server bad-signature 60 bad-signature
authority="\(its authority's certificate has the SHA-256 fingerprint $(fingerprint "$keys/tsa.pem" sha256)\)$"
does_not_verify="does not verify with the public key of the certificate it names"

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
    SIGN_TIMESTAMP_URL="$(server_url silent)" SIGN_TIMESTAMP_TIMEOUT=2
bad_input "a signature made for another program" \
    "SIGNATURE=.* does not fit the program built here: .*[0-9A-F]{64}.*[0-9A-F]{64}.*make verify-release" \
    SIGNATURE="$impostors/other.sig"
bad_input "a signature whose digest is a byte short" \
    "cannot read the signature of .*: the signature's digest is 31 bytes long, and a SHA-256 digest is 32$" \
    SIGNATURE="$impostors/digest-short.sig"
bad_input "a signature whose digest is a byte long" \
    "cannot read the signature of .*: the signature's digest is 33 bytes long, and a SHA-256 digest is 32$" \
    SIGNATURE="$impostors/digest-long.sig"
bad_input "a timestamp server that answers for other data" \
    "the timestamp from SIGN_TIMESTAMP_URL=.* does not hold: the timestamp is for another signature $authority" \
    "${with_file_key[@]}" SIGN_TIMESTAMP_URL="$(server_url other-data)"
bad_input "a timestamp server whose reply's signature is corrupted" \
    "the timestamp from SIGN_TIMESTAMP_URL=.* does not hold: the timestamp's signature $does_not_verify $authority" \
    "${with_file_key[@]}" SIGN_TIMESTAMP_URL="$(server_url bad-signature)"
bad_input "a signature whose timestamp's signature is corrupted" \
    "the timestamp from SIGNATURE=.* does not hold: the timestamp's signature $does_not_verify $authority" \
    SIGNATURE="$impostors/token-flipped.sig"
bad_input "a signature whose certificates hold two with its signer's issuer and serial number" \
    "cannot read the signature of .*: .* 2 of its certificates carry, so who signed is not certain$" \
    SIGNATURE="$impostors/impostor.sig"
bad_input "a signature that names the signer's certificate but was made with another key" \
    "cannot read the signature of .*: .* $does_not_verify$" SIGNATURE="$impostors/swapped.sig"
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
# A signature's file name is data too: no option, and no escape printed.
mkdir -p "$signing/signature-names"
odd_signature=$signing/signature-names/-x$'\e'"[2J.sig"
cp "$impostors/other.sig" "$odd_signature"
bad_input "a signature whose file name starts with - and holds an escape" \
    "SIGNATURE=\\\$'.*/-x\\\\E\\[2J\.sig' does not fit the program built here" SIGNATURE="$odd_signature"

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
