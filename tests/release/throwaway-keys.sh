# shellcheck shell=bash
# Sourced by the tests that sign the program: keys made with openssl at run
# time, for the one run, under a directory the test deletes. None is ever
# committed, and their password and PIN are random and only ever in files.
#
# make_throwaway_keys DIR: a test CA (DIR/ca.pem), and certificates it issued
#   for: signer (code signing, valid from 2000 to 2099), expired (code
#   signing, ended 2001), future (code signing, from 2099), noeku (no code
#   signing) and tsa (time stamping). For each of the first four,
#   DIR/NAME.p12 holds its key, certificate and the CA, locked with the
#   password in DIR/password. DIR/chain.pem is signer's certificate and the
#   CA's; DIR/tsa.cnf sets up `openssl ts -reply` with tsa.
#   The signing time is the last commit's date, from before the keys were
#   made, which is why validity starts in 2000.
# make_impostor_keys DIR: after make_throwaway_keys DIR, certificates for the
#   tests of whom a signature names, each with its key in DIR/NAME.p12 (the
#   same password) and its certificate in DIR/NAME.pem. Three carry signer's
#   serial number, from CAs of their own: twin (signer's subject and issuer,
#   another key: the same length as signer's certificate), impostor
#   (another subject; its CA took the test CA's name, so its issuer is
#   signer's) and lookalike (another subject and issuer). The fourth, tsbytes,
#   is from the test CA, for code signing, and its policies carry the object
#   identifiers that mark a timestamp.
# make_throwaway_token DIR: a SoftHSM2 token in DIR/tokens holding signer's
#   key, with its PIN in DIR/pin; exports SOFTHSM2_CONF, and sets
#   token_module and token_key (its PKCS#11 URI).
# shellcheck disable=SC2034  # token_module and token_key are for the tests that source this

# LOG COMMAND...: runs COMMAND with its chatter in LOG; when it fails, says
# which and why, and fails.
quietly() {
    local log=$1
    shift
    "$@" >>"$log" 2>&1 && return 0
    echo "making throwaway keys: $1 failed: $(tail -n 1 "$log") (all it said: $log)" >&2
    return 1
}

make_throwaway_keys() {
    local dir=$1 log=$1/openssl.log name
    mkdir -p "$dir/issued"
    : >"$dir/index"
    echo 1000 >"$dir/serial"
    cat >"$dir/ca.cnf" <<EOF
[ca]
default_ca = test
[test]
database = $dir/index
serial = $dir/serial
new_certs_dir = $dir/issued
certificate = $dir/ca.pem
private_key = $dir/ca.key
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
organizationName = optional
countryName = optional
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[noeku]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsbytes]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
certificatePolicies = 1.3.6.1.4.1.311.3.3.1, 1.2.840.113549.1.9.6
EOF
    quietly "$log" openssl rand -out "$dir/password" -hex 16 &&
        quietly "$log" openssl req -x509 -newkey rsa:2048 -noenc -keyout "$dir/ca.key" -out "$dir/ca.pem" \
            -days 3650 -subj "/CN=Korvane Throwaway Test CA" -addext "basicConstraints=critical,CA:TRUE" \
            -addext "keyUsage=critical,keyCertSign,cRLSign" &&
        issue_certificate "$dir" signer signer 20000101000000Z 20991231000000Z \
            "/C=JP/O=コルヴェイン試験, Inc./CN=Korvane Throwaway Signer" &&
        issue_certificate "$dir" expired signer 20000101000000Z 20010101000000Z "/CN=Korvane Expired Signer" &&
        issue_certificate "$dir" future signer 20990101000000Z 20991231000000Z "/CN=Korvane Future Signer" &&
        issue_certificate "$dir" noeku noeku 20000101000000Z 20991231000000Z \
            "/CN=Korvane Signer Without Code Signing" &&
        issue_certificate "$dir" tsa tsa 20000101000000Z 20991231000000Z "/CN=Korvane Throwaway Time Stamping" ||
        return 1
    for name in signer expired future noeku; do
        quietly "$log" openssl pkcs12 -export -inkey "$dir/$name.key" -in "$dir/$name.pem" \
            -certfile "$dir/ca.pem" -passout "file:$dir/password" -out "$dir/$name.p12" || return 1
    done
    cat "$dir/signer.pem" "$dir/ca.pem" >"$dir/chain.pem"
    echo 01 >"$dir/tsa-serial"
    cat >"$dir/tsa.cnf" <<EOF
[tsa]
default_tsa = throwaway
[throwaway]
serial = $dir/tsa-serial
signer_cert = $dir/tsa.pem
signer_key = $dir/tsa.key
certs = $dir/ca.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
EOF
}

# DIR NAME EXTENSIONS FROM UNTIL SUBJECT [CA_CONFIG]: DIR/NAME.key, and
# DIR/NAME.pem for it from the test CA in DIR (or the one CA_CONFIG sets up).
issue_certificate() {
    local dir=$1 name=$2
    quietly "$dir/openssl.log" openssl req -new -newkey rsa:2048 -noenc -keyout "$dir/$name.key" \
        -out "$dir/$name.csr" -utf8 -subj "$6" &&
        quietly "$dir/openssl.log" openssl ca -batch -config "${7:-$dir/ca.cnf}" -extensions "$3" -startdate "$4" \
            -enddate "$5" -preserveDN -in "$dir/$name.csr" -out "$dir/$name.pem" -notext
}

# DIR NAME SUBJECT: a CA of its own, DIR/NAME.pem, set up by DIR/NAME.cnf
# (the test CA's settings) to issue its next certificate with signer's serial
# number.
other_ca() {
    local dir=$1 name=$2
    mkdir -p "$dir/$name-issued"
    : >"$dir/$name-index"
    sed -e "s|^database = .*|database = $dir/$name-index|" -e "s|^serial = .*|serial = $dir/$name-serial|" \
        -e "s|^new_certs_dir = .*|new_certs_dir = $dir/$name-issued|" -e "s|^certificate = .*|certificate = $dir/$name.pem|" \
        -e "s|^private_key = .*|private_key = $dir/$name.key|" "$dir/ca.cnf" >"$dir/$name.cnf"
    quietly "$dir/openssl.log" openssl req -x509 -newkey rsa:2048 -noenc -keyout "$dir/$name.key" -out "$dir/$name.pem" \
        -days 3650 -subj "$3" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

make_impostor_keys() {
    local dir=$1 name serial
    serial=$(openssl x509 -in "$dir/signer.pem" -noout -serial | sed 's/^serial=//')
    other_ca "$dir" impostor-ca "/CN=Korvane Throwaway Test CA" &&
        other_ca "$dir" lookalike-ca "/CN=Korvane Lookalike CA" || return 1
    # Each of the three is issued with signer's serial number.
    echo "$serial" >"$dir/impostor-ca-serial"
    issue_certificate "$dir" twin signer 20000101000000Z 20991231000000Z \
        "/C=JP/O=コルヴェイン試験, Inc./CN=Korvane Throwaway Signer" "$dir/impostor-ca.cnf" || return 1
    echo "$serial" >"$dir/impostor-ca-serial"
    : >"$dir/impostor-ca-index"
    # Longer than signer's certificate, so that it comes after it where the
    # signature sorts its certificates.
    issue_certificate "$dir" impostor signer 20000101000000Z 20991231000000Z \
        "/CN=Korvane Impostor Signer/OU=A certificate that takes the throwaway signer's serial number" \
        "$dir/impostor-ca.cnf" || return 1
    echo "$serial" >"$dir/lookalike-ca-serial"
    issue_certificate "$dir" lookalike signer 20000101000000Z 20991231000000Z \
        "/CN=Korvane Lookalike Signer/OU=A certificate that takes the throwaway signer's serial number" \
        "$dir/lookalike-ca.cnf" &&
        issue_certificate "$dir" tsbytes tsbytes 20000101000000Z 20991231000000Z "/CN=Korvane Policy Signer" ||
        return 1
    for name in twin:impostor-ca impostor:impostor-ca lookalike:lookalike-ca tsbytes:ca; do
        quietly "$dir/openssl.log" openssl pkcs12 -export -inkey "$dir/${name%:*}.key" -in "$dir/${name%:*}.pem" \
            -certfile "$dir/${name#*:}.pem" -passout "file:$dir/password" -out "$dir/${name%:*}.p12" || return 1
    done
}

make_throwaway_token() {
    local dir=$1 log=$1/p11tool.log so_pin pin
    mkdir -p "$dir/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/tokens" \
        >"$dir/softhsm2.conf"
    export SOFTHSM2_CONF=$dir/softhsm2.conf
    token_module=/usr/lib/softhsm/libsofthsm2.so
    token_key="pkcs11:token=korvane-throwaway;object=signer;type=private"
    quietly "$log" openssl rand -out "$dir/pin" -hex 8 || return 1
    so_pin=$(openssl rand -hex 8) pin=$(cat "$dir/pin")
    # p11tool takes the PINs from its environment, not from its command line.
    GNUTLS_SO_PIN=$so_pin GNUTLS_PIN=$pin quietly "$log" p11tool --provider "$token_module" --initialize \
        --label korvane-throwaway "pkcs11:model=SoftHSM%20v2" &&
        GNUTLS_SO_PIN=$so_pin GNUTLS_PIN=$pin quietly "$log" p11tool --provider "$token_module" \
            --initialize-pin "pkcs11:token=korvane-throwaway" &&
        GNUTLS_PIN=$pin quietly "$log" p11tool --provider "$token_module" --login --write \
            --load-privkey "$dir/signer.key" --label signer --id 01 "pkcs11:token=korvane-throwaway"
}
