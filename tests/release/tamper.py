#!/usr/bin/python3 -IB
"""Signatures and programs as an attacker makes them, for dist-check.sh's
tables of make dist and make verify-release, from the test's own throwaway
ones; signatures are detached PEM.

    tamper.py attach EXE SIGNATURE OUT
OUT is EXE (unsigned) with SIGNATURE attached, whether or not it fits.
    tamper.py digest-length EXE BYTES OUT
OUT is a signature of EXE, by a signer made for it, whose SHA-256 digest
of the program is cut short (BYTES below 0) or lengthened by BYTES bytes.
    tamper.py flip-last SIGNATURE OUT
OUT is SIGNATURE with the last byte of its DER flipped: with a timestamp,
the last byte of the timestamp's own signature.
"""

import os
import sys

sys.path[:0] = [os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "release"),
                os.path.dirname(os.path.realpath(__file__))]
import authenticode as A  # noqa: E402
import factory as F  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID  # noqa: E402


def read(path):
    with open(path, "rb") as file:
        return file.read()


def write(path, data):
    with open(path, "xb") as file:
        file.write(data)


def signature_of(path):
    der = A.pem_content(read(path))
    assert der is not None, f"{path} is not a PEM signature"
    return der


def digest_length(exe, change, out):
    program = read(exe)
    signed_digest = bytes.fromhex(A.authenticode_digest(A.read_program(program), "sha256"))
    signed_digest = signed_digest[:int(change)] if int(change) < 0 else signed_digest + bytes(int(change))
    signer = F.Signing("Korvane Tampering Signer", issuer=F.Signing("Korvane Tampering CA"),
                       usage=ExtendedKeyUsageOID.CODE_SIGNING)
    signed = F.authenticode(program, signer, content=lambda fields: [
        fields[0], F.seq(F.algorithm(A.SHA256), F.tlv(0x04, signed_digest))])
    write(out, A.pem("PKCS7", A.read_program(signed).signature).encode())


def flip_last(signature, out):
    der = signature_of(signature)
    write(out, A.pem("PKCS7", der[:-1] + bytes([der[-1] ^ 1])).encode())


def main(arguments):
    commands = {"attach": lambda exe, signature, out: write(out, F.attach(read(exe), signature_of(signature))),
                "digest-length": digest_length, "flip-last": flip_last}
    if not arguments or arguments[0] not in commands or len(arguments) != (3 if arguments[0] == "flip-last" else 4):
        sys.exit("usage: tamper.py attach EXE SIGNATURE OUT | digest-length EXE BYTES OUT | flip-last SIGNATURE OUT")
    commands[arguments[0]](*arguments[1:])


if __name__ == "__main__":
    main(sys.argv[1:])
