#!/usr/bin/python3 -IB
"""The Authenticode signature of a Windows program, read from its bytes.

The one reader of signatures: dist.sh (through authenticode.sh's
read_signature) and verify_release.py both use it, so that what the read-mes,
the buildinfo and the verdict say of a signature cannot disagree.

The program and its signature are read as data, within bounds: nothing in
them is run, followed or printed raw. What is said of the signature comes
from its structure:
- the signer is the certificate the signature names by issuer and serial
  number together, as Windows finds it; when the signature's certificates
  hold two candidates for it, the signature is refused;
- the signer's signature over the signed attributes must verify with that
  certificate's public key (openssl checks it), the signed attributes'
  message digest must be the one of the signed content, and that content
  names the program's Authenticode digest;
- a timestamp is one found where a timestamp belongs, in the signer's
  unsigned attributes, that covers the signer's signature and whose own
  signature verifies; its time is the one it carries.

    authenticode.py facts EXE DIR
writes what read_signature needs into DIR, one fact per file, each one
line made safe for a terminal: signed (yes or no), subject, publisher,
fingerprint, thumbprint, timestamp, signature_digest, program_digest, and
the signature itself as signature.pem. When the program or its signature
cannot be read, or the signature does not hold, it says why in one line on
stderr and exits 1.
"""

import base64
import dataclasses
import errno
import datetime
import hashlib
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import unicodedata

# Bounds, from what a release holds, with headroom. The program is 16 KiB;
# its signature about 2.4 KiB with our chain, 6 KiB with a timestamp, and a
# publicly trusted chain with a timestamp's chain stays under 20 KiB.
MAX_PROGRAM_BYTES = 256 * 1024
MAX_SIGNATURE_BYTES = 64 * 1024
# A signature carries the signer's certificate and its chain, and a
# timestamp carries its own: a handful each.
MAX_CERTIFICATES = 32
# Subjects of real certificates stay under 400 characters.
MAX_FACT_CHARACTERS = 1024
# How long openssl may take to check one signature.
OPENSSL_SECONDS = 20

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

DIGESTS = {  # digest algorithm: (hashlib's name, openssl's option)
    "1.3.14.3.2.26": ("sha1", "-sha1"),
    "2.16.840.1.101.3.4.2.1": ("sha256", "-sha256"),
    "2.16.840.1.101.3.4.2.2": ("sha384", "-sha384"),
    "2.16.840.1.101.3.4.2.3": ("sha512", "-sha512"),
}
KEY_RSA = "1.2.840.113549.1.1.1"
KEY_EC = "1.2.840.10045.2.1"
SIGNATURE_ALGORITHMS = {  # signature algorithm: (key algorithm, digest it uses, or None for any)
    KEY_RSA: (KEY_RSA, None),
    "1.2.840.113549.1.1.5": (KEY_RSA, "1.3.14.3.2.26"),
    "1.2.840.113549.1.1.11": (KEY_RSA, "2.16.840.1.101.3.4.2.1"),
    "1.2.840.113549.1.1.12": (KEY_RSA, "2.16.840.1.101.3.4.2.2"),
    "1.2.840.113549.1.1.13": (KEY_RSA, "2.16.840.1.101.3.4.2.3"),
    "1.2.840.10045.4.1": (KEY_EC, "1.3.14.3.2.26"),
    "1.2.840.10045.4.3.2": (KEY_EC, "2.16.840.1.101.3.4.2.1"),
    "1.2.840.10045.4.3.3": (KEY_EC, "2.16.840.1.101.3.4.2.2"),
    "1.2.840.10045.4.3.4": (KEY_EC, "2.16.840.1.101.3.4.2.3"),
}

# The short names Windows gives attributes of a name (CertNameToStr's X.500
# form); any other shows as OID.<dotted>.
NAME_KEYS = {
    "2.5.4.3": "CN", "2.5.4.4": "SN", "2.5.4.5": "SERIALNUMBER", "2.5.4.6": "C", "2.5.4.7": "L",
    "2.5.4.8": "S", "2.5.4.9": "STREET", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.12": "T",
    "2.5.4.42": "G", "2.5.4.43": "I", "2.5.4.13": "Description", "2.5.4.17": "PostalCode",
    "2.5.4.18": "POBox", "2.5.4.20": "Phone", "2.5.4.24": "X21Address", "2.5.4.46": "dnQualifier",
    "1.2.840.113549.1.9.1": "E", "0.9.2342.19200300.100.1.25": "DC",
}
# What Windows shows as the publisher: the first of these it finds.
PUBLISHER_KEYS = ("2.5.4.3", "2.5.4.11", "2.5.4.10", "1.2.840.113549.1.9.1")


class Unreadable(Exception):
    """The program or its signature is not what it must be; the message says why, in one line."""


class TooLarge(Unreadable):
    """A file is bigger than a release's could be."""


# --- Showing text from outside --------------------------------------------

BIDI_FORMATS = {0x061C, 0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A)}


def visible(text, limit=200):
    """TEXT as a terminal shows it safely: control characters, bidirectional
    formats and other invisible characters as escapes, backslashes doubled,
    bytes that were not UTF-8 as \\xNN; cut with "…" after LIMIT characters."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "surrogateescape")
    shown, count = [], 0
    for character in text:
        code = ord(character)
        if character == "\\":
            piece = "\\\\"
        elif 0xDC80 <= code <= 0xDCFF:
            piece = "\\x%02x" % (code - 0xDC00)
        elif code < 0x20 or 0x7F <= code < 0xA0:
            piece = "\\x%02x" % code
        elif code in BIDI_FORMATS or unicodedata.category(character) in ("Cf", "Cs", "Co", "Cn", "Zl", "Zp"):
            piece = "\\u%04x" % code if code <= 0xFFFF else "\\U%08x" % code
        else:
            piece = character
        if count + len(piece) > limit:
            shown.append("…")
            break
        shown.append(piece)
        count += len(piece)
    return "".join(shown)


# --- DER ------------------------------------------------------------------

@dataclasses.dataclass
class Element:
    """One DER element: its tag byte, all of its bytes, and its content."""
    tag: int
    whole: bytes
    content: bytes


def read_element(data, position=0):
    """The element at POSITION of DATA, and where the next one starts."""
    if position + 2 > len(data):
        raise Unreadable("the signature ends in the middle of an element")
    tag, first = data[position], data[position + 1]
    if tag & 0x1F == 0x1F:
        raise Unreadable("the signature has a tag of more than one byte, which nothing in it uses")
    start = position + 2
    if first < 0x80:
        length = first
    elif first == 0x80:
        raise Unreadable("the signature has an element of indefinite length, which DER does not allow")
    else:
        count = first & 0x7F
        if count > 3 or start + count > len(data):
            raise Unreadable("the signature has an element longer than it could be")
        length = int.from_bytes(data[start:start + count], "big")
        if length < 0x80 or data[start] == 0:
            raise Unreadable("the signature has a length not written in its shortest form, which DER does not allow")
        start += count
    end = start + length
    if end > len(data):
        raise Unreadable("the signature has an element that runs past what holds it")
    return Element(tag, data[position:end], data[start:end]), end


def whole_element(data, what):
    """DATA as exactly one element."""
    element, end = read_element(data)
    if end != len(data):
        raise Unreadable(f"{what} has bytes after its end")
    return element


def children(element, what, limit=64):
    """The elements inside a constructed ELEMENT."""
    if not element.tag & 0x20:
        raise Unreadable(f"{what} is not a structure")
    found, position = [], 0
    while position < len(element.content):
        if len(found) == limit:
            raise Unreadable(f"{what} holds more than {limit} elements")
        child, position = read_element(element.content, position)
        found.append(child)
    return found


def expect(element, tag, what):
    if element.tag != tag:
        raise Unreadable(f"{what} is not where it belongs (tag 0x{element.tag:02x}, not 0x{tag:02x})")
    return element


def oid(element, what="an object identifier"):
    expect(element, 0x06, what)
    content = element.content
    if not content or content[-1] & 0x80 or len(content) > 64:
        raise Unreadable(f"{what} is malformed")
    parts, value = [], 0
    for byte in content:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(value)
            value = 0
    first = min(parts[0] // 40, 2)
    return ".".join(str(part) for part in [first, parts[0] - 40 * first, *parts[1:]])


def integer(element, what):
    expect(element, 0x02, what)
    if not element.content or len(element.content) > 64:
        raise Unreadable(f"{what} is not an integer of a sensible size")
    return int.from_bytes(element.content, "big", signed=True)


def algorithm(element, what):
    """The object identifier of an AlgorithmIdentifier."""
    parts = children(expect(element, 0x30, what), what)
    if not parts:
        raise Unreadable(f"{what} is empty")
    return oid(parts[0], what)


def octets(element, what):
    return expect(element, 0x04, what).content


# --- Names and certificates -----------------------------------------------

# A T61String is read as UTF-8 first, as Windows reads it, and as Latin-1
# when it is not UTF-8.
STRING_CODECS = {0x0C: "utf-8", 0x13: "latin-1", 0x16: "latin-1", 0x12: "latin-1", 0x1A: "latin-1",
                 0x14: "t61", 0x1E: "utf-16-be", 0x1C: "utf-32-be"}


def name_attributes(name):
    """A Name as its RDNs, in the order they are written, each a list of
    (object identifier, value as text)."""
    rdns = []
    for rdn in children(expect(name, 0x30, "a name"), "a name"):
        attributes = []
        for attribute in children(expect(rdn, 0x31, "a part of a name"), "a part of a name"):
            parts = children(expect(attribute, 0x30, "an attribute of a name"), "an attribute of a name")
            if len(parts) != 2:
                raise Unreadable("an attribute of a name is not a type and a value")
            value = parts[1]
            codec = STRING_CODECS.get(value.tag)
            if codec is None:
                text = "#" + value.whole.hex()
            elif codec == "t61":
                try:
                    text = value.content.decode("utf-8")
                except UnicodeDecodeError:
                    text = value.content.decode("latin-1")
            else:
                text = value.content.decode(codec, "surrogateescape" if codec == "utf-8" else "replace")
            attributes.append((oid(parts[0]), text))
        rdns.append(attributes)
    return rdns


def windows_value(value):
    """A value as Windows writes it in a name: quoted when it holds a
    character that would otherwise be read as part of the name's syntax."""
    if value == "" or value[0] == " " or value[-1] == " " or any(c in value for c in ',+="\r\n<>#;'):
        return '"' + value.replace('"', '""') + '"'
    return value


def windows_name(rdns):
    """A name as Windows shows a certificate's subject: the most specific
    part first (CN=…, O=…, C=…)."""
    return ", ".join(" + ".join(f"{NAME_KEYS.get(key, 'OID.' + key)}={windows_value(value)}" for key, value in rdn)
                     for rdn in reversed(rdns))


def publisher_of(rdns):
    """The publisher, as Windows names it: the first common name, else
    organisational unit, organisation or e-mail address; else the whole name."""
    for wanted in PUBLISHER_KEYS:
        for rdn in rdns:
            for key, value in rdn:
                if key == wanted:
                    return value
    return windows_name(rdns)


def name_key(rdns):
    """A name compared as the X.509 rules compare names (case and runs of
    spaces do not count), so that two names that some tool could take for the
    same also count as the same here."""
    return tuple(tuple(sorted((key, " ".join(value.casefold().split())) for key, value in rdn)) for rdn in rdns)


@dataclasses.dataclass
class Certificate:
    der: bytes
    serial: int
    issuer: Element
    issuer_key: tuple
    subject: list
    public_key: bytes
    key_algorithm: str


def read_certificate(element):
    what = "a certificate in the signature"
    parts = children(expect(element, 0x30, what), what)
    if len(parts) != 3:
        raise Unreadable(f"{what} is not a certificate")
    fields = children(expect(parts[0], 0x30, what), what)
    if fields and fields[0].tag == 0xA0:
        fields = fields[1:]
    if len(fields) < 6:
        raise Unreadable(f"{what} lacks some of its fields")
    serial = integer(fields[0], "a certificate's serial number")
    issuer = expect(fields[2], 0x30, "a certificate's issuer")
    subject = name_attributes(fields[4])
    public_key = expect(fields[5], 0x30, "a certificate's public key")
    key_parts = children(public_key, "a certificate's public key")
    if len(key_parts) != 2:
        raise Unreadable(f"{what} has a public key that is not an algorithm and a key")
    key_algorithm = algorithm(key_parts[0], "a public key's algorithm")
    return Certificate(element.whole, serial, issuer, name_key(name_attributes(issuer)), subject, public_key.whole,
                       key_algorithm)


def fingerprint(certificate, name):
    return hashlib.new(name, certificate.der).hexdigest().upper()


def sha256_fingerprint(certificate):
    """The certificate's SHA-256, as openssl prints a fingerprint: AA:BB:…"""
    return ":".join(re.findall("..", fingerprint(certificate, "sha256")))


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
        parts = children(expect(attribute, 0x30, what), what)
        if len(parts) != 2:
            raise Unreadable(f"{what} holds an attribute that is not a type and its values")
        found.append((oid(parts[0], what), children(expect(parts[1], 0x31, what), what)))
    return found


def only_value(found, wanted, what):
    values = [values for key, values in found if key == wanted]
    if len(values) != 1 or len(values[0]) != 1:
        raise Unreadable(f"{what} must hold exactly one {wanted}")
    return values[0][0]


def read_signer(element, what):
    parts = children(expect(element, 0x30, what), what)
    if len(parts) < 5:
        raise Unreadable(f"{what} lacks some of its fields")
    if integer(parts[0], f"{what}'s version") != 1:
        raise Unreadable(f"{what} does not name its certificate by issuer and serial number, as Authenticode does")
    names = children(expect(parts[1], 0x30, f"{what}'s issuer and serial number"), what)
    if len(names) != 2:
        raise Unreadable(f"{what}'s issuer and serial number are not an issuer and a serial number")
    issuer = expect(names[0], 0x30, f"{what}'s issuer")
    rest = parts[3:]
    if rest[0].tag != 0xA0:
        raise Unreadable(f"{what} has no signed attributes")
    signed_attributes = rest[0]
    rest = rest[1:]
    if len(rest) not in (2, 3) or (len(rest) == 3 and rest[2].tag != 0xA1):
        raise Unreadable(f"{what} has fields where none belong")
    return Signer(issuer=issuer, issuer_key=name_key(name_attributes(issuer)),
                  serial=integer(names[1], f"{what}'s serial number"),
                  digest=algorithm(parts[2], f"{what}'s digest algorithm"),
                  signature_algorithm=algorithm(rest[0], f"{what}'s signature algorithm"),
                  signed_attributes=signed_attributes,
                  signature=octets(rest[1], f"{what}'s signature"),
                  unsigned_attributes=attributes(rest[2], what) if len(rest) == 3 else [])


@dataclasses.dataclass
class SignedData:
    content_type: str
    content: Element  # the content itself, inside its [0]
    certificates: list
    signer: Signer


def read_signed_data(data, what):
    """A ContentInfo holding SignedData with one signer."""
    info = children(expect(whole_element(data, what), 0x30, what), what)
    if len(info) != 2 or oid(info[0], what) != OID_SIGNED_DATA:
        raise Unreadable(f"{what} is not PKCS#7 signed data")
    signed = children(expect(info[1], 0xA0, what), what)
    if len(signed) != 1:
        raise Unreadable(f"{what} is not PKCS#7 signed data")
    parts = children(expect(signed[0], 0x30, what), what)
    if len(parts) < 4:
        raise Unreadable(f"{what} lacks some of its fields")
    encapsulated = children(expect(parts[2], 0x30, f"{what}'s content"), what)
    if len(encapsulated) != 2:
        raise Unreadable(f"{what} has no content")
    content = children(expect(encapsulated[1], 0xA0, f"{what}'s content"), what)
    if len(content) != 1:
        raise Unreadable(f"{what}'s content is not one element")
    certificates, rest = [], parts[3:]
    if rest[0].tag == 0xA0:
        for element in children(rest[0], f"{what}'s certificates", MAX_CERTIFICATES):
            certificates.append(read_certificate(element))
        rest = rest[1:]
    if rest and rest[0].tag == 0xA1:
        rest = rest[1:]
    if len(rest) != 1:
        raise Unreadable(f"{what} has fields where none belong")
    signers = children(expect(rest[0], 0x31, f"{what}'s signers"), what)
    if len(signers) != 1:
        raise Unreadable(f"{what} has {len(signers)} signers; Authenticode has one")
    return SignedData(oid(encapsulated[0], what), content[0], certificates, read_signer(signers[0], f"{what}'s signer"))


def signer_certificate(signer, certificates, what):
    """The certificate that SIGNER names, by issuer and serial number, as
    Windows finds it: the issuer byte for byte, the serial number by value.
    A second certificate with that serial number and an issuer that could be
    taken for the same is a second candidate, and the signature is refused."""
    candidates = [c for c in certificates if c.serial == signer.serial and c.issuer_key == signer.issuer_key]
    named = [c for c in candidates if c.issuer.whole == signer.issuer.whole]
    if len(candidates) > 1:
        raise Unreadable(f"{what} names its certificate by an issuer and serial number that {len(candidates)} of "
                         "its certificates carry, so who signed is not certain")
    if not named:
        raise Unreadable(f"{what} names a certificate that the signature does not carry")
    return named[0]


def verify_with_key(certificate, signer, workdir, what):
    """Whether SIGNER's signature over its signed attributes verifies with
    CERTIFICATE's public key; openssl checks it."""
    if signer.digest not in DIGESTS:
        raise Unreadable(f"{what} uses a digest algorithm ({signer.digest}) that this does not read")
    key_algorithm, digest = SIGNATURE_ALGORITHMS.get(signer.signature_algorithm, (None, None))
    if key_algorithm is None:
        raise Unreadable(f"{what} uses a signature algorithm ({signer.signature_algorithm}) that this does not read")
    if key_algorithm != certificate.key_algorithm or digest not in (None, signer.digest):
        raise Unreadable(f"{what}'s signature algorithm does not go with its certificate's key or its digest")
    # What is signed is the attributes as a SET, not under their [0] tag.
    signed = b"\x31" + signer.signed_attributes.whole[1:]
    files = {name: os.path.join(workdir, name) for name in ("key.pem", "signature.bin", "signed.bin")}
    with open(files["key.pem"], "w", encoding="ascii") as out:
        out.write(pem("PUBLIC KEY", certificate.public_key))
    with open(files["signature.bin"], "wb") as out:
        out.write(signer.signature)
    with open(files["signed.bin"], "wb") as out:
        out.write(signed)
    openssl = shutil.which("openssl")
    if openssl is None:
        raise Unreadable("openssl is not installed, and checking a signature needs it")
    try:
        checked = subprocess.run([openssl, "dgst", DIGESTS[signer.digest][1], "-verify", files["key.pem"],
                                  "-signature", files["signature.bin"], files["signed.bin"]],
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=OPENSSL_SECONDS, check=False)
    except subprocess.TimeoutExpired:
        raise Unreadable(f"openssl did not finish checking {what} within {OPENSSL_SECONDS} s") from None
    finally:
        for path in files.values():
            os.unlink(path)
    if checked.returncode != 0:
        raise Unreadable(f"{what} does not verify with the public key of the certificate it names")


def check_signer(signer, certificates, content, content_type, workdir, what):
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
    if digest != hashlib.new(DIGESTS[signer.digest][0], content).digest():
        raise Unreadable(f"{what}'s signed attributes give a message digest that is not the one of what it signs")
    verify_with_key(certificate, signer, workdir, what)
    return certificate, found


# --- Timestamps -----------------------------------------------------------

TIME_FORMATS = {0x17: (r"(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})Z", 2),
                0x18: (r"(\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(?:\.\d{1,9})?Z", 4)}


def read_time(element, what):
    """A UTCTime or GeneralizedTime, as "YYYY-MM-DD HH:MM:SS UTC"."""
    pattern, _ = TIME_FORMATS.get(element.tag, (None, None))
    text = element.content.decode("ascii", "replace")
    match = re.fullmatch(pattern, text) if pattern else None
    if match is None:
        raise Unreadable(f"{what} is not a time")
    year, *rest = (int(part) for part in match.groups())
    if element.tag == 0x17:
        year += 2000 if year < 50 else 1900
    try:
        when = datetime.datetime(year, *rest, tzinfo=datetime.timezone.utc)
    except ValueError:
        raise Unreadable(f"{what} is not a time") from None
    return when.strftime("%Y-%m-%d %H:%M:%S UTC")


def rfc3161_time(token, signed_data, workdir):
    """The time of an RFC 3161 timestamp that covers SIGNED_DATA's signer's
    signature, and the certificate that signed it, which is among the
    token's or the signature's."""
    what = "the timestamp"
    stamped = read_signed_data(token.whole, what)
    if stamped.content_type != OID_TST_INFO:
        raise Unreadable(f"{what} does not hold a time-stamp token")
    info = octets(stamped.content, f"{what}'s token")
    certificates = list({c.der: c for c in stamped.certificates + signed_data.certificates}.values())
    authority, _ = check_signer(stamped.signer, certificates, info, OID_TST_INFO, workdir, f"{what}'s signature")
    fields = children(expect(whole_element(info, f"{what}'s token"), 0x30, what), what)
    if len(fields) < 5:
        raise Unreadable(f"{what}'s token lacks some of its fields")
    imprint = children(expect(fields[2], 0x30, f"{what}'s imprint"), what)
    if len(imprint) != 2:
        raise Unreadable(f"{what}'s imprint is not a digest")
    digest = algorithm(imprint[0], f"{what}'s imprint")
    if digest not in DIGESTS:
        raise Unreadable(f"{what} uses a digest algorithm ({digest}) that this does not read")
    signature = signed_data.signer.signature
    if octets(imprint[1], f"{what}'s imprint") != hashlib.new(DIGESTS[digest][0], signature).digest():
        raise Unreadable(f"{what} is for another signature")
    return read_time(fields[4], f"{what}'s time"), authority


def countersignature_time(element, signed_data, workdir):
    """The time of an older Authenticode countersignature of SIGNED_DATA's
    signer, and the certificate that made it."""
    what = "the timestamp"
    countersigner = read_signer(element, what)
    authority, found = check_signer(countersigner, signed_data.certificates, signed_data.signer.signature, None,
                                    workdir, what)
    return read_time(only_value(found, OID_SIGNING_TIME, f"{what}'s signed attributes"), f"{what}'s time"), authority


def timestamp(signed_data, workdir):
    """(time, its authority's certificate, "") for a timestamp that holds,
    ("", None, why not) for one that does not, ("", None, "") when there is
    none. Only the signer's unsigned attributes hold a timestamp. Whether
    the authority is one Windows trusts is not judged here: anyone can make
    a certificate and sign a time with it."""
    found = [(key, values) for key, values in signed_data.signer.unsigned_attributes
             if key in (OID_RFC3161_TIMESTAMP, OID_COUNTERSIGNATURE)]
    if not found:
        return "", None, ""
    if len(found) != 1 or len(found[0][1]) != 1:
        return "", None, "it carries more than one timestamp"
    key, (value,) = found[0]
    try:
        if key == OID_RFC3161_TIMESTAMP:
            return *rfc3161_time(value, signed_data, workdir), ""
        return *countersignature_time(value, signed_data, workdir), ""
    except Unreadable as problem:
        return "", None, str(problem)


# --- The program ----------------------------------------------------------

@dataclasses.dataclass
class Program:
    data: bytes
    checksum_at: int
    security_entry_at: int
    signature_at: int  # where the certificate table starts; the file's end when there is none
    signature: bytes  # the PKCS#7 signature, DER; empty when there is none


def read_program(data):
    """DATA as a PE file: where its checksum, certificate table entry and
    certificate table are, and the one signature that table holds."""
    what = "the program"
    if len(data) > MAX_PROGRAM_BYTES:
        raise Unreadable(f"{what} is {len(data)} bytes, more than a release holds (at most {MAX_PROGRAM_BYTES})")
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise Unreadable(f"{what} is not a Windows program")
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if header + 24 > len(data) or data[header:header + 4] != b"PE\0\0":
        raise Unreadable(f"{what} is not a Windows program: it has no PE header")
    optional_size = struct.unpack_from("<H", data, header + 20)[0]
    optional = header + 24
    if optional + optional_size > len(data) or optional_size < 2:
        raise Unreadable(f"{what}'s optional header runs past its end")
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (0x10B, 0x20B):
        raise Unreadable(f"{what} is neither PE32 nor PE32+")
    directories = optional + (96 if magic == 0x10B else 112)
    count_at = directories - 4
    if directories + 5 * 8 > optional + optional_size or struct.unpack_from("<I", data, count_at)[0] < 5:
        raise Unreadable(f"{what} has no certificate table entry")
    entry = directories + 4 * 8
    offset, size = struct.unpack_from("<II", data, entry)
    program = Program(data, optional + 64, entry, len(data), b"")
    if offset == 0 and size == 0:
        return program
    if offset % 8 or offset < optional + optional_size or offset + size != len(data):
        raise Unreadable(f"{what}'s certificate table is not at its end, aligned as Windows requires")
    if size > MAX_SIGNATURE_BYTES + 16 or size < 8:
        raise Unreadable(f"{what}'s certificate table is {size} bytes, more than a signature takes")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if revision != 0x0200 or kind != 0x0002:
        raise Unreadable(f"{what}'s certificate table does not hold an Authenticode signature")
    if length < 8 or length > size or size - length >= 8:
        raise Unreadable(f"{what}'s certificate table holds something besides its one signature")
    held = data[offset + 8:offset + length]
    _, end = read_element(held)
    if any(held[end:]) or len(held) - end >= 8 or any(data[offset + length:]):
        raise Unreadable(f"{what}'s signature is followed by something other than padding")
    program.signature_at, program.signature = offset, held[:end]
    return program


def authenticode_digest(program, name):
    """The digest Authenticode signs: the file up to its certificate table,
    without its checksum and the table's entry, padded to 8 bytes."""
    data, digest = program.data, hashlib.new(name)
    digest.update(data[:program.checksum_at])
    digest.update(data[program.checksum_at + 4:program.security_entry_at])
    digest.update(data[program.security_entry_at + 8:program.signature_at])
    digest.update(bytes(-program.signature_at % 8))
    return digest.hexdigest().upper()


def pe_checksum(data, checksum_at):
    """The PE checksum of DATA, as the loader computes it."""
    padded = data + bytes(len(data) % 2)
    words = struct.unpack(f"<{len(padded) // 2}H", padded)
    total = sum(words) - words[checksum_at // 2] - words[checksum_at // 2 + 1]
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def without_signature(program):
    """The program as it was before it was signed: its certificate table and
    that table's entry taken away, and its checksum computed again."""
    data = bytearray(program.data[:program.signature_at])
    data[program.security_entry_at:program.security_entry_at + 8] = bytes(8)
    struct.pack_into("<I", data, program.checksum_at, pe_checksum(bytes(data), program.checksum_at))
    return bytes(data)


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
    signed_digest: str  # the program's Authenticode digest that the signature signs
    program_digest: str  # the one of the program as it is


def signature_facts(program, workdir):
    """The facts of PROGRAM's signature, or None when it is not signed;
    Unreadable when the signature does not hold."""
    if not program.signature:
        return None
    what = "the signature"
    signed_data = read_signed_data(program.signature, what)
    if signed_data.content_type != OID_SPC_INDIRECT_DATA:
        raise Unreadable(f"{what} does not sign a program's digest")
    # The content: SpcIndirectDataContent, a SEQUENCE of what it signs (a PE
    # image) and the program's digest. Its message digest is over the
    # SEQUENCE's content, without its tag and length.
    content = expect(signed_data.content, 0x30, f"{what}'s content")
    parts = children(content, f"{what}'s content")
    if len(parts) != 2:
        raise Unreadable(f"{what}'s content is not a program's digest")
    data = children(expect(parts[0], 0x30, f"{what}'s content"), f"{what}'s content")
    if not data or oid(data[0]) != OID_SPC_PE_IMAGE_DATA:
        raise Unreadable(f"{what} is not for a PE program")
    digest_info = children(expect(parts[1], 0x30, f"{what}'s digest"), f"{what}'s digest")
    if len(digest_info) != 2:
        raise Unreadable(f"{what}'s digest is not a digest")
    digest = algorithm(digest_info[0], f"{what}'s digest")
    if digest not in DIGESTS:
        raise Unreadable(f"{what} uses a digest algorithm ({digest}) that this does not read")
    certificate, _ = check_signer(signed_data.signer, signed_data.certificates, content.content, OID_SPC_INDIRECT_DATA,
                                  workdir, f"{what}'s signer")
    # Nothing its signer signed covers the unsigned attributes: anyone can add
    # to them. Only a timestamp belongs there; a nested signature, which
    # Windows lists as a signer of its own, or anything else is refused.
    for key, _ in signed_data.signer.unsigned_attributes:
        if key == OID_NESTED_SIGNATURE:
            raise Unreadable(f"{what} carries a second signature nested in it, which its signer did not sign")
        if key not in (OID_RFC3161_TIMESTAMP, OID_COUNTERSIGNATURE):
            raise Unreadable(f"{what} carries an unsigned attribute ({key}) where only a timestamp belongs")
    when, authority, problem = timestamp(signed_data, workdir)
    return Facts(subject=windows_name(certificate.subject), publisher=publisher_of(certificate.subject),
                 fingerprint=sha256_fingerprint(certificate),
                 thumbprint=fingerprint(certificate, "sha1"),
                 timestamp=when, timestamp_problem=problem,
                 timestamp_authority=sha256_fingerprint(authority) if authority else "",
                 signed_digest=octets(digest_info[1], f"{what}'s digest").hex().upper(),
                 program_digest=authenticode_digest(program, DIGESTS[digest][0]))


def pem_content(data, label="PKCS7"):
    """The DER inside PEM DATA of LABEL, or None."""
    lines = data.decode("ascii", "replace").strip().split("\n")
    if len(lines) < 3 or lines[0].strip() != f"-----BEGIN {label}-----" or lines[-1].strip() != f"-----END {label}-----":
        return None
    try:
        return base64.b64decode("".join(line.strip() for line in lines[1:-1]), validate=True)
    except ValueError:
        return None


def pem(label, der):
    text = base64.b64encode(der).decode("ascii")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return f"-----BEGIN {label}-----\n" + "\n".join(lines) + f"\n-----END {label}-----\n"


def read_bounded(path, limit, what, follow=True):
    """The bytes of the regular file PATH, at most LIMIT of them; unless
    FOLLOW, PATH may not be a link."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | (0 if follow else os.O_NOFOLLOW)
    try:
        descriptor = os.open(path, flags)
    except OSError as problem:
        if problem.errno == errno.ELOOP and not follow:
            raise Unreadable(f"{what} is a link, not a file") from None
        raise Unreadable(f"cannot open {what}: {problem.strerror}") from None
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise Unreadable(f"{what} is not a regular file")
    with os.fdopen(descriptor, "rb") as file:
        data = file.read(limit + 1)
    if len(data) > limit:
        raise TooLarge(f"{what} is more than {limit} bytes, more than a release's could be")
    return data


def write_facts(exe, directory):
    """authenticode.py facts EXE DIR."""
    program = read_program(read_bounded(exe, MAX_PROGRAM_BYTES, "the program"))
    facts = signature_facts(program, directory)
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
    commands = {"facts": write_facts, "certificates": write_certificates}
    if len(arguments) != 3 or arguments[0] not in commands:
        print("usage: authenticode.py facts EXE DIR | certificates SIGNATURE OUT", file=sys.stderr)
        return 2
    try:
        commands[arguments[0]](arguments[1], arguments[2])
    except Unreadable as problem:
        print(visible(str(problem), 400), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
