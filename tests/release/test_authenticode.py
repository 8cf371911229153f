"""The signature reader, in tables: what it reads from signatures that
hold, and each fault it refuses, a row named after the fault."""

import datetime
import hashlib
import os
import re
import struct

import pytest

import authenticode as A
import factory as F
import strict_der as D
import windows_names as N
from factory import attribute, integer, oid, seq, tlv

WHEN = datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)
SHOWN = "2024-05-06 07:08:09 UTC"
MD5 = "1.2.840.113549.2.5"


def rows(table):
    """TABLE, {id: row}, as pytest's parameters."""
    return [pytest.param(*row, id=name) for name, row in table.items()]


def facts_of(data):
    return A.signature_facts(A.read_program(data))


def fingerprint(der):
    return ":".join(re.findall("..", hashlib.sha256(der).hexdigest().upper()))


def replace(index, value):
    return lambda fields: [*fields[:index], value, *fields[index + 1:]]


def flip(value):
    return value[:-1] + bytes([value[-1] ^ 1])


# --- Signatures made as a release is signed -------------------------------

@pytest.mark.parametrize("key, name", [("rsa", "sha1"), ("rsa", "sha256"), ("rsa", "sha384"), ("rsa", "sha512"),
                                       ("p256", "sha256"), ("p384", "sha384")], ids=lambda value: value)
def test_osslsigncode_signature_reads_as_openssl_reads_it(keys, program, program_path, work, key, name):
    os.mkdir(directory := os.path.join(work, f"{key}-{name}"))
    with open(F.osslsigncode(program_path, getattr(keys, key), name, directory), "rb") as file:
        signed = file.read()
    facts = facts_of(signed)
    common_name = f"Korvane {dict(rsa='RSA', p256='P-256', p384='P-384')[key]} Signer"
    assert (facts.subject, facts.publisher) == (f"CN={common_name}, O=Korvane Test, C=JP", common_name)
    assert (facts.subject, facts.fingerprint, facts.thumbprint) in F.openssl_certificates(
        os.path.join(directory, "signed.exe"), directory)
    assert facts.signed_digest == facts.program_digest and len(facts.signed_digest) == 2 * hashlib.new(name).digest_size
    assert (facts.timestamp, facts.timestamp_problem) == ("", "")
    assert A.without_signature(A.read_program(signed)) == program
    changed = bytearray(signed)  # one byte changed after signing: the signature does not sign it
    changed[0x500] ^= 0xFF
    facts = facts_of(bytes(changed))
    assert facts.signed_digest != facts.program_digest and len(facts.program_digest) == len(facts.signed_digest)


# --- Signatures written here that hold ------------------------------------

def latin1_t61_signer(k):
    """A signer whose common name is a T61String in Latin-1, which Windows
    shows and cryptography refuses."""
    signer = F.Signing("CafX", issuer=k.ca)
    signer.der = F.resigned(signer.der, k.ca, b"\x0c\x04CafX", b"\x14\x04Caf\xe9")
    return signer


def rfc3161(**changes):
    return lambda k: [F.rfc3161(k.tsa, WHEN, **changes)]


def countersignature(when=WHEN, **changes):
    return lambda k: [F.countersignature(k.tsa, when, **changes)]


HOLDING = {  # signer, its options, its unsigned attributes, what the facts say (subject, time)
    "rsa-sha256WithRSAEncryption": ("rsa", {"signature_algorithm": lambda _: "1.2.840.113549.1.1.11"}, None,
                                    ("CN=Korvane RSA Signer, O=Korvane Test, C=JP", "")),
    "ec-p384-sha512": ("p384", {"name": "sha512"}, None, ("CN=Korvane P-384 Signer, O=Korvane Test, C=JP", "")),
    "t61string-in-latin-1": (latin1_t61_signer, {}, None, ("CN=Café", "")),
    "rfc3161-generalizedtime": ("p256", {}, rfc3161(), (None, SHOWN)),
    "rfc3161-fraction-sha512": ("p256", {}, rfc3161(name="sha512", time=F.generalized_time(WHEN, ".25")),
                                (None, SHOWN)),
    "countersignature-utctime": ("p256", {}, countersignature(), (None, SHOWN)),
    "countersignature-generalizedtime": ("p256", {}, countersignature(time=F.generalized_time(WHEN)), (None, SHOWN)),
    "utctime-49-is-2049": ("p256", {}, countersignature(WHEN.replace(year=2049)), (None, "2049-05-06 07:08:09 UTC")),
}


@pytest.mark.parametrize("signer, options, unsigned, expected", rows(HOLDING))
def test_signature_that_holds(keys, program, signer, options, unsigned, expected):
    signing = signer(keys) if callable(signer) else getattr(keys, signer)
    facts = facts_of(F.authenticode(program, signing, unsigned=unsigned(keys) if unsigned else (),
                                    certificates=[signing.der, keys.tsa.der], **options))
    assert (facts.subject if expected[0] else None, facts.timestamp, facts.timestamp_problem) == (*expected, "")
    assert facts.timestamp_authority == (fingerprint(keys.tsa.der) if unsigned else "")
    assert facts.signed_digest == facts.program_digest


# --- Timestamps that do not hold: the signature does, without a time ------

NOT_HOLDING = {  # unsigned attributes, what the problem says
    "two-timestamps": (lambda k: rfc3161()(k) * 2, "more than one"),
    "a-timestamp-and-a-countersignature": (lambda k: rfc3161()(k) + countersignature()(k), "more than one"),
    "one-attribute-two-timestamps": (lambda k: [F.twice(*rfc3161()(k))], "more than one"),
    "token-of-other-content": (rfc3161(tst_content_type=lambda _: A.OID_DATA), "does not hold a time-stamp token"),
    "token-lacks-fields": (rfc3161(tst_fields=lambda f: f[:4]), "lacks some of its fields"),
    "imprint-without-digest": (rfc3161(tst_fields=replace(2, seq(F.algorithm(A.SHA256)))), "imprint has no digest$"),
    "imprint-md5": (rfc3161(tst_fields=replace(2, seq(F.algorithm(MD5), tlv(4, bytes(16))))), f"algorithm .{MD5}"),
    "imprint-of-another-signature": (rfc3161(tst_fields=replace(2, seq(F.algorithm(A.SHA256), tlv(4, bytes(32))))),
                                     "is for another signature"),
    "time-not-a-time": (rfc3161(time=tlv(0x18, b"2024-05-06Z")), "time is not a time"),
    "time-month-13": (rfc3161(time=tlv(0x18, b"20241306070809Z")), "time is not a time"),
    "time-of-another-type": (rfc3161(time=tlv(0x13, b"20240506070809Z")), "time is not a time"),
    "token-signature-changed": (rfc3161(tst_signature=flip), "does not verify"),
    "countersignature-without-time": (countersignature(cs_signed_attributes=lambda a: [a[0], a[2]]),
                                      f"exactly one {A.OID_SIGNING_TIME}"),
    "countersignature-of-another-signature": (countersignature(cs_signed_attributes=replace(2, attribute(
        A.OID_MESSAGE_DIGEST, tlv(4, bytes(32))))), "message digest that is not"),
    "countersignature-by-uncarried-certificate": (lambda k: [F.countersignature(k.ca, WHEN)], "does not carry"),
    "utctime-50-is-1950": (countersignature(time=F.utc_time(WHEN.replace(year=1950))),
                           "1950-05-06 07:08:09 UTC, is not within the validity of the signer's"),
    "authority-not-valid-then": (lambda k: [F.rfc3161(k.old_tsa, WHEN)], "validity of its own certificate"),
}


@pytest.mark.parametrize("unsigned, problem", rows(NOT_HOLDING))
def test_timestamp_that_does_not_hold(keys, program, unsigned, problem):
    facts = facts_of(F.authenticode(program, keys.p256, unsigned=unsigned(keys), certificates=[
        keys.p256.der, keys.tsa.der]))
    assert re.search(problem, facts.timestamp_problem), facts.timestamp_problem
    assert (facts.timestamp, facts.timestamp_authority) == ("", "") and facts.signed_digest == facts.program_digest


def test_timestamp_outside_the_signers_validity(keys, program):
    facts = facts_of(F.authenticode(program, keys.old_signer, unsigned=rfc3161()(keys)))
    assert "validity of the signer's certificate, 2000-01-01 00:00:00 UTC to 2010-12-31" in facts.timestamp_problem


# --- Signatures refused ---------------------------------------------------

def doubled_content(fields):
    kind, content = D.children(D.whole_element(fields[2], ""), "")
    return [*fields[:2], seq(kind.whole, tlv(0xA0, content.content * 2)), *fields[3:]]


def without_serial(fields):
    return [fields[0], seq(D.read_element(F.inner(fields[1]))[0].whole), *fields[2:]]


def negative_serial(k):
    return F.resigned(F.Signing("N", issuer=k.ca, serial=0x0102).der, k.ca, integer(0x0102), b"\x02\x02\x81\x02")


REFUSED = {  # signer, options, what the refusal says
    "a-length-not-in-its-shortest-form": ("p256", {"signer": replace(0, tlv(0x02, b"\x01", long=True))},
                                          "length not written in its shortest form"),
    "an-indefinite-length": ("p256", {"whole": lambda w: w[:1] + b"\x80" + F.inner(w) + bytes(2)}, "indefinite"),
    "not-signed-data": ("p256", {"content_info": replace(0, oid(A.OID_DATA))}, "is not PKCS#7 signed data"),
    "content-info-with-more": ("p256", {"content_info": lambda f: f + [integer(0)]}, "fields where none belong"),
    "signed-data-without-signers": ("p256", {"signed_data": lambda f: f[:4]}, "has no signers$"),
    "signed-data-with-more": ("p256", {"signed_data": lambda f: f + [tlv(0x31)]}, "fields where none belong"),
    "two-signers": ("p256", {"signed_data": lambda f: [*f[:4], tlv(0x31, F.inner(f[4]) * 2)]}, "has 2 signers"),
    "content-without-content": ("p256", {"signed_data": replace(2, seq(oid(A.OID_SPC_INDIRECT_DATA)))},
                                "content has no content$"),
    "content-of-two-elements": ("p256", {"signed_data": doubled_content}, "content is not one element"),
    "33-certificates": ("p256", {"certificates": lambda k: [k.ca.der] * 33}, "more than 32"),
    "a-certificate-that-is-not-one": ("p256", {"certificates": lambda k: [k.p256.der, seq(integer(5))]},
                                      "is not a certificate in DER"),
    "a-negative-serial-number": ("p256", {"certificates": lambda k: [k.p256.der, negative_serial(k)]},
                                 "is not a certificate in DER"),
    "a-certificate-version-that-is-none": ("p256", {"certificates": lambda k: [k.p256.der, F.resigned(
        F.Signing("V", issuer=k.ca).der, k.ca, b"\xa0\x03\x02\x01\x02", b"\xa0\x03\x02\x01\x42")]},
        "is not a certificate in DER"),
    "a-key-this-does-not-read": ("p256", {"certificates": lambda k: [F.resigned(
        k.p256.der, k.ca, oid("1.2.840.10045.2.1"), oid("1.2.840.10045.2.9"))]}, "public key that this does not"),
    "signer-version-3": ("p256", {"signer": replace(0, integer(3))}, "by issuer and serial number"),
    "signer-without-serial-number": ("p256", {"signer": without_serial}, "has no serial number"),
    "signer-without-signed-attributes": ("p256", {"signer": lambda f: f[:3] + f[4:]}, "has no signed attributes"),
    "signer-without-signature": ("p256", {"signer": lambda f: f[:5]}, "has no signature$"),
    "signer-with-more": ("p256", {"signer": lambda f: f + [integer(0)]}, "fields where none belong"),
    "certificate-not-carried": ("p256", {"certificates": lambda k: [k.ca.der]}, "does not carry"),
    "two-with-the-signers-issuer-and-serial": ("p256", {"certificates": lambda k: [k.p256.der, k.impostor.der]},
                                               "2 of its certificates carry, so who signed is not certain$"),
    "a-second-whose-issuer-differs-in-case": ("p256", {"certificates": lambda k: [k.case.der, k.p256.der]},
                                              "2 of its certificates carry"),
    "signer-digest-md5": ("p256", {"signer": replace(2, F.algorithm(MD5))}, f"algorithm .{MD5}"),
    "signature-algorithm-unknown": ("rsa", {"signature_algorithm": lambda _: "1.2.840.113549.1.1.10"},
                                    r"signature algorithm \(1\.2\.840\.113549\.1\.1\.10\)"),
    "rsa-algorithm-for-an-ec-key": ("p256", {"signature_algorithm": lambda _: "1.2.840.113549.1.1.11"},
                                    "does not go with"),
    "algorithm-naming-another-digest": ("rsa", {"signature_algorithm": lambda _: "1.2.840.113549.1.1.5"},
                                        "does not go with"),
    "rsa-signature-changed": ("rsa", {"signature": flip}, "does not verify with the public key"),
    "ecdsa-signature-changed": ("p384", {"signature": flip}, "does not verify with the public key"),
    "another-content-type": ("p256", {"signed_attributes": replace(0, attribute(A.OID_CONTENT_TYPE, oid(
        A.OID_DATA)))}, "another content type"),
    "no-content-type": ("p256", {"signed_attributes": lambda a: a[1:]}, f"exactly one {A.OID_CONTENT_TYPE}"),
    "two-message-digests": ("p256", {"signed_attributes": lambda a: a + a[1:]}, f"exactly one {A.OID_MESSAGE_DIGEST}"),
    "message-digest-of-other-content": ("p256", {"signed_attributes": replace(1, attribute(
        A.OID_MESSAGE_DIGEST, tlv(4, bytes(32))))}, "not the one of what it signs$"),
    "attribute-without-values": ("p256", {"signed_attributes": lambda a: a + [seq(oid("1.2.3.4"))]}, "no values"),
    "content-not-a-programs-digest": ("p256", {"content_type": lambda _: A.OID_DATA}, "does not sign a program"),
    "content-for-another-kind-of-file": ("p256", {"image": lambda _: "1.3.6.1.4.1.311.2.1.25"}, "not for a PE"),
    "content-without-digest": ("p256", {"content": lambda f: f[:1]}, "content has no digest$"),
    "digest-without-digest": ("p256", {"content": replace(1, seq(F.algorithm(A.SHA256)))}, "digest has no digest"),
    "content-digest-md5": ("p256", {"content": replace(1, seq(F.algorithm(MD5), tlv(4, bytes(16))))},
                           f"algorithm .{MD5}"),
    "content-digest-too-short": ("p256", {"content": replace(1, seq(F.algorithm(A.SHA256), tlv(4, bytes(31))))},
                                 "digest is 31 bytes long, and a SHA-256 digest is 32$"),
    "content-digest-too-long": ("p384", {"name": "sha384", "content": replace(1, seq(F.algorithm(A.SHA384), tlv(
        4, bytes(49))))}, "digest is 49 bytes long, and a SHA-384 digest is 48$"),
    "a-nested-signature": ("p256", {"unsigned": [lambda _: attribute(A.OID_NESTED_SIGNATURE, seq())]},
                           "second signature nested in it, which its signer did not sign$"),
    "another-unsigned-attribute": ("p256", {"unsigned": [lambda _: attribute("1.2.3.4", seq())]},
                                   r"unsigned attribute \(1\.2\.3\.4\)"),
}


@pytest.mark.parametrize("signer, options, refusal", rows(REFUSED))
def test_signature_refused(keys, program, signer, options, refusal):
    options = {key: value(keys) if key == "certificates" else value for key, value in options.items()}
    with pytest.raises(A.Unreadable, match=refusal):
        facts_of(F.authenticode(program, getattr(keys, signer), **options))


# --- Whether a signature fits the program built here ----------------------

def changed_after_signing(data):
    changed = bytearray(data)
    changed[0x500] ^= 0xFF
    return bytes(changed)


def authority_of(k):
    return f" (its authority's certificate has the SHA-256 fingerprint {fingerprint(k.tsa.der)})"


FIT = {  # signer, its options, the program it is checked against, "timestamped", what fit_problem gives
    "fits": ("p256", {}, None, False, lambda k: None),
    "fits-with-a-timestamp-asked-for": ("p256", {"unsigned": rfc3161()}, None, True, lambda k: None),
    "sha-384-of-another-program": ("p384", {"name": "sha384"}, changed_after_signing, False, lambda k: (
        3, r"it signs a program whose Authenticode SHA-384 is [0-9A-F]{96}, and this one's is [0-9A-F]{96}$")),
    "sha-1-of-another-program": ("rsa", {"name": "sha1"}, changed_after_signing, False, lambda k: (
        3, r"Authenticode SHA-1 is [0-9A-F]{40}, and this one's is [0-9A-F]{40}$")),
    "timestamp-of-another-signature": ("p256", {"unsigned": rfc3161(tst_fields=replace(2, seq(F.algorithm(
        A.SHA256), tlv(4, bytes(32)))))}, None, False, lambda k: (
        4, re.escape("the timestamp is for another signature" + authority_of(k)) + "$")),
    "timestamp-signature-changed": ("p256", {"unsigned": rfc3161(tst_signature=flip)}, None, False, lambda k: (
        4, re.escape("the timestamp's signature does not verify with the public key of the certificate it names"
                     + authority_of(k)) + "$")),
    "timestamp-by-a-certificate-not-carried": ("p256", {"unsigned": lambda k: [F.countersignature(k.ca, WHEN)]},
                                               None, False, lambda k: (4, r"\(it names no certificate it carries")),
    "timestamp-asked-for-and-none": ("p256", {}, None, True, lambda k: (4, "^the signature carries none$")),
}


@pytest.mark.parametrize("signer, options, change, timestamped, expected", rows(FIT))
def test_fit(keys, program, signer, options, change, timestamped, expected):
    options = {key: value(keys) if key == "unsigned" else value for key, value in options.items()}
    signature = A.read_program(F.authenticode(program, getattr(keys, signer), certificates=[
        getattr(keys, signer).der, keys.tsa.der], **options)).signature
    found = A.fit_problem(A.facts_of(signature, A.read_program((change or bytes)(program))), timestamped)
    wanted = expected(keys)
    assert (found if wanted is None else found[0]) == (wanted and wanted[0]), found
    assert wanted is None or re.search(wanted[1], found[1]), found[1]


def test_fits_command(keys, program, tmp_path, capsys):
    """fits SIGNATURE EXE [timestamped]: its exit status, and its one line."""
    exe, signature = tmp_path / "program.exe", tmp_path / "signature.pem"
    exe.write_bytes(program)

    def fits(made, *arguments):
        signature.write_text(A.pem("PKCS7", A.read_program(made).signature))
        status = A.main(["fits", str(signature), str(exe), *arguments])
        return status, capsys.readouterr().err

    assert fits(F.authenticode(program, keys.p256)) == (0, "")
    assert fits(F.authenticode(program, keys.p256, unsigned=rfc3161()(keys), certificates=[
        keys.p256.der, keys.tsa.der]), "timestamped") == (0, "")
    assert fits(F.authenticode(program, keys.p256, signature=flip))[0] == 1
    assert fits(F.authenticode(changed_after_signing(program), keys.p256))[0] == 3
    assert fits(F.authenticode(program, keys.p256), "timestamped") == (4, "the signature carries none\n")
    assert fits(F.authenticode(program, keys.p256), "nothing")[0] == 2
    signature.write_text(A.pem("PKCS7", bytes(A.MAX_SIGNATURE_BYTES + 1)))
    assert A.main(["fits", str(signature), str(exe)]) == 1 and "at most" in capsys.readouterr().err


# --- DER, names and programs, each as the reader takes it -----------------

READERS = {"element": D.read_element, "whole": lambda d: D.whole_element(d, "it"),
           "children": lambda d: D.children(D.read_element(d)[0], "it"),
           "fields": lambda d: D.fields(D.read_element(d)[0], 0x30, "it", "02? a, 30 b"),
           "oid": lambda d: D.oid(D.read_element(d)[0]), "integer": lambda d: D.integer(D.read_element(d)[0], "it"),
           "algorithm": lambda d: D.algorithm(D.read_element(d)[0], "it"),
           "name": lambda d: N.name_attributes(D.read_element(d)[0])}

DER_REFUSED = {  # what reads, its input, what the refusal says
    "ends-in-the-middle": ("element", b"\x30", "ends in the middle"),
    "a-tag-of-two-bytes": ("element", b"\x1f\x81\x00", "more than one byte"),
    "an-indefinite-length": ("element", b"\x30\x80\x00\x00", "indefinite"),
    "a-length-of-four-bytes": ("element", b"\x04\x84\x00\x00\x00\x80", "longer than it could be"),
    "length-bytes-missing": ("element", b"\x04\x82\x01", "longer than it could be"),
    "a-short-length-in-the-long-form": ("element", b"\x04\x81\x05hello", "shortest form"),
    "a-length-with-a-leading-zero": ("element", b"\x04\x82\x00\x80" + bytes(128), "shortest form"),
    "runs-past-its-end": ("element", b"\x04\x05abc", "runs past"),
    "bytes-after-its-end": ("whole", b"\x05\x00\x00", "bytes after its end"),
    "not-a-structure": ("children", b"\x04\x00", "not a structure"),
    "65-elements": ("children", seq(b"\x05\x00" * 65), "more than 64"),
    "a-field-missing": ("fields", seq(integer(1)), "it has no b"),
    "a-field-of-another-tag": ("fields", seq(tlv(0x31)), "it has no b"),
    "a-field-too-many": ("fields", seq(seq(), seq()), "where none belong"),
    "an-empty-object-identifier": ("oid", b"\x06\x00", "malformed"),
    "an-object-identifier-cut-short": ("oid", b"\x06\x02\x2a\x86", "malformed"),
    "an-object-identifier-padded": ("oid", b"\x06\x03\x2a\x80\x01", "shortest form"),
    "an-empty-integer": ("integer", b"\x02\x00", "sensible size"),
    "an-integer-of-65-bytes": ("integer", tlv(2, b"\x01" * 65), "sensible size"),
    "an-integer-padded-with-zero": ("integer", b"\x02\x02\x00\x01", "shortest form"),
    "an-integer-padded-with-ff": ("integer", b"\x02\x02\xff\x80", "shortest form"),
    "an-empty-algorithm": ("algorithm", b"\x30\x00", "is empty"),
    "an-attribute-of-a-name-without-value": ("name", seq(tlv(0x31, seq(oid("2.5.4.3")))), "not a type and a value"),
}


@pytest.mark.parametrize("reads, data, refusal", rows(DER_REFUSED))
def test_der_refused(reads, data, refusal):
    with pytest.raises(A.Unreadable, match=refusal):
        READERS[reads](data)


@pytest.mark.parametrize("reads, data, expected", [
    ("integer", b"\x02\x02\x00\x80", 128), ("integer", b"\x02\x02\xff\x7f", -129), ("oid", oid("2.999.3"), "2.999.3"),
    ("whole", b"\x04\x81\x80" + bytes(128), D.Element(4, b"\x04\x81\x80" + bytes(128), bytes(128))),
    ("fields", seq(seq()), [None, D.Element(0x30, b"\x30\x00", b"")])],
    ids=["integer-128", "integer-minus-129", "oid-under-2", "a-long-length", "a-field-left-out"])
def test_der_read(reads, data, expected):
    assert READERS[reads](data) == expected


def name(*rdns):
    return seq(*(tlv(0x31, *(seq(oid(key), value) for key, value in rdn)) for rdn in rdns))


CN, O, OU, C, E = "2.5.4.3", "2.5.4.10", "2.5.4.11", "2.5.4.6", "1.2.840.113549.1.9.1"
NAMES = {  # a name, as Windows shows it, and the publisher it shows
    "utf8string": (name([(C, tlv(0x13, b"JP"))], [(CN, tlv(0x0C, "コルヴェイン試験".encode()))]),
                   "CN=コルヴェイン試験, C=JP", "コルヴェイン試験"),
    "printablestring": (name([(CN, tlv(0x13, b"Korvane"))]), "CN=Korvane", "Korvane"),
    "t61string-in-utf-8": (name([(CN, tlv(0x14, "コルヴェイン試験".encode()))]), "CN=コルヴェイン試験", "コルヴェイン試験"),
    "t61string-in-latin-1": (name([(CN, tlv(0x14, b"Caf\xe9"))]), "CN=Café", "Café"),
    "bmpstring": (name([(CN, tlv(0x1E, "コルヴェイン".encode("utf-16-be")))]), "CN=コルヴェイン", "コルヴェイン"),
    "universalstring": (name([(CN, tlv(0x1C, "Ünï".encode("utf-32-be")))]), "CN=Ünï", "Ünï"),
    "a-value-of-another-type": (name([(CN, tlv(0x04, b"ab"))]), 'CN="#04026162"', "#04026162"),
    "a-value-with-a-comma": (name([(O, tlv(0x0C, b'K, "Inc."'))]), 'O="K, ""Inc."""', 'K, "Inc."'),
    "an-rdn-of-two": (name([(OU, tlv(0x0C, b"b")), (CN, tlv(0x0C, b"a"))]), "OU=b + CN=a", "a"),
    "ou-before-o": (name([(O, tlv(0x0C, b"o"))], [(OU, tlv(0x0C, b"u"))]), "OU=u, O=o", "u"),
    "e-mail-last": (name([(E, tlv(0x16, b"a@example.org"))], [("2.5.4.7", tlv(0x0C, b"Tokyo"))]),
                    "L=Tokyo, E=a@example.org", "a@example.org"),
    "no-publisher": (name([(C, tlv(0x13, b"JP"))], [("1.2.3.4", tlv(0x0C, b"x"))]), "OID.1.2.3.4=x, C=JP",
                     "OID.1.2.3.4=x, C=JP"),
}


@pytest.mark.parametrize("der, shown, publisher", rows(NAMES))
def test_name_as_windows_shows_it(der, shown, publisher):
    rdns = N.name_attributes(D.whole_element(der, "a name"))
    assert (N.windows_name(rdns), N.publisher_of(rdns)) == (shown, publisher)


def poke(at, value, layout="<I"):
    """A change to a program: VALUE packed at AT, a function of the program."""
    def changed(data):
        data = bytearray(data)
        struct.pack_into(layout, data, at(data), value)
        return bytes(data)
    return changed


def header(data):
    return struct.unpack_from("<I", data, 0x3C)[0]


def table(data):
    return A.read_program(data).signature_at


def entry(data):
    return A.read_program(data).security_entry_at


def reattached(**placed):
    """A change to a program: its signature attached again, as PLACED says."""
    return lambda d: F.attach(A.without_signature(A.read_program(d)), A.read_program(d).signature, **placed)


PROGRAM_REFUSED = {  # a change to the signed program, what the refusal says
    "too-big": (lambda d: d + bytes(A.MAX_PROGRAM_BYTES), "more than a release holds"),
    "not-mz": (lambda d: b"ZM" + d[2:], "is not a Windows program$"),
    "no-pe-header": (poke(lambda d: 0x3C, 0xFFFF), "has no PE header"),
    "an-optional-header-past-the-end": (poke(lambda d: header(d) + 20, 0xFFFF, "<H"), "runs past its end"),
    "neither-pe32-nor-pe32+": (poke(lambda d: header(d) + 24, 0x107, "<H"), "neither PE32"),
    "four-data-directories": (poke(lambda d: entry(d) - 36, 4), "no certificate table entry"),
    "a-table-not-at-the-end": (lambda d: d + bytes(8), "not at its end"),
    "a-table-not-aligned": (lambda d: poke(entry, table(d) + 4)(poke(lambda _: entry(d) + 4, len(d) - table(d) - 4)(
        d)), "aligned"),
    "a-table-too-small": (lambda d: poke(lambda _: entry(d) + 4, 4)(d[:table(d) + 4]), "is 4 bytes"),
    "not-authenticode": (poke(lambda d: table(d) + 4, 0x0100, "<H"), "not hold an Authenticode"),
    "a-length-past-the-table": (poke(table, 0xFFFF), "besides its one signature"),
    "padding-not-zero": (reattached(inside=b"\x01"), "other than padding"),
    "eight-bytes-of-padding": (reattached(inside=bytes(8)), "other than padding"),
    "a-byte-after-the-table-not-zero": (reattached(after=b"\x01"), "other than padding"),
}


@pytest.mark.parametrize("change, refusal", rows(PROGRAM_REFUSED))
def test_program_refused(keys, program, change, refusal):
    with pytest.raises(A.Unreadable, match=refusal):
        A.read_program(change(F.authenticode(program, keys.p256)))


# --- The commands ---------------------------------------------------------

def test_facts_command(keys, program, tmp_path, capsys):
    exe, out = tmp_path / "signed.exe", tmp_path / "facts"
    exe.write_bytes(F.authenticode(program, keys.p256, unsigned=rfc3161()(keys)))
    out.mkdir()
    assert A.main(["facts", str(exe), str(out)]) == 0
    facts = {path.name: path.read_text() for path in out.iterdir()}
    assert (facts["signed"], facts["timestamp"], facts["fingerprint"]) == (
        "yes\n", SHOWN + "\n", fingerprint(keys.p256.der) + "\n")
    assert A.pem_content(facts.pop("signature.pem").encode()) == A.read_program(exe.read_bytes()).signature
    assert sorted(facts) == ["fingerprint", "program_digest", "publisher", "signature_digest", "signed", "subject",
                             "thumbprint", "timestamp"]
    exe.write_bytes(F.authenticode(program, keys.p256, signature=flip))
    assert A.main(["facts", str(exe), str(out)]) == 1 and "does not verify" in capsys.readouterr().err
    exe.write_bytes(program)
    assert A.main(["facts", str(exe), str(out)]) == 0 and (out / "signed").read_text() == "no\n"
    assert A.main(["facts", str(exe)]) == 2


def test_certificates_command(keys, program, tmp_path):
    signature, out = tmp_path / "signature.pem", tmp_path / "certificates.pem"
    signature.write_text(A.pem("PKCS7", A.read_program(F.authenticode(program, keys.p256)).signature))
    assert A.main(["certificates", str(signature), str(out)]) == 0
    assert out.read_text() == A.pem("CERTIFICATE", keys.p256.der) + A.pem("CERTIFICATE", keys.ca.der)
    signature.write_text(A.pem("CERTIFICATE", keys.p256.der))
    with pytest.raises(A.Unreadable, match="not a PEM signature"):
        A.write_certificates(str(signature), str(out))


@pytest.mark.parametrize("make, follow, refusal", [
    (lambda p: p.symlink_to("/etc/passwd"), False, "is a link, not a file"),
    (lambda p: p.mkdir(), True, "not a regular file"),
    (lambda p: None, True, "cannot open the file: No such file"),
    (lambda p: p.write_bytes(bytes(17)), True, "more than 16 bytes")], ids=["link", "directory", "absent", "too-big"])
def test_file_refused(tmp_path, make, follow, refusal):
    make(tmp_path / "file")
    with pytest.raises(A.Unreadable, match=refusal):
        A.read_bounded(str(tmp_path / "file"), 16, "the file", follow)
