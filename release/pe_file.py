"""A Windows program as a PE file: where its signature is, the digest that
Authenticode signs, and the program as it was before it was signed.

The program comes from outside: every offset in it is checked against its
size before it is used, and it is read within a release's bounds.
"""

import dataclasses
import hashlib
import struct

from strict_der import Unreadable, read_element

# Bounds, from what a release holds, with headroom. The program is 16 KiB;
# its signature about 2.4 KiB with our chain, 6 KiB with a timestamp, and a
# publicly trusted chain with a timestamp's chain stays under 20 KiB.
MAX_PROGRAM_BYTES = 256 * 1024
MAX_SIGNATURE_BYTES = 64 * 1024


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
