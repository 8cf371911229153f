# shellcheck shell=bash
# shellcheck disable=SC2154  # root, version and the rest are the suites' own (suite.sh)
# Sourced by signing-check.sh: signatures that must not be taken for the
# throwaway signer's, for its table of bad inputs and for verify-check.sh's
# hostile releases, all in $impostors (after make_impostor_keys "$keys").
#
# Signatures that name someone they should not, made with certificates that
# share the throwaway signer's serial number: the impostor's (its issuer is
# the signer's) and the lookalike's (another issuer), each carrying a copy
# of the signer's certificate too; the twin's, whose certificate is swapped
# for the signer's (of the same length) after signing, so that the
# signature names the signer but was made with another key (swapped); and
# the signed program with a second signature, by the lookalike, nested in
# the unsigned attributes of the signer's, where anyone can add one.
# Signatures that do not fit the program: one made for another program
# (one byte of it differs: other.sig), attached to this one, ones whose
# digest is a byte short or long, and the timestamped one with a byte of
# its timestamp's signature flipped. Each NAME.exe is the program under
# test carrying NAME.sig, but other.exe (the other program, other-program.exe,
# carrying other.sig) and other-attached.exe (the program under test
# carrying other.sig); token-flipped.sig has no program.

# NAME P12 PROGRAM [osslsigncode options...]: NAME.exe, PROGRAM signed
# with the key in P12, and NAME.sig.
signed_copy() {
    osslsigncode sign -pkcs12 "$keys/$2.p12" -readpass "$keys/password" -h sha256 "${@:4}" -in "$3" \
        -out "$impostors/$1.exe" >>"$dist_log" 2>&1 && detach "$1"
}
detach() {  # NAME: NAME.sig, from NAME.exe
    osslsigncode extract-signature -pem -in "$impostors/$1.exe" -out "$impostors/$1.sig" >>"$dist_log" 2>&1
}

# SIGNED TIMESTAMPED: the impostors' signatures, from the signed release
# SIGNED and the timestamped one, TIMESTAMPED.
make_impostors() {
    local tamper=$root/tests/release/tamper.py
    mkdir -p "$impostors"
    cp "$exe" "$impostors/other-program.exe"
    printf '\x90' | dd of="$impostors/other-program.exe" bs=1 seek=$((0x500)) conv=notrunc status=none
    if ! signed_copy impostor impostor "$exe" -ac "$keys/signer.pem" ||
        ! signed_copy lookalike lookalike "$exe" -ac "$keys/signer.pem" || ! signed_copy twin twin "$exe" ||
        ! signed_copy nested lookalike "$1/unpacked/$name.exe" -nest ||
        ! signed_copy other signer "$impostors/other-program.exe"; then
        echo "FAIL could not sign the impostors' programs for the tables below: $(tail -n 1 "$dist_log")"
        return 1
    fi
    if ! "$tamper" swap-certificate "$impostors/twin.exe" "$keys/twin.pem" "$keys/signer.pem" "$impostors/swapped.exe" ||
        ! detach swapped || ! "$tamper" attach "$exe" "$impostors/other.sig" "$impostors/other-attached.exe" ||
        ! "$tamper" digest-length "$exe" -1 "$impostors/digest-short.sig" ||
        ! "$tamper" digest-length "$exe" 1 "$impostors/digest-long.sig" ||
        ! "$tamper" attach "$exe" "$impostors/digest-short.sig" "$impostors/digest-short.exe" ||
        ! "$tamper" attach "$exe" "$impostors/digest-long.sig" "$impostors/digest-long.exe" ||
        ! "$tamper" flip-last "$(signature_of "$2")" "$impostors/token-flipped.sig"; then
        echo "FAIL could not make the signatures that do not fit, for the tables below (tamper.py or osslsigncode" \
            "said why, above or in $dist_log)"
        return 1
    fi
}
