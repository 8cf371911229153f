#!/usr/bin/python3 -IB
"""The Authenticode signature of a Windows program, read from its bytes.

The one reader of signatures: dist.sh (through authenticode.sh's
read_signature) and verify_release.py both use it, so that what the read-mes,
the buildinfo and the verdict say of a signature cannot disagree.

The program and its signature are read as data, within bounds, in this
process: nothing in them is run, followed or printed raw, and no other
program sees them. python3-cryptography reads the certificates (strict DER)
and checks the signatures; strict_der.py reads the structures around them,
pe_file.py the program, and outside.py reads files within their bounds
and makes text safe to print. What is said of the signature comes from its
structure:
- the signer is the certificate the signature names by issuer and serial
  number together, as Windows finds it; when the signature's certificates
  hold two candidates for it, the signature is refused;
- the signer's signature over the signed attributes must verify with that
  certificate's public key (RSA PKCS#1 v1.5 or ECDSA, with the digest the
  signer names), the signed attributes' message digest must be the one of
  the signed content, and that content names the program's Authenticode
  digest;
- a timestamp is one found where a timestamp belongs, in the signer's
  unsigned attributes, that covers the signer's signature, whose own
  signature verifies, and whose time falls within the validity of both the
  signer's certificate and its own; its time is the one it carries.

    authenticode.py facts EXE DIR
writes what read_signature needs into DIR, one fact per file, each one
line made safe for a terminal: signed (yes or no), subject, publisher,
fingerprint, thumbprint, timestamp, signature_digest, program_digest, and
the signature itself as signature.pem. When the program or its signature
cannot be read, or the signature does not hold, it says why in one line on
stderr and exits 1.
    authenticode.py certificates SIGNATURE OUT
writes the certificates that the detached PEM signature SIGNATURE carries
to OUT, as PEM.
    authenticode.py fits SIGNATURE EXE [timestamped]
says whether the detached PEM signature SIGNATURE holds and fits the
program EXE built here, before any other program sees it: it exits 0 when
it does, and else says why in one line on stderr and exits 1 (it does not
hold), 3 (it signs another program) or 4 (it carries a timestamp that does
not hold, or with "timestamped", none that holds).
"""

import dataclasses
import datetime
import hashlib
import os
import re
import sys
import warnings

from cryptography import exceptions, x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from pe_file import (MAX_PROGRAM_BYTES, MAX_SIGNATURE_BYTES, Program, authenticode_digest,  # noqa: E402
                     read_program, without_signature)
from windows_names import name_attributes, name_key, publisher_of, windows_name  # noqa: E402
from strict_der import (Element, Unreadable, algorithm, children, expect, fields, inside,  # noqa: E402
                        integer, octets, oid, read_time, whole_element)
from outside import TooLarge, pem, pem_content, read_bounded, visible  # noqa: E402

# What verify_release.py uses, some of it from the modules beside this one.
__all__ = ["MAX_SIGNATURE_BYTES", "Program", "read_program", "without_signature", "Unreadable",
           "TooLarge", "visible", "signature_facts", "Facts", "fit_problem", "pem", "pem_content", "read_bounded"]

# A signature carries the signer's certificate and its chain, and a
# timestamp carries its own: a handful each.
MAX_CERTIFICATES = 32
# Subjects of real certificates stay under 400 characters.
MAX_FACT_CHARACTERS = 1024

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_DATA = "1.2.840.113549.1.7.1"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_CONTENT_TYPE = "1.2.840.113549.1.9.3"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_SIGNING_TIME = "1.2.840.113549.1.9.5"
OID_COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
OID_RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
OID_NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
OID_TST_INFO = "1.2.840.113549.1.9.16.1.4"

SHA1, SHA256, SHA384, SHA512 = "1.3.14.3.2.26", *(f"2.16.840.1.101.3.4.2.{n}" for n in (1, 2, 3))
DIGESTS = {SHA1: hashes.SHA1, SHA256: hashes.SHA256, SHA384: hashes.SHA384, SHA512: hashes.SHA512}
DIGEST_NAMES = {SHA1: "SHA-1", SHA256: "SHA-256", SHA384: "SHA-384", SHA512: "SHA-512"}
RSA, EC = rsa.RSAPublicKey, ec.EllipticCurvePublicKey
# Signature algorithm: the key it takes, and its digest (None: the signer's).
SIGNATURE_ALGORITHMS = {
    "1.2.840.113549.1.1.1": (RSA, None), "1.2.840.113549.1.1.5": (RSA, SHA1),
    "1.2.840.113549.1.1.11": (RSA, SHA256), "1.2.840.113549.1.1.12": (RSA, SHA384),
    "1.2.840.113549.1.1.13": (RSA, SHA512), "1.2.840.10045.4.1": (EC, SHA1), "1.2.840.10045.4.3.2": (EC, SHA256),
    "1.2.840.10045.4.3.3": (EC, SHA384), "1.2.840.10045.4.3.4": (EC, SHA512),
}


# --- Certificates ---------------------------------------------------------

@dataclasses.dataclass
class Certificate:
    der: bytes
    parsed: x509.Certificate
    issuer: Element  # as written: a signer names it byte for byte
    issuer_key: tuple
    subject: list

    def fingerprint(self, digest=hashes.SHA256):
        """Its digest, as Windows shows a thumbprint: AABB…"""
        return self.parsed.fingerprint(digest()).hex().upper()

    def validity(self):
        """When it is valid, in UTC: cryptography 42 and later give *_utc and
        warn of the others, which are all that 38 has."""
        if hasattr(self.parsed, "not_valid_before_utc"):
            return self.parsed.not_valid_before_utc, self.parsed.not_valid_after_utc
        return tuple(when.replace(tzinfo=datetime.timezone.utc)
                     for when in (self.parsed.not_valid_before, self.parsed.not_valid_after))


def read_certificate(element):
    what = "a certificate in the signature"
    # What cryptography only warns of (a negative serial number, in 38) is
    # refused too, the same with every version of it.
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            parsed = x509.load_der_x509_certificate(expect(element, 0x30, what).whole)
    except (ValueError, Warning, x509.InvalidVersion) as problem:
        raise Unreadable(f"{what} is not a certificate in DER ({problem})") from None
    # cryptography has read its bytes as DER: its names are where they belong.
    tbs = children(children(element, what)[0], what)
    issuer, _, subject = tbs[2:5] if tbs[0].tag != 0xA0 else tbs[3:6]
    return Certificate(element.whole, parsed, issuer, name_key(name_attributes(issuer)), name_attributes(subject))


def sha256_fingerprint(certificate):
    """The certificate's SHA-256, as openssl prints a fingerprint: AA:BB:…"""
    return ":".join(re.findall("..", certificate.fingerprint()))


def digest_of(algorithm_oid, data):
    return hashlib.new(DIGESTS[algorithm_oid].name, data).digest()


# --- SignedData and SignerInfo --------------------------------------------

@dataclasses.dataclass
class Signer:
    """A SignerInfo: whom it names, how it signs, and its attributes."""
    issuer: Element
    issuer_key: tuple
    serial: int
    digest: str
    signature_algorithm: str
    signed_attributes: Element
    signature: bytes
    unsigned_attributes: list


def attributes(element, what):
    """Attributes as (object identifier, [values])."""
    found = []
    for attribute in children(element, what):
        key, values = fields(attribute, 0x30, what, "06 type, 31 values")
        found.append((oid(key, what), children(values, what)))
    return found


def only_value(found, wanted, what):
    values = [values for key, values in found if key == wanted]
    if len(values) != 1 or len(values[0]) != 1:
        raise Unreadable(f"{what} must hold exactly one {wanted}")
    return values[0][0]


def read_signer(element, what):
    version, names, digest, signed, signature_algorithm, signature, unsigned = fields(
        element, 0x30, what, "02 version, 30 issuer and serial number, 30 digest algorithm, a0 signed attributes, "
        "30 signature algorithm, 04 signature, a1? unsigned attributes")
    if integer(version, f"{what}'s version") != 1:
        raise Unreadable(f"{what} does not name its certificate by issuer and serial number, as Authenticode does")
    issuer, serial = fields(names, 0x30, f"{what}'s issuer and serial number", "30 issuer, 02 serial number")
    return Signer(issuer=issuer, issuer_key=name_key(name_attributes(issuer)),
                  serial=integer(serial, f"{what}'s serial number"),
                  digest=algorithm(digest, f"{what}'s digest algorithm"),
                  signature_algorithm=algorithm(signature_algorithm, f"{what}'s signature algorithm"),
                  signed_attributes=signed, signature=octets(signature, f"{what}'s signature"),
                  unsigned_attributes=attributes(unsigned, what) if unsigned else [])


@dataclasses.dataclass
class SignedData:
    content_type: str
    content: Element  # the content itself, inside its [0]
    certificates: list
    signer: Signer


def read_signed_data(data, what):
    """A ContentInfo holding SignedData with one signer."""
    content_type, signed = fields(whole_element(data, what), 0x30, what, "06 content type, a0 content")
    if oid(content_type, what) != OID_SIGNED_DATA:
        raise Unreadable(f"{what} is not PKCS#7 signed data")
    (signed,) = fields(signed, 0xA0, what, "30 signed data")
    _, _, encapsulated, certificates, _, signers = fields(
        signed, 0x30, what, "02 version, 31 digest algorithms, 30 content, a0? certificates, "
        "a1? revocation lists, 31 signers")
    content_type, content = fields(encapsulated, 0x30, f"{what}'s content", "06 content type, a0 content")
    content = children(content, f"{what}'s content")
    if len(content) != 1:
        raise Unreadable(f"{what}'s content is not one element")
    signers = children(signers, f"{what}'s signers")
    if len(signers) != 1:
        raise Unreadable(f"{what} has {len(signers)} signers; Authenticode has one")
    certificates = children(certificates, f"{what}'s certificates", MAX_CERTIFICATES) if certificates else []
    return SignedData(oid(content_type, what), content[0], [read_certificate(c) for c in certificates],
                      read_signer(signers[0], f"{what}'s signer"))


def signer_certificate(signer, certificates, what):
    """The certificate that SIGNER names, by issuer and serial number, as
    Windows finds it: the issuer byte for byte, the serial number by value.
    A second certificate with that serial number and an issuer that could be
    taken for the same is a second candidate, and the signature is refused."""
    candidates = [c for c in certificates
                  if c.parsed.serial_number == signer.serial and c.issuer_key == signer.issuer_key]
    named = [c for c in candidates if c.issuer.whole == signer.issuer.whole]
    if len(candidates) > 1:
        raise Unreadable(f"{what} names its certificate by an issuer and serial number that {len(candidates)} of "
                         "its certificates carry, so who signed is not certain")
    if not named:
        raise Unreadable(f"{what} names a certificate that the signature does not carry")
    return named[0]


def verify_with_key(certificate, signer, what):
    """That SIGNER's signature over its signed attributes verifies with
    CERTIFICATE's public key and the digest SIGNER names."""
    key_type, digest = SIGNATURE_ALGORITHMS.get(signer.signature_algorithm, (None, None))
    if key_type is None:
        raise Unreadable(f"{what} uses a signature algorithm ({signer.signature_algorithm}) that this does not read")
    try:
        key = certificate.parsed.public_key()
    except (ValueError, exceptions.UnsupportedAlgorithm):
        raise Unreadable(f"{what}'s certificate has a public key that this does not read") from None
    if not isinstance(key, key_type) or digest not in (None, signer.digest):
        raise Unreadable(f"{what}'s signature algorithm does not go with its certificate's key or its digest")
    # What is signed is the attributes as a SET, not under their [0] tag.
    signed, chosen = b"\x31" + signer.signed_attributes.whole[1:], DIGESTS[signer.digest]()
    try:
        if key_type is RSA:
            key.verify(signer.signature, signed, padding.PKCS1v15(), chosen)
        else:
            key.verify(signer.signature, signed, ec.ECDSA(chosen))
    except exceptions.InvalidSignature:
        raise Unreadable(f"{what} does not verify with the public key of the certificate it names") from None


def check_signer(signer, certificates, content, content_type, what):
    """SIGNER: its certificate among CERTIFICATES, its signed attributes'
    content type (CONTENT_TYPE; None for a countersignature, which need not
    give one) and message digest (of CONTENT), and its signature, checked
    with that certificate's key. The certificate, and the signed attributes."""
    certificate = signer_certificate(signer, certificates, what)
    found = attributes(signer.signed_attributes, f"{what}'s signed attributes")
    if content_type is None and any(key == OID_CONTENT_TYPE for key, _ in found):
        content_type = OID_DATA
    if content_type and oid(only_value(found, OID_CONTENT_TYPE, f"{what}'s signed attributes")) != content_type:
        raise Unreadable(f"{what}'s signed attributes give another content type")
    if signer.digest not in DIGESTS:
        raise Unreadable(f"{what} uses a digest algorithm ({signer.digest}) that this does not read")
    digest = octets(only_value(found, OID_MESSAGE_DIGEST, f"{what}'s signed attributes"), "a message digest")
    if digest != digest_of(signer.digest, content):
        raise Unreadable(f"{what}'s signed attributes give a message digest that is not the one of what it signs")
    verify_with_key(certificate, signer, what)
    return certificate, found


# --- Timestamps -----------------------------------------------------------

def shown_time(when):
    return when.strftime("%Y-%m-%d %H:%M:%S UTC")


def token_certificates(stamped, signed_data):
    """The certificates an RFC 3161 token STAMPED may be signed with: its own
    and SIGNED_DATA's, each once."""
    return list({c.der: c for c in stamped.certificates + signed_data.certificates}.values())


def timestamp_signer(key, value, signed_data):
    """The certificate that a timestamp (an unsigned attribute KEY of VALUE)
    names as its signer, whether or not the timestamp holds; None when it
    names none that it or the signature carries."""
    what = "the timestamp"
    try:
        if key == OID_RFC3161_TIMESTAMP:
            stamped = read_signed_data(value.whole, what)
            return signer_certificate(stamped.signer, token_certificates(stamped, signed_data), what)
        return signer_certificate(read_signer(value, what), signed_data.certificates, what)
    except Unreadable:
        return None


def rfc3161_time(token, signed_data):
    """The time of an RFC 3161 timestamp that covers SIGNED_DATA's signer's
    signature, and the certificate that signed it, which is among the
    token's or the signature's."""
    what = "the timestamp"
    stamped = read_signed_data(token.whole, what)
    if stamped.content_type != OID_TST_INFO:
        raise Unreadable(f"{what} does not hold a time-stamp token")
    info = octets(stamped.content, f"{what}'s token")
    authority, _ = check_signer(stamped.signer, token_certificates(stamped, signed_data), info, OID_TST_INFO,
                                f"{what}'s signature")
    token_fields = inside(whole_element(info, f"{what}'s token"), 0x30, what)
    if len(token_fields) < 5:
        raise Unreadable(f"{what}'s token lacks some of its fields")
    digest, imprint = fields(token_fields[2], 0x30, f"{what}'s imprint", "30 digest algorithm, 04 digest")
    digest = algorithm(digest, f"{what}'s imprint")
    if digest not in DIGESTS:
        raise Unreadable(f"{what} uses a digest algorithm ({digest}) that this does not read")
    if octets(imprint, f"{what}'s imprint") != digest_of(digest, signed_data.signer.signature):
        raise Unreadable(f"{what} is for another signature")
    return read_time(token_fields[4], f"{what}'s time"), authority


def countersignature_time(element, signed_data):
    """The time of an older Authenticode countersignature of SIGNED_DATA's
    signer, and the certificate that made it."""
    what = "the timestamp"
    countersigner = read_signer(element, what)
    authority, found = check_signer(countersigner, signed_data.certificates, signed_data.signer.signature, None, what)
    return read_time(only_value(found, OID_SIGNING_TIME, f"{what}'s signed attributes"), f"{what}'s time"), authority


def timestamp(signed_data, signer):
    """(time, its authority's certificate, "", that certificate) for a
    timestamp that holds, ("", None, why not, the certificate it names or
    None) for one that does not, ("", None, "", None) when there is none. Only the signer's unsigned attributes hold a timestamp, and its
    time must be one when both SIGNER's certificate and its authority's were
    valid, as Windows requires. Whether the authority is one Windows trusts
    is not judged here: anyone can make a certificate and sign a time."""
    found = [(key, values) for key, values in signed_data.signer.unsigned_attributes
             if key in (OID_RFC3161_TIMESTAMP, OID_COUNTERSIGNATURE)]
    if not found:
        return "", None, "", None
    if len(found) != 1 or len(found[0][1]) != 1:
        return "", None, "it carries more than one timestamp", None
    key, (value,) = found[0]
    named = timestamp_signer(key, value, signed_data)
    try:
        read = rfc3161_time if key == OID_RFC3161_TIMESTAMP else countersignature_time
        when, authority = read(value, signed_data)
    except Unreadable as problem:
        return "", None, str(problem), named
    for whose, certificate in (("the signer's", signer), ("its own", authority)):
        start, end = certificate.validity()
        if not start <= when <= end:
            return "", None, (f"its time, {shown_time(when)}, is not within the validity of {whose} certificate, "
                              f"{shown_time(start)} to {shown_time(end)}"), named
    return shown_time(when), authority, "", named


# --- What is said of a signature ------------------------------------------

@dataclasses.dataclass
class Facts:
    subject: str  # the signer's subject, as Windows shows it
    publisher: str  # what Windows shows as the publisher
    fingerprint: str  # the certificate's SHA-256, AA:BB:…
    thumbprint: str  # its SHA-1, as Windows shows it
    timestamp: str  # the time of a timestamp that holds, or ""
    timestamp_authority: str  # the SHA-256 of the certificate that signed that time, AA:BB:…, or ""
    timestamp_problem: str  # why a timestamp it carries does not hold, or ""
    # The SHA-256 of the certificate that a timestamp it carries names as its
    # signer, AA:BB:…, whether or not the timestamp holds; "" when none.
    timestamp_signer: str
    digest_name: str  # the digest the signature signs the program with: SHA-256, SHA-384…
    signed_digest: str  # the program's Authenticode digest that the signature signs
    program_digest: str  # the one of the program as it is


def signature_facts(program, workdir=None):
    """The facts of PROGRAM's signature, or None when it is not signed;
    Unreadable when the signature does not hold. Nothing is written, in
    WORKDIR (which callers still give) or anywhere."""
    return facts_of(program.signature, program) if program.signature else None


def facts_of(signature, program):
    """The facts of SIGNATURE (DER), with the digest of PROGRAM as it is (a
    program built here, or the one that carries SIGNATURE); Unreadable when
    the signature does not hold."""
    what = "the signature"
    signed_data = read_signed_data(signature, what)
    if signed_data.content_type != OID_SPC_INDIRECT_DATA:
        raise Unreadable(f"{what} does not sign a program's digest")
    # The content: SpcIndirectDataContent, a SEQUENCE of what it signs (a PE
    # image) and the program's digest. Its message digest is over the
    # SEQUENCE's content, without its tag and length.
    content = signed_data.content
    data, digest_info = fields(content, 0x30, f"{what}'s content", "30 data, 30 digest")
    data = inside(data, 0x30, f"{what}'s content")
    if not data or oid(data[0]) != OID_SPC_PE_IMAGE_DATA:
        raise Unreadable(f"{what} is not for a PE program")
    digest, signed_digest = fields(digest_info, 0x30, f"{what}'s digest", "30 digest algorithm, 04 digest")
    digest = algorithm(digest, f"{what}'s digest")
    if digest not in DIGESTS:
        raise Unreadable(f"{what} uses a digest algorithm ({digest}) that this does not read")
    # A digest of another length can be no program's; nothing later need
    # take one (upstream osslsigncode fixed overflows reading them).
    length = len(signed_digest.content)
    if length != DIGESTS[digest].digest_size:
        raise Unreadable(f"{what}'s digest is {length} bytes long, and a {DIGEST_NAMES[digest]} digest is "
                         f"{DIGESTS[digest].digest_size}")
    certificate, _ = check_signer(signed_data.signer, signed_data.certificates, content.content, OID_SPC_INDIRECT_DATA,
                                  f"{what}'s signer")
    # Nothing its signer signed covers the unsigned attributes: anyone can add
    # to them. Only a timestamp belongs there; a nested signature, which
    # Windows lists as a signer of its own, or anything else is refused.
    for key, _ in signed_data.signer.unsigned_attributes:
        if key == OID_NESTED_SIGNATURE:
            raise Unreadable(f"{what} carries a second signature nested in it, which its signer did not sign")
        if key not in (OID_RFC3161_TIMESTAMP, OID_COUNTERSIGNATURE):
            raise Unreadable(f"{what} carries an unsigned attribute ({key}) where only a timestamp belongs")
    when, authority, problem, named = timestamp(signed_data, certificate)
    return Facts(subject=windows_name(certificate.subject), publisher=publisher_of(certificate.subject),
                 fingerprint=sha256_fingerprint(certificate), thumbprint=certificate.fingerprint(hashes.SHA1),
                 timestamp=when, timestamp_problem=problem,
                 timestamp_authority=sha256_fingerprint(authority) if authority else "",
                 timestamp_signer=sha256_fingerprint(named) if named else "", digest_name=DIGEST_NAMES[digest],
                 signed_digest=signed_digest.content.hex().upper(),
                 program_digest=authenticode_digest(program, DIGESTS[digest].name))


# Exit statuses of `fits`, beside 1: the signature does not hold.
SIGNS_ANOTHER, TIMESTAMP_DOES_NOT_HOLD = 3, 4


def fit_problem(facts, timestamped=False):
    """(status, why) when the signature of FACTS signs another program than
    theirs, or carries a timestamp that does not hold (with TIMESTAMPED,
    none that holds); None when it fits."""
    if facts.signed_digest != facts.program_digest:
        return SIGNS_ANOTHER, (f"it signs a program whose Authenticode {facts.digest_name} is {facts.signed_digest}, "
                               f"and this one's is {facts.program_digest}")
    problem = facts.timestamp_problem or ("the signature carries none" if timestamped and not facts.timestamp else "")
    if not problem:
        return None
    authority = (f"its authority's certificate has the SHA-256 fingerprint {facts.timestamp_signer}"
                 if facts.timestamp_signer else "it names no certificate it carries as its authority's")
    return TIMESTAMP_DOES_NOT_HOLD, f"{problem} ({authority})" if facts.timestamp_problem else problem


def check_fit(signature, exe, timestamped=False):
    """authenticode.py fits SIGNATURE EXE [timestamped]: the status."""
    der = pem_content(read_bounded(signature, 2 * MAX_SIGNATURE_BYTES, "the signature"))
    if der is None or len(der) > MAX_SIGNATURE_BYTES:
        raise Unreadable(f"it is not a PEM signature of at most {MAX_SIGNATURE_BYTES} bytes")
    program = read_program(read_bounded(exe, MAX_PROGRAM_BYTES, "the program"))
    found = fit_problem(facts_of(der, program), timestamped)
    if found is None:
        return 0
    print(visible(found[1], 600), file=sys.stderr)
    return found[0]


def write_facts(exe, directory):
    """authenticode.py facts EXE DIR."""
    program = read_program(read_bounded(exe, MAX_PROGRAM_BYTES, "the program"))
    facts = signature_facts(program)
    values = {"signed": "no"}
    if facts is not None:
        values = {"signed": "yes", "subject": facts.subject, "publisher": facts.publisher,
                  "fingerprint": facts.fingerprint, "thumbprint": facts.thumbprint, "timestamp": facts.timestamp,
                  "signature_digest": facts.signed_digest, "program_digest": facts.program_digest}
        with open(os.path.join(directory, "signature.pem"), "w", encoding="ascii") as out:
            out.write(pem("PKCS7", program.signature))
    for name, value in values.items():
        with open(os.path.join(directory, name), "w", encoding="utf-8") as out:
            out.write(visible(value, MAX_FACT_CHARACTERS) + "\n")


def write_certificates(signature, out):
    """authenticode.py certificates SIGNATURE OUT: the certificates that the
    detached PEM signature SIGNATURE carries, as PEM in OUT."""
    der = pem_content(read_bounded(signature, 2 * MAX_SIGNATURE_BYTES, "the signature"))
    if der is None:
        raise Unreadable("it is not a PEM signature")
    with open(out, "w", encoding="ascii") as file:
        for certificate in read_signed_data(der, "the signature").certificates:
            file.write(pem("CERTIFICATE", certificate.der))


def main(arguments):
    commands = {"facts": write_facts, "certificates": write_certificates, "fits": check_fit}
    timestamped = arguments[:1] == ["fits"] and arguments[3:] == ["timestamped"]
    if len(arguments) - timestamped != 3 or arguments[0] not in commands:
        print("usage: authenticode.py facts EXE DIR | certificates SIGNATURE OUT | fits SIGNATURE EXE [timestamped]",
              file=sys.stderr)
        return 2
    try:
        return commands[arguments[0]](*arguments[1:3], *[True][:timestamped]) or 0
    except Unreadable as problem:
        print(visible(str(problem), 400), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
