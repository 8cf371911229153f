"""Throwaway keys, certificates and Authenticode signatures for the reader's
tests, made as they run: by osslsigncode, as a release is signed, and
written here in DER, for what osslsigncode does not make (a legacy
countersignature, either kind of time, odd names, hostile structures).

A signature is written from its parts; FAULTS, keyed by a part's name,
each take that part (bytes, or a list of a structure's fields) and give
what is written instead.
"""

import datetime
import hashlib
import os
import struct
import subprocess

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import NameOID

import authenticode as A
import pe_file as P
import strict_der as D

TOOL_SECONDS = 30
DIGEST_OIDS = {"sha1": A.SHA1, "sha256": A.SHA256, "sha384": A.SHA384, "sha512": A.SHA512}
EC_SIGNATURES = {"sha1": "1.2.840.10045.4.1", "sha256": "1.2.840.10045.4.3.2", "sha384": "1.2.840.10045.4.3.3",
                 "sha512": "1.2.840.10045.4.3.4"}


# --- DER ------------------------------------------------------------------

def tlv(tag, *parts, long=False):
    """An element; LONG writes its length in the long form even when short."""
    body = b"".join(parts)
    if len(body) < 0x80 and not long:
        return bytes([tag, len(body)]) + body
    size = len(body).to_bytes(max(1, (len(body).bit_length() + 7) // 8), "big")
    return bytes([tag, 0x80 | len(size)]) + size + body


def seq(*parts):
    return tlv(0x30, *parts)


def oid(dotted):
    numbers = [int(n) for n in dotted.split(".")]
    body = b""
    for number in [40 * numbers[0] + numbers[1], *numbers[2:]]:
        chunk = [number & 0x7F]
        while number > 0x7F:
            number >>= 7
            chunk.insert(0, 0x80 | number & 0x7F)
        body += bytes(chunk)
    return tlv(0x06, body)


def integer(number):
    return tlv(0x02, number.to_bytes(number.bit_length() // 8 + 1, "big", signed=True))


def utc_time(when):
    return tlv(0x17, when.strftime("%y%m%d%H%M%SZ").encode())


def generalized_time(when, fraction=""):
    return tlv(0x18, when.strftime("%Y%m%d%H%M%S").encode() + fraction.encode() + b"Z")


def inner(der):
    """The content of the element DER."""
    return D.whole_element(der, "an element").content


def attribute(key, *values):
    return seq(oid(key), tlv(0x31, *values))


def algorithm(key):
    return seq(oid(key), b"\x05\x00")


def digest(name, data):
    return hashlib.new(name, data).digest()


# --- Keys and certificates ------------------------------------------------

class Signing:
    """A key and its certificate, issued by ISSUER (itself when None)."""

    def __init__(self, common_name, key=None, issuer=None, serial=None, valid=(2000, 2099), usage=None,
                 name=None, issuer_name=None):
        self.key = key or ec.generate_private_key(ec.SECP256R1())
        self.name = name or x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
        signer = issuer or self
        builder = (x509.CertificateBuilder().subject_name(self.name)
                   .issuer_name(issuer_name or signer.name).public_key(self.key.public_key())
                   .serial_number(serial or x509.random_serial_number())
                   .not_valid_before(datetime.datetime(valid[0], 1, 1))
                   .not_valid_after(datetime.datetime(valid[1], 12, 31)))
        if usage:
            builder = builder.add_extension(x509.ExtendedKeyUsage([usage]), critical=True)
        self.certificate = builder.sign(signer.key, hashes.SHA256())
        self.der = self.certificate.public_bytes(serialization.Encoding.DER)
        self.chain = [] if issuer is None else [issuer.der]

    def sign(self, data, name):
        if isinstance(self.key, rsa.RSAPrivateKey):
            return self.key.sign(data, padding.PKCS1v15(), getattr(hashes, name.upper())())
        return self.key.sign(data, ec.ECDSA(getattr(hashes, name.upper())()))

    def signature_algorithm(self, name):
        return "1.2.840.113549.1.1.1" if isinstance(self.key, rsa.RSAPrivateKey) else EC_SIGNATURES[name]


def resigned(certificate_der, issuer, old, new):
    """A certificate with OLD in its signed part replaced by NEW (as long),
    signed again by ISSUER (an EC key): what cryptography would not write."""
    parsed = x509.load_der_x509_certificate(certificate_der)
    tbs = parsed.tbs_certificate_bytes.replace(old, new)
    # ecdsa-with-SHA256 takes no parameters, not even a NULL.
    return seq(tbs, seq(oid("1.2.840.10045.4.3.2")), tlv(0x03, b"\0" + issuer.sign(tbs, "sha256")))


# --- Signatures -----------------------------------------------------------

def parts(faults, prefix):
    return lambda name, value: faults[prefix + name](value) if prefix + name in faults else value


def signer_info(signing, name, signed_attributes, unsigned=(), prefix="", /, **faults):
    """A SignerInfo, and its signature value."""
    part = parts(faults, prefix)
    signed_attributes = part("signed_attributes", signed_attributes)
    value = part("signature", signing.sign(tlv(0x31, *signed_attributes), name))
    fields = [integer(1), seq(signing.certificate.issuer.public_bytes(), integer(signing.certificate.serial_number)),
              algorithm(DIGEST_OIDS[name]), tlv(0xA0, *signed_attributes),
              algorithm(part("signature_algorithm", signing.signature_algorithm(name))), tlv(0x04, value)]
    unsigned = part("unsigned", [make(value) for make in unsigned])
    return seq(*part("signer", fields + ([tlv(0xA1, *unsigned)] if unsigned else []))), value


def signed_data(signing, content_type, content, digested, name, /, unsigned=(), certificates=None, prefix="",
                **faults):
    """A ContentInfo of SignedData by SIGNING of CONTENT, whose message
    digest is over DIGESTED."""
    part = parts(faults, prefix)
    signed_attributes = [attribute(A.OID_CONTENT_TYPE, oid(content_type)),
                         attribute(A.OID_MESSAGE_DIGEST, tlv(0x04, digest(name, digested)))]
    signer, _ = signer_info(signing, name, signed_attributes, unsigned, prefix, **faults)
    certificates = [signing.der, *signing.chain] if certificates is None else certificates
    fields = [integer(1), tlv(0x31, algorithm(DIGEST_OIDS[name])), seq(oid(content_type), tlv(0xA0, content)),
              tlv(0xA0, *certificates), tlv(0x31, signer)]
    return seq(*part("content_info", [oid(A.OID_SIGNED_DATA), tlv(0xA0, seq(*part("signed_data", fields)))]))


def authenticode(program, signing, name="sha256", **options):
    """PROGRAM (unsigned) with an Authenticode signature by SIGNING attached."""
    part = parts(options, "")
    image = A.read_program(program)
    fields = part("content", [seq(oid(part("image", A.OID_SPC_PE_IMAGE_DATA)), seq()),
                              seq(algorithm(DIGEST_OIDS[name]),
                                  tlv(0x04, bytes.fromhex(A.authenticode_digest(image, name))))])
    signature = signed_data(signing, part("content_type", A.OID_SPC_INDIRECT_DATA), seq(*fields), b"".join(fields),
                            name, **options)
    return attach(program, part("whole", signature))


def rfc3161(authority, when, name="sha256", time=None, **faults):
    """An RFC 3161 timestamp by AUTHORITY at WHEN (or of TIME, an element),
    for the signature whose value it is given."""
    part = parts(faults, "tst_")

    def made(value):
        imprint = seq(algorithm(DIGEST_OIDS[name]), tlv(0x04, digest(name, value)))
        info = seq(*part("fields", [integer(1), oid("1.2.3.4"), imprint, integer(7), time or generalized_time(when)]))
        return attribute(A.OID_RFC3161_TIMESTAMP, signed_data(authority, part("content_type", A.OID_TST_INFO),
                                                             tlv(0x04, info), info, name, prefix="tst_", **faults))
    return made


def countersignature(authority, when, time=None, **faults):
    """An Authenticode countersignature by AUTHORITY at WHEN (or of TIME),
    whose certificate the outer signature must carry."""
    def made(value):
        signed_attributes = [attribute(A.OID_CONTENT_TYPE, oid(A.OID_DATA)),
                             attribute(A.OID_SIGNING_TIME, time or utc_time(when)),
                             attribute(A.OID_MESSAGE_DIGEST, tlv(0x04, digest("sha256", value)))]
        return attribute(A.OID_COUNTERSIGNATURE, signer_info(authority, "sha256", signed_attributes, (), "cs_",
                                                             **faults)[0])
    return made


def twice(make):
    """MAKE's attribute, with its one value twice."""
    def made(value):
        key, values = D.fields(D.whole_element(make(value), ""), 0x30, "", "06 type, 31 values")
        return seq(key.whole, tlv(0x31, values.content * 2))
    return made


def attach(program, signature, inside=b"", after=None):
    """PROGRAM with SIGNATURE in a certificate table at its end, followed by
    INSIDE within the length the table gives and AFTER (zeros to 8 bytes)
    outside it."""
    data = bytearray(program + bytes(-len(program) % 8))
    table = struct.pack("<IHH", 8 + len(signature) + len(inside), 0x0200, 0x0002) + signature + inside
    table += bytes(-len(table) % 8) if after is None else after
    struct.pack_into("<II", data, A.read_program(program).security_entry_at, len(data), len(table))
    return bytes(data) + table


# --- The tools a release is signed and checked with -----------------------

def run(*command):
    done = subprocess.run(command, capture_output=True, text=True, timeout=TOOL_SECONDS, check=False)
    assert done.returncode == 0, f"{command[0]} {command[1]} failed: {done.stderr.strip()[-300:]}"
    return done.stdout


def osslsigncode(program_path, signing, name, work):
    """PROGRAM_PATH signed by osslsigncode with SIGNING's key, in a PKCS#12
    file whose password is only ever in a file."""
    password = os.urandom(16).hex().encode()
    paths = {n: os.path.join(work, n) for n in ("key.p12", "password", "signed.exe")}
    chain = [x509.load_der_x509_certificate(der) for der in signing.chain]
    with open(os.open(paths["password"], os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
        out.write(password)
    with open(os.open(paths["key.p12"], os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
        out.write(pkcs12.serialize_key_and_certificates(b"signer", signing.key, signing.certificate, chain,
                                                        serialization.BestAvailableEncryption(password)))
    run("osslsigncode", "sign", "-h", name, "-pkcs12", paths["key.p12"], "-readpass", paths["password"],
        "-in", program_path, "-out", paths["signed.exe"])
    return paths["signed.exe"]


def openssl_certificates(signed_path, work):
    """What openssl says of each certificate in SIGNED_PATH's signature:
    (subject as Windows writes a simple one, SHA-256 fingerprint, SHA-1)."""
    signature, found = os.path.join(work, "signature.der"), []
    # The signature alone, from the certificate table (osslsigncode 2.5's
    # extract-signature writes the table entry's 8-byte header before it).
    with open(signed_path, "rb") as file, open(signature, "wb") as out:
        out.write(P.read_program(file.read()).signature)
    listed = run("openssl", "pkcs7", "-inform", "DER", "-in", signature, "-print_certs")
    for number, text in enumerate(listed.split("-----END CERTIFICATE-----")[:-1]):
        path = os.path.join(work, f"certificate-{number}.pem")
        with open(path, "w", encoding="ascii") as out:
            out.write(text[text.index("-----BEGIN"):] + "-----END CERTIFICATE-----\n")
        said = [run("openssl", "x509", "-in", path, "-noout", "-subject", "-nameopt",
                    "utf8,sep_comma_plus_space,dn_rev,sname", "-fingerprint", option) for option in ("-sha256", "-sha1")]
        subject, sha256 = [line.split("=", 1)[1] for line in said[0].splitlines()]
        sha1 = said[1].splitlines()[1].split("=", 1)[1]
        found.append((subject, sha256, sha1.replace(":", "")))
    return found
