#!/usr/bin/python3 -IB
"""The buildinfo, written and read, and toolchain.lock, read: one reader
and one writer of each, for dist.sh, toolchain.sh, verify_release.py and
the tests.

The buildinfo, korvane-icon-size-VERSION.buildinfo beside the zip, says
what the zip was built from, in Debian's buildinfo form: NAME: VALUE, or
NAME: followed by lines that start with a space. make dist writes it; make
verify-release reads it as a download's, from anywhere, so the reader takes
only what is bounded and of its form, and says in one line what is not.
The writer refuses to write anything that the reader would refuse.

The lock: its first line names the Debian release ("Debian: trixie"), then
one PACKAGE=VERSION a line. It is this checkout's own; it is read with the
standard library alone, as toolchain.sh needs it before anything else is
installed.

    buildinfo.py write FIELD=VALUE...   the buildinfo, on stdout; see write_command
    buildinfo.py field FILE NAME        the value of a buildinfo's field NAME, a line
                                        each; nothing when it has none
    buildinfo.py url URL                whether URL can be a Download-URL
    buildinfo.py lock FILE [any]        the lock, checked, its pins sorted; with
                                        "any", a VERSION may be empty
A problem is said in one line on stderr, exit status 1; usage, 2.
"""

import dataclasses
import hashlib
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from outside import shown  # noqa: E402  (found beside this file)
from strict_der import Unreadable  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
LOCK = os.path.join(ROOT, "toolchain.lock")
FORMAT = "1.0"
# The buildinfo is about 1.2 KiB and 25 lines; a list of the packages of a
# whole build root would take a few hundred lines.
MAX_BUILDINFO_BYTES = 64 * 1024
MAX_BUILDINFO_LINES = 1000
MAX_BUILDINFO_LINE = 1024

PACKAGE = re.compile(r"[a-z0-9][a-z0-9+.-]+")
VERSION = re.compile(r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]*")
ARCHITECTURE = re.compile(r"[a-z0-9][a-z0-9-]{0,31}")
RELEASE = re.compile(r"[a-z]{1,32}")
COMMIT = re.compile(r"[0-9a-f]{40}|[0-9a-f]{64}")
NO_COMMIT = "unknown (not a git checkout)"
CHECKSUM = re.compile(r"([0-9a-f]{64}) ([0-9]{1,10}) ([A-Za-z0-9._+-]{1,128})")
# The download page: https, a host, and of the characters a URL may hold
# only those that need no quoting on a line of text or in a sed replacement
# but & (which dist.sh escapes there); no @, which in a link shown to people
# can hide the real host. verify-release hands it to make dist again, and
# shows it.
DOWNLOAD_URL = re.compile(r"https://[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?(?::[0-9]{1,5})?"
                          r"(?:/[A-Za-z0-9._~:/?#!$&()*+,;=%-]*)?")
MAX_DOWNLOAD_URL = 200
# Zip dates run from 1980 to 2107.
EARLIEST, LATEST = 315532800, 4354819199
# The fields make dist writes, in the order it writes them; those in LISTS
# hold lines, and of the rest those in OPTIONAL are left out when empty.
FIELDS = ["Format", "Source", "Version", "Git-Commit", "Git-Tree", "Source-Date-Epoch", "Build-Architecture",
          "Toolchain-Release", "Checksums-Sha256", "Unsigned-Checksums-Sha256", "Signer-Subject",
          "Signer-Sha256-Fingerprint", "Signed-With", "Timestamp-URL", "Download-URL", "Installed-Build-Depends"]
LISTS = {"Checksums-Sha256", "Unsigned-Checksums-Sha256", "Installed-Build-Depends"}
OPTIONAL = {"Unsigned-Checksums-Sha256", "Signer-Subject", "Signer-Sha256-Fingerprint", "Signed-With",
            "Timestamp-URL", "Download-URL"}


# --- The lock -------------------------------------------------------------

class BadLock(Exception):
    """This checkout's lock is not what it must be; the message says why."""


@dataclasses.dataclass
class Lock:
    release: str  # the Debian release, "trixie"
    pins: dict  # package name: version

    def text(self):
        """The lock as toolchain.sh reads it: the release, then the pins sorted."""
        return "\n".join([f"Debian: {self.release}"] + sorted(f"{name}={version}"
                                                              for name, version in self.pins.items()))


# How bash's printf %q writes what it quotes, which toolchain.sh's messages did.
SHELL_SPECIAL = set(" \t'\"\\|&;()<>!{}*[]?^$`,")
SHELL_ESCAPES = {"\a": "\\a", "\b": "\\b", "\x1b": "\\E", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t",
                 "\v": "\\v", "\\": "\\\\", "'": "\\'"}


def quoted(line):
    """LINE as bash's printf %q writes it: backslashes before what the shell
    would take otherwise, or $'...' when it holds what is not printable."""
    if not line:
        return "''"
    if all(c.isprintable() and not 0xDC80 <= ord(c) <= 0xDCFF for c in line):
        return ("\\" if line[0] in "~#" else "") + "".join("\\" + c if c in SHELL_SPECIAL else c for c in line)
    return "$'" + "".join(SHELL_ESCAPES.get(c) or (c if c.isprintable() and not 0xDC80 <= ord(c) <= 0xDCFF else octal(c))
                          for c in line) + "'"


def octal(character):
    """CHARACTER's bytes as \\NNN: its UTF-8, or the byte that was not UTF-8."""
    code = ord(character)
    data = bytes([code - 0xDC00]) if 0xDC80 <= code <= 0xDCFF else character.encode("utf-8")
    return "".join("\\%03o" % byte for byte in data)


def read_lock(path=LOCK, any_version=False):
    """The lock at PATH, checked: "Debian: RELEASE", then PACKAGE=VERSION
    lines, each package once; with ANY_VERSION, a VERSION may be empty."""
    if not os.path.isfile(path):
        raise BadLock(f"no lock at {path}")
    with open(path, "rb") as file:
        lines = file.read().decode("utf-8", "surrogateescape").split("\n")
    if lines[-1] == "":
        lines.pop()
    header, pins = (lines or [""])[0], {}
    pin = re.compile(r"([a-z0-9][a-z0-9+.-]+)=([A-Za-z0-9.+~:-]" + ("*)" if any_version else "+)"))
    twice = set()
    for line in lines[1:]:
        match = pin.fullmatch(line)
        if match is None:
            raise BadLock(f"{path}: not a PACKAGE=VERSION line: {quoted(line)}")
        if match[1] in pins:
            twice.add(match[1])
        pins[match[1]] = match[2]
    if not re.fullmatch(r"Debian: [a-z]+", header):
        raise BadLock(f"{path}: its first line must name the release, like \"Debian: trixie\"")
    if not pins:
        raise BadLock(f"{path} pins no package")
    if twice:
        raise BadLock(f"{path} pins {min(twice)} twice")
    return Lock(header[len("Debian: "):], pins)


# --- Reading the buildinfo ------------------------------------------------

@dataclasses.dataclass
class Buildinfo:
    """What the buildinfo says, every part checked for its form."""
    commit: str
    date: int
    architecture: str
    release: str  # the toolchain root's Debian release, or "" when it does not say
    checksums: list  # (SHA-256, size, name)
    packages: list  # (Debian package name, version)
    download_url: str = ""  # the page it names as the release's, or ""


def buildinfo_fields(text):
    """The buildinfo's fields: NAME: VALUE, or NAME: followed by lines
    that start with a space."""
    fields, current = {}, None
    for number, line in enumerate(text.split("\n"), 1):
        if len(line) > MAX_BUILDINFO_LINE:
            raise Unreadable(f"its line {number} is longer than {MAX_BUILDINFO_LINE} characters")
        if line.startswith(" ") and current is not None:
            fields[current].append(line[1:])
        elif match := re.fullmatch(r"([A-Za-z0-9-]{1,64}):(?: (.*))?", line):
            current = match[1]
            if current in fields:
                raise Unreadable(f"it gives {current} twice")
            fields[current] = [match[2]] if match[2] is not None else []
        elif line:
            raise Unreadable(f"its line {number} is not a field")
    return fields


def one_field(fields, name, form, what):
    values = fields.get(name)
    if not values or len(values) != 1 or not form.fullmatch(values[0]):
        value = "none" if not values else "\"" + shown(" ".join(values)) + "\""
        raise Unreadable(f"its {name} ({value}) is not {what}")
    return values[0]


def package_pairs(lines, pinned):
    """Installed-Build-Depends: (name, version) pairs, each checked to be a
    Debian package name and version, and one of the packages PINNED, the
    names this source's lock pins: what the buildinfo names is compared
    with the lock and shown, so it may name no other."""
    pairs = []
    for index, line in enumerate(lines):
        match = re.fullmatch(r"(\S+) \(= (\S+)\)" + ("," if index < len(lines) - 1 else ""), line)
        if match is None:
            raise Unreadable(f"its Installed-Build-Depends has a line that is not NAME (= VERSION): {shown(line)}")
        package, version = match.groups()
        if not PACKAGE.fullmatch(package):
            raise Unreadable(f"its Installed-Build-Depends names \"{shown(package)}\", which is not a Debian package name")
        if not VERSION.fullmatch(version) or len(version) > 128:
            raise Unreadable(f"its Installed-Build-Depends gives {package} \"{shown(version)}\", "
                             "which is not a Debian version")
        if package not in pinned:
            raise Unreadable(f"its Installed-Build-Depends names {package}, which toolchain.lock does not pin")
        if any(package == listed for listed, _ in pairs):
            raise Unreadable(f"its Installed-Build-Depends names {package} twice")
        pairs.append((package, version))
    return pairs


def release_of(fields):
    """The Debian release of the toolchain root: Toolchain-Release, or for a
    release made before the toolchain had a root, the release in brackets at
    the end of Build-Release, the host's ("Debian GNU/Linux 12 (bookworm)");
    "" when neither says."""
    if "Toolchain-Release" in fields:
        return one_field(fields, "Toolchain-Release", RELEASE, "a Debian release")
    if "Build-Release" in fields:
        host = one_field(fields, "Build-Release", re.compile(r".{1,200}"), "a release")
        found = re.search(r"\(([a-z]{1,32})\)$", host)
        return found[1] if found else ""
    return ""


def download_url_of(fields):
    """The Download-URL, checked for its form and length; "" when there is none."""
    if "Download-URL" not in fields:
        return ""
    what = f"an https URL of at most {MAX_DOWNLOAD_URL} characters"
    url = one_field(fields, "Download-URL", DOWNLOAD_URL, what)
    if len(url) > MAX_DOWNLOAD_URL:
        raise Unreadable(f"its Download-URL (\"{shown(url)}\") is not {what}")
    return url


def read_buildinfo(data, pinned):
    """DATA as a buildinfo whose packages are among PINNED (package names),
    within bounds; Unreadable says what is wrong."""
    if len(data) > MAX_BUILDINFO_BYTES:
        raise Unreadable(f"the buildinfo is more than {MAX_BUILDINFO_BYTES} bytes, more than a release's could be")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise Unreadable("it is not UTF-8") from None
    if text.count("\n") > MAX_BUILDINFO_LINES:
        raise Unreadable(f"it has more than {MAX_BUILDINFO_LINES} lines")
    fields = buildinfo_fields(text)
    commit = fields.get("Git-Commit", [""])
    if len(commit) != 1 or not (COMMIT.fullmatch(commit[0]) or commit[0] == NO_COMMIT):
        raise Unreadable(f"its Git-Commit (\"{shown(' '.join(commit))}\") is not a commit")
    date = int(one_field(fields, "Source-Date-Epoch", re.compile(r"[0-9]{1,10}"), "a number of seconds"))
    if not EARLIEST <= date <= LATEST:
        raise Unreadable(f"its Source-Date-Epoch ({date}) is not a date a zip can hold")
    checksums = []
    for line in fields.get("Checksums-Sha256", []):
        match = CHECKSUM.fullmatch(line)
        if match is None:
            raise Unreadable(f"its Checksums-Sha256 has a line that is not SHA-256 SIZE NAME: {shown(line)}")
        checksums.append((match[1], int(match[2]), match[3]))
    return Buildinfo(commit=commit[0], date=date,
                     architecture=one_field(fields, "Build-Architecture", ARCHITECTURE, "an architecture"),
                     release=release_of(fields),
                     checksums=checksums, packages=package_pairs(fields.get("Installed-Build-Depends", []), pinned),
                     download_url=download_url_of(fields))


# --- Writing it -----------------------------------------------------------

def checksum_line(path, name):
    """The file at PATH as a Checksums-Sha256 line, under NAME."""
    with open(path, "rb") as file:
        return checksum_line_of(file.read(), name)


def checksum_line_of(data, name):
    """DATA as a Checksums-Sha256 line, under NAME."""
    return f"{hashlib.sha256(data).hexdigest()} {len(data)} {name}"


def buildinfo_text(values, pinned):
    """The buildinfo of VALUES (field: its value, or for the fields in
    LISTS, its lines), the fields in make dist's order; ValueError says
    why there is none: a value that would break a line or that the
    reader refuses."""
    unknown = sorted(set(values) - set(FIELDS))
    if unknown:
        raise ValueError(f"no buildinfo field is named {unknown[0]}")
    lines = []
    for name in FIELDS:
        value = values.get(name, [] if name in LISTS else "")
        for line in value if name in LISTS else [value]:
            if any(c == "\n" or not c.isprintable() for c in line):
                raise ValueError(f"its {name} would hold a line break or a control character: {shown(line)}")
        if name in OPTIONAL and not value:
            continue
        lines += ([f"{name}:"] + [" " + line for line in value]) if name in LISTS else [f"{name}: {value}"]
    text = "\n".join(lines) + "\n"
    try:
        read_buildinfo(text.encode("utf-8"), pinned)
    except Unreadable as problem:
        raise ValueError(f"verify-release would refuse it: {problem}") from None
    return text


def write_command(arguments):
    """buildinfo.py write FIELD=VALUE...: the buildinfo, on stdout. A FIELD
    is one of FIELDS but the lists, or zip, program, signature or unsigned:
    a file, which goes into Checksums-Sha256 (the zip under its own name,
    the program as Source.exe, the signature as the zip's stem .exe.sig) or,
    for the program before signing, Unsigned-Checksums-Sha256; or packages,
    the toolchain root's as `toolchain.sh versions` lists them, which go
    into Installed-Build-Depends."""
    given = {}
    for argument in arguments:
        name, equals, value = argument.partition("=")
        if not equals or name in given or name in LISTS or name == "Format":
            raise ValueError(f"not FIELD=VALUE, given twice, or a field made here: {shown(argument)}")
        given[name] = value
    values = {name: value for name, value in given.items()
              if name not in ("zip", "program", "signature", "unsigned", "packages")}
    values["Format"] = FORMAT
    zip_name = os.path.basename(given.get("zip", ""))
    program = values.get("Source", "") + ".exe"
    files = [(given.get("zip"), zip_name), (given.get("program"), program),
             (given.get("signature"), zip_name.removesuffix(".zip") + ".exe.sig")]
    values["Checksums-Sha256"] = [checksum_line(path, name) for path, name in files if path]
    if given.get("unsigned"):
        values["Unsigned-Checksums-Sha256"] = [checksum_line(given["unsigned"], program)]
    pairs = package_list(given.get("packages", "").split("\n"))
    values["Installed-Build-Depends"] = [f"{name} (= {version})" + ("," if index < len(pairs) - 1 else "")
                                         for index, (name, version) in enumerate(pairs)]
    return buildinfo_text(values, read_lock().pins)


def package_list(lines):
    """LINES as `toolchain.sh versions` gives them, NAME (= VERSION) with a
    comma on all but the last, as (name, version) pairs."""
    try:
        return package_pairs(lines, read_lock().pins)
    except Unreadable as problem:
        raise ValueError(f"the toolchain's packages: {problem}") from None


# --- The commands ---------------------------------------------------------

def field_command(path, name):
    """The lines of the field NAME of the buildinfo at PATH, once it reads."""
    with open(path, "rb") as file:
        data = file.read(MAX_BUILDINFO_BYTES + 1)
    try:
        read_buildinfo(data, read_lock().pins)
    except Unreadable as problem:
        raise ValueError(f"{path}: {problem}") from None
    return "".join(line + "\n" for line in buildinfo_fields(data.decode("utf-8")).get(name, []))


def main(arguments):
    command, rest = (arguments[0], arguments[1:]) if arguments else ("", [])
    try:
        if command == "write" and rest:
            print(write_command(rest), end="")
        elif command == "field" and len(rest) == 2:
            print(field_command(*rest), end="")
        elif command == "url" and len(rest) == 1:
            return 0 if DOWNLOAD_URL.fullmatch(rest[0]) and len(rest[0]) <= MAX_DOWNLOAD_URL else 1
        elif command == "lock" and len(rest) in (1, 2) and rest[1:] in ([], ["any"]):
            print(read_lock(rest[0], rest[1:] == ["any"]).text())
        else:
            print("usage: buildinfo.py write FIELD=VALUE... | field FILE NAME | url URL | lock FILE [any]",
                  file=sys.stderr)
            return 2
    except (ValueError, BadLock, OSError) as problem:
        print(str(problem).replace("\n", " "), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
