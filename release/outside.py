"""What comes from outside, read and shown safely: a file read within its
bound, never blocking on a device or a terminal; PEM; and text made safe
for a terminal before it is printed."""

import base64
import errno
import os
import stat
import unicodedata

from strict_der import Unreadable


class TooLarge(Unreadable):
    """A file is bigger than a release's could be."""


BIDI_FORMATS = {0x061C, 0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A)}


# How much of a value from outside a line shows, by default.
SHOWN = 120


def shown(text, limit=SHOWN):
    """TEXT from outside, made visible and cut at LIMIT, for a line of a message."""
    return visible(text, limit)


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
