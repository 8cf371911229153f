# shellcheck shell=bash
# shellcheck disable=SC2034  # the signature_* facts are read by the scripts that source this
# Sourced by dist.sh: Authenticode signatures of the program, made and
# attached with osslsigncode, and read with authenticode.py.
#
# A signature is made from a key in a PKCS#12 file or in a PKCS#11 token
# (a hardware token or HSM), as the SIGN_ variables say (see
# signing_mode), with SHA-256, the description "Korvane Update" and a fixed
# signing time, so that the same program, key and time give the same bytes.
# A signature that was made elsewhere, once extracted as PEM, can be attached
# to the same program built here, giving the signed program byte for byte.
# Passwords and PINs are only ever passed to the tools as file names.
#
# signing_mode: checks the SIGN_ and SIGNATURE variables and sets
#   signing_mode to none, pkcs12, pkcs11 or attach; says what is wrong in
#   one line and fails when they do not make sense together, or name a file
#   that cannot be read.
# signer_certificate_ok WORK: writes the certificate that will sign to
#   WORK/signer.pem and checks it: the password opens the PKCS#12 file, the
#   certificate is valid now and is for code signing.
# sign_program UNSIGNED SIGNED DATE WORK: signs a copy; DATE is the signing
#   time, in seconds since 1970.
# attach_signature SIGNATURE UNSIGNED SIGNED WORK [TIMESTAMP_FROM]: attaches
#   a detached PEM signature; fails, saying so, before any tool but the
#   reader sees it, when it does not hold, does not fit the program, or
#   carries a timestamp that does not hold. TIMESTAMP_FROM, which names where
#   a timestamp came from, asks for one that holds.
# read_signature EXE WORK: the facts of EXE's signature, as authenticode.py
#   reads them from its structure, in signature_signed (yes or no),
#   signature_subject (as Windows shows it: CN=..., O="..., Inc.", C=...),
#   signature_publisher (as Windows shows the publisher), signature_fingerprint
#   (the certificate's SHA-256), signature_thumbprint (its SHA-1, as Windows
#   shows it), signature_timestamp (the time of a timestamp that holds, or
#   empty), signature_digest (the program's Authenticode digest that the
#   signature signs) and program_digest (the one of EXE as it is); the
#   signature itself, detached, as PEM in WORK/signature/signature.pem. It
#   fails, saying why, when the signature does not hold: its signer is not
#   certain, or its signature does not verify with the signer's key.
# The functions say what went wrong in one line on stderr, prefixed with the
# name of the script that sourced them.

signing_description="Korvane Update"
# Every variable that make dist signs or attaches with, one name a line;
# the scripts and tests that clear them read the same list.
mapfile -t signing_variables <"$(dirname "${BASH_SOURCE[0]}")/signing-variables"
# How long a timestamp server may take to answer, in seconds.
timestamp_timeout=${SIGN_TIMESTAMP_TIMEOUT:-60}

signing_complaint() { echo "$(basename "$0"): $*" >&2; }

# VARIABLE: fails, saying why, unless the file that VARIABLE names is there
# to read.
readable_file() {
    local name=$1 file=${!1} said shown
    shown=$(printf %q "$file")
    if [ -d "$file" ]; then
        signing_complaint "$name=$shown is a directory, not a file"
        return 1
    fi
    if ! said=$(head -c 1 -- "$file" 2>&1 >/dev/null); then
        signing_complaint "cannot read $name=$shown: ${said##*: }"
        return 1
    fi
}

# VARIABLE...: the ones of them that are not set.
unset_variables() {
    local name
    for name; do
        [ -n "${!name:-}" ] || echo "$name"
    done
}

signing_mode() {
    local name given=() lacking
    for name in "${signing_variables[@]}"; do
        # SIGNATURE is the other way, and the timeout asks for nothing alone.
        [ "$name" = SIGNATURE ] || [ "$name" = SIGN_TIMESTAMP_TIMEOUT ] || [ -z "${!name:-}" ] || given+=("$name")
    done
    signing_mode=none
    if [ -n "${SIGNATURE:-}" ]; then
        if [ ${#given[@]} -gt 0 ]; then
            signing_complaint "SIGNATURE= attaches a signature made elsewhere, so it takes none of ${given[*]}"
            return 1
        fi
        signing_mode=attach
        readable_file SIGNATURE
        return
    fi
    [ ${#given[@]} -gt 0 ] || return 0
    if ! [[ $timestamp_timeout =~ ^[1-9][0-9]*$ ]]; then
        signing_complaint "SIGN_TIMESTAMP_TIMEOUT=$timestamp_timeout is not a number of seconds"
        return 1
    fi
    if [ -n "${SIGN_PKCS12:-}" ] && [ -n "${SIGN_PKCS11_MODULE:-}" ]; then
        signing_complaint "give either SIGN_PKCS12 (a key in a file) or SIGN_PKCS11_MODULE (a key in a token), not both"
        return 1
    fi
    if [ -n "${SIGN_PKCS12:-}" ]; then
        signing_mode=pkcs12
        lacking=$(unset_variables SIGN_PASSWORD_FILE)
    elif [ -n "${SIGN_PKCS11_MODULE:-}" ]; then
        signing_mode=pkcs11
        lacking=$(unset_variables SIGN_KEY SIGN_CERTS SIGN_PIN_FILE)
    else
        signing_complaint "${given[*]} given without a key: set SIGN_PKCS12, or SIGN_PKCS11_MODULE and SIGN_KEY"
        return 1
    fi
    if [ -n "$lacking" ]; then
        signing_complaint "signing with ${given[0]} also needs ${lacking//$'\n'/, }"
        return 1
    fi
    case $signing_mode in
    pkcs12) readable_file SIGN_PKCS12 && readable_file SIGN_PASSWORD_FILE ;;
    pkcs11)
        # A module named without a directory is looked for where the system keeps libraries.
        { [[ $SIGN_PKCS11_MODULE != */* ]] || readable_file SIGN_PKCS11_MODULE; } &&
            readable_file SIGN_CERTS && readable_file SIGN_PIN_FILE
        ;;
    esac
}

# WORK: the certificate whose key signs, in WORK/signer.pem: the one that
# goes with the key in the PKCS#12 file, or the first one in SIGN_CERTS.
extract_signer_certificate() {
    local said
    if [ "$signing_mode" = pkcs12 ]; then
        if ! said=$(openssl pkcs12 -in "$SIGN_PKCS12" -passin "file:$SIGN_PASSWORD_FILE" -nokeys -clcerts \
            -out "$1/signer.pem" 2>&1); then
            if [[ $said == *"invalid password"* ]]; then
                signing_complaint "wrong password for SIGN_PKCS12=$SIGN_PKCS12 (from SIGN_PASSWORD_FILE=$SIGN_PASSWORD_FILE)"
            else
                signing_complaint "SIGN_PKCS12=$SIGN_PKCS12 is not a PKCS#12 file openssl can read: $(head -n 1 <<<"$said")"
            fi
            return 1
        fi
    elif ! said=$(openssl x509 -in "$SIGN_CERTS" -out "$1/signer.pem" 2>&1); then
        signing_complaint "SIGN_CERTS=$SIGN_CERTS does not start with a PEM certificate: $(head -n 1 <<<"$said")"
        return 1
    fi
}

# PEM: "" when the certificate is valid at this moment, else why not.
certificate_dates_problem() {
    local not_before not_after now
    not_before=$(openssl x509 -in "$1" -noout -startdate | sed 's/^notBefore=//')
    not_after=$(openssl x509 -in "$1" -noout -enddate | sed 's/^notAfter=//')
    now=$(date +%s)
    if [ "$(date -d "$not_before" +%s)" -gt "$now" ]; then
        echo "is not valid yet: its validity starts $not_before"
    elif [ "$(date -d "$not_after" +%s)" -le "$now" ]; then
        echo "has expired: its validity ended $not_after"
    fi
}

signer_certificate_ok() {
    local work=$1 problem usages what
    extract_signer_certificate "$work" || return 1
    what="the signing certificate ($(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt utf8,sname |
        sed 's/^subject=//'))"
    problem=$(certificate_dates_problem "$work/signer.pem")
    if [ -n "$problem" ]; then
        signing_complaint "$what $problem"
        return 1
    fi
    usages=$(openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage 2>&1) || true
    if [[ $usages != *"Code Signing"* ]]; then
        signing_complaint "$what is not for code signing: it lacks the Code Signing extended key usage"
        return 1
    fi
}

# LOG: why osslsigncode could not sign, in one line.
signing_failure() {
    local log=$1
    if grep -q 'PIN incorrect' "$log"; then
        echo "wrong PIN for SIGN_KEY=$SIGN_KEY (from SIGN_PIN_FILE=$SIGN_PIN_FILE)"
    elif grep -q '^Unable to load module' "$log"; then
        echo "the PKCS#11 module SIGN_PKCS11_MODULE=$SIGN_PKCS11_MODULE does not load:" \
            "$(grep -m 1 -B 1 '^Unable to load module' "$log" | head -n 1)"
    elif grep -q 'private key was not found' "$log"; then
        echo "no private key in the token at SIGN_KEY=$SIGN_KEY"
    elif grep -q 'RFC 3161 timestamping failed' "$log"; then
        echo "the timestamp server SIGN_TIMESTAMP_URL=$SIGN_TIMESTAMP_URL did not give a timestamp:" \
            "$(grep -m 1 -E 'HTTP failure|Failed' "$log" || echo "see osslsigncode's output")"
    else
        echo "osslsigncode could not sign: $(grep -v '^\(Connecting to\|Engine\)' "$log" | head -n 1)"
    fi
}

sign_program() {
    local unsigned=$1 signed=$2 date=$3 work=$4 status=0 limit=300
    local command=(osslsigncode sign -h sha256 -n "$signing_description" -time "$date")
    case $signing_mode in
    pkcs12) command+=(-pkcs12 "$SIGN_PKCS12" -readpass "$SIGN_PASSWORD_FILE") ;;
    pkcs11) command+=(-pkcs11module "$SIGN_PKCS11_MODULE" -key "$SIGN_KEY" -certs "$SIGN_CERTS"
        -readpass "$SIGN_PIN_FILE") ;;
    esac
    if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
        command+=(-ts "$SIGN_TIMESTAMP_URL")
        limit=$timestamp_timeout
    fi
    rm -f "$signed"
    timeout --kill-after=5 "$limit" "${command[@]}" -in "$unsigned" -out "$signed" >"$work/sign.log" 2>&1 ||
        status=$?
    if [ $status -eq 124 ] && [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
        signing_complaint "the timestamp server SIGN_TIMESTAMP_URL=$SIGN_TIMESTAMP_URL did not answer within $limit s"
    elif [ $status -eq 124 ]; then
        signing_complaint "osslsigncode did not finish signing within $limit s"
    elif [ $status -ne 0 ]; then
        signing_complaint "$(signing_failure "$work/sign.log")"
    fi
    [ $status -eq 0 ] || { rm -f "$signed"; return 1; }
}

# SIGNATURE UNSIGNED [TIMESTAMP_FROM [SHOWN]]: fails, saying why in one line
# (naming SHOWN, else SIGNATURE), unless
# the reader finds that SIGNATURE holds, signs UNSIGNED's Authenticode
# digest, and carries no timestamp that does not hold (with TIMESTAMP_FROM,
# one that holds). The signature may come from anyone, and osslsigncode
# (which the lock pins, and which has since had fixes for overflows in
# reading digests) is to see it only when there is nothing left to decide.
signature_fits() {
    local signature=$1 unsigned=$2 shown=${4:-$1} said status=0 from
    from=${3:-SIGNATURE=$(printf %q "$shown")}
    said=$("${signature_reader[@]}" fits "$signature" "$unsigned" ${3:+timestamped} 2>&1) || status=$?
    said=$(tail -n 1 <<<"$said")
    case $status in
    0) return 0 ;;
    3) signing_complaint "SIGNATURE=$(printf %q "$shown") does not fit the program built here: $said;" \
        "\`make verify-release ZIP=...\` on the published zip says what differs" ;;
    4) signing_complaint "the timestamp from $from does not hold: $said" ;;
    *) signing_complaint "cannot read the signature of $(printf %q "$shown"): $said" ;;
    esac
    return 1
}

attach_signature() {
    local signature=$1 unsigned=$2 signed=$3 work=$4 said
    # One copy, in WORK, is what is checked and what osslsigncode reads, so
    # that the file cannot change between the two.
    cp -- "$signature" "$work/attaching.sig" && cp -- "$unsigned" "$work/attaching.exe" || return 1
    signature_fits "$work/attaching.sig" "$unsigned" "${5:-}" "$signature" || return 1
    # osslsigncode checks the certificates as it attaches; whether Windows
    # will trust them is not for us to decide here, so they are checked
    # against themselves: the reader takes them out, within bounds.
    if ! said=$("${signature_reader[@]}" certificates "$work/attaching.sig" "$work/attached-certs.pem" 2>&1); then
        signing_complaint "SIGNATURE=$(printf %q "$signature") cannot be read: $(tail -n 1 <<<"$said")"
        return 1
    fi
    rm -f "$signed" "$work/attached.exe"
    # With the toolchain root's osslsigncode, which the lock pins, on those
    # copies; it reads that signature, so it sees WORK alone, within a time
    # bound, and the signed copy is moved from there only if it is a file.
    (cd "$work" && timeout -k 5 300 "$(dirname "${BASH_SOURCE[0]}")/../scripts/toolchain.sh" run --only "$work" \
        osslsigncode attach-signature -sigin "$work/attaching.sig" -CAfile "$work/attached-certs.pem" \
        -in "$work/attaching.exe" -out "$work/attached.exe" >"$work/attach.log" 2>&1) || true
    if [ -f "$work/attached.exe" ] && [ ! -L "$work/attached.exe" ] && [ -s "$work/attached.exe" ]; then
        mv -- "$work/attached.exe" "$signed"
    fi
    if [ ! -s "$signed" ]; then
        # What osslsigncode said, not toolchain.sh's note on how it ran.
        said=$(grep -v -m 1 '^toolchain: ' "$work/attach.log") || said=$(tail -n 1 "$work/attach.log")
        signing_complaint "osslsigncode could not attach SIGNATURE=$(printf %q "$signature"):" \
            "$(LC_ALL=C tr -cd '[:print:]' <<<"$said" | cut -c1-300)"
        return 1
    fi
    # What osslsigncode made is read again: its signature must still fit.
    read_signature "$signed" "$work" || return 1
    if [ "$signature_signed" != yes ] || [ "$signature_digest" != "$program_digest" ]; then
        signing_complaint "osslsigncode attached SIGNATURE=$(printf %q "$signature") as a signature that does not fit:" \
            "it signs $signature_digest, and the program is $program_digest"
        rm -f "$signed"
        return 1
    fi
}

# The one reader of signatures, shared with verify_release.py; Debian's
# Python, with nothing from the environment.
signature_reader=(/usr/bin/python3 -IB "$(dirname "${BASH_SOURCE[0]}")/authenticode.py")

# The reader writes each fact in a file of its own, one line made safe for a
# terminal; they reach the shell as data, never as code.
read_signature() {
    local exe=$1 work=$2 said fact
    signature_signed=no signature_subject="" signature_publisher="" signature_fingerprint=""
    signature_thumbprint="" signature_timestamp="" signature_digest="" program_digest=""
    rm -rf "$work/signature" && mkdir -p "$work/signature"
    if ! said=$("${signature_reader[@]}" facts "$exe" "$work/signature" 2>&1); then
        signing_complaint "cannot read the signature of $exe: $(tail -n 1 <<<"$said")"
        return 1
    fi
    signature_signed=$(<"$work/signature/signed")
    [ "$signature_signed" = yes ] || return 0
    for fact in subject publisher fingerprint thumbprint timestamp; do
        printf -v "signature_$fact" '%s' "$(<"$work/signature/$fact")"
    done
    signature_digest=$(<"$work/signature/signature_digest")
    program_digest=$(<"$work/signature/program_digest")
}
