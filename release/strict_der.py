"""A strict reader of DER, for the signatures that come from outside.

It takes DER and nothing else: one encoding for each value, no indefinite
lengths, no length or number written longer than it must be, no bytes after
an element. It reads what authenticode.py needs of PKCS#7, Authenticode and
RFC 3161, which no library that Debian packages reads strictly; the
certificates inside them are read by python3-cryptography.
"""

import dataclasses
import datetime
import re


class Unreadable(Exception):
    """What came from outside is not what it must be; the message says why, in one line."""


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


def expect(element, tag, what):
    if element.tag != tag:
        raise Unreadable(f"{what} is not where it belongs (tag 0x{element.tag:02x}, not 0x{tag:02x})")
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


def inside(element, tag, what):
    """The elements inside ELEMENT, which must have TAG."""
    return children(expect(element, tag, what), what)


def fields(element, tag, what, layout):
    """The fields of ELEMENT, which must have TAG, as LAYOUT lists them:
    "TAG NAME, …" in order, TAG in hex, with a "?" after it for a field that
    may be left out (None then). Nothing may come after the last."""
    parts, found, at = inside(element, tag, what), [], 0
    for field in layout.split(", "):
        wanted, name = field.split(" ", 1)
        if at < len(parts) and parts[at].tag == int(wanted.rstrip("?"), 16):
            found.append(parts[at])
            at += 1
        elif wanted.endswith("?"):
            found.append(None)
        else:
            raise Unreadable(f"{what} has no {name}")
    if at != len(parts):
        raise Unreadable(f"{what} has fields where none belong")
    return found


def oid(element, what="an object identifier"):
    content = expect(element, 0x06, what).content
    if not content or content[-1] & 0x80 or len(content) > 64:
        raise Unreadable(f"{what} is malformed")
    parts, value = [], 0
    for byte in content:
        if byte == 0x80 and value == 0:
            raise Unreadable(f"{what} has a number not written in its shortest form, which DER does not allow")
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(value)
            value = 0
    first = min(parts[0] // 40, 2)
    return ".".join(str(part) for part in [first, parts[0] - 40 * first, *parts[1:]])


def integer(element, what):
    content = expect(element, 0x02, what).content
    if not content or len(content) > 64:
        raise Unreadable(f"{what} is not an integer of a sensible size")
    if len(content) > 1 and (content[0], content[1] >> 7) in ((0, 0), (0xFF, 1)):
        raise Unreadable(f"{what} is not written in its shortest form, which DER does not allow")
    return int.from_bytes(content, "big", signed=True)


def algorithm(element, what):
    """The object identifier of an AlgorithmIdentifier."""
    parts = inside(element, 0x30, what)
    if not parts:
        raise Unreadable(f"{what} is empty")
    return oid(parts[0], what)


def octets(element, what):
    return expect(element, 0x04, what).content


TIME_FORMATS = {0x17: r"(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})Z",
                0x18: r"(\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(?:\.\d{1,9})?Z"}


def read_time(element, what):
    """A UTCTime or GeneralizedTime, as a time in UTC."""
    pattern = TIME_FORMATS.get(element.tag)
    match = re.fullmatch(pattern, element.content.decode("ascii", "replace")) if pattern else None
    if match is None:
        raise Unreadable(f"{what} is not a time")
    year, *rest = (int(part) for part in match.groups())
    if element.tag == 0x17:
        year += 2000 if year < 50 else 1900
    try:
        return datetime.datetime(year, *rest, tzinfo=datetime.timezone.utc)
    except ValueError:
        raise Unreadable(f"{what} is not a time") from None
