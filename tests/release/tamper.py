#!/usr/bin/python3 -IB
"""Signatures and programs as an attacker makes them, for the tables of make
dist and make verify-release (signing-check.sh, verify-check.sh), from the
test's own throwaway ones; signatures are detached PEM.

    tamper.py attach EXE SIGNATURE OUT
OUT is EXE (unsigned) with SIGNATURE attached, whether or not it fits.
    tamper.py digest-length EXE BYTES OUT
OUT is a signature of EXE, by a signer made for it, whose SHA-256 digest
of the program is cut short (BYTES below 0) or lengthened by BYTES bytes.
    tamper.py flip-last SIGNATURE OUT
OUT is SIGNATURE with the last byte of its DER flipped: with a timestamp,
the last byte of the timestamp's own signature.
    tamper.py swap-certificate SIGNED_EXE FROM_PEM TO_PEM OUT
OUT is SIGNED_EXE with the certificate in FROM_PEM, which its signature
carries once, swapped for the one in TO_PEM, of the same length: the
signature then names TO_PEM's certificate, but was made with FROM_PEM's key.
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


def swap_certificate(signed_exe, from_pem, to_pem, out):
    old, new = (A.pem_content(read(path), "CERTIFICATE") for path in (from_pem, to_pem))
    program = read(signed_exe)
    assert old and new and len(old) == len(new) and program.count(old) == 1, "the certificate cannot be swapped"
    write(out, program.replace(old, new))


def attach(exe, signature, out):
    write(out, F.attach(read(exe), signature_of(signature)))


COMMANDS = {"attach": (attach, 3), "digest-length": (digest_length, 3), "flip-last": (flip_last, 2),
            "swap-certificate": (swap_certificate, 4)}  # each with the number of its arguments


def main(arguments):
    command, count = COMMANDS.get(arguments[0] if arguments else "", (None, None))
    if len(arguments) - 1 != count:
        sys.exit("usage: tamper.py attach EXE SIGNATURE OUT | digest-length EXE BYTES OUT | flip-last SIGNATURE OUT"
                 " | swap-certificate SIGNED_EXE FROM_PEM TO_PEM OUT")
    command(*arguments[1:])


if __name__ == "__main__":
    main(sys.argv[1:])
