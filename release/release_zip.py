"""What a release zip is, and how its entries are read and compared with
the zip made here: the zip's reader, for verify_release.py.

A release, korvane-icon-size-VERSION.zip, holds five files at its top
level and nothing else: the program, the two read-mes, the license and
SHA256SUMS, each with a bound on its size (ENTRIES). The zip comes from
anywhere, so it is read as data, in this process, and within bounds: the
caller reads at most MAX_ZIP_BYTES of it; then its entry list is checked
before any entry is read, and a directory, a link or another kind of file,
a name not at the top level, an extra entry, a name twice, an encrypted
entry, a compression make dist does not use or a size over the file's bound
is refused in one line that says why. Only then are the five files read, by
name, each within its bound, into memory: no name from the zip reaches the
file system (unpack writes the five by the names ENTRIES gives), a shell or
a program. SHA256SUMS is split as `sha256sum -c` splits it, and its names
are compared with the four files, never opened. What a line shows of a name
or a line from the zip is made safe for a terminal first (outside.shown).
"""

import hashlib
import io
import os
import re
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from outside import shown  # noqa: E402  (found beside this file)
from pe_file import MAX_PROGRAM_BYTES  # noqa: E402
from strict_der import Unreadable  # noqa: E402

NAME = "korvane-icon-size"
PROGRAM = NAME + ".exe"
# The five files of a release, and the most bytes each may hold: the
# program is 16 KiB (and its signature), the read-mes about 7 KiB each, the
# license 1 KiB, SHA256SUMS four lines of about 80 bytes.
ENTRIES = {
    PROGRAM: MAX_PROGRAM_BYTES,
    "README-ja.txt": 64 * 1024,
    "README-en.txt": 64 * 1024,
    "LICENSE.txt": 16 * 1024,
    "SHA256SUMS": 4 * 1024,
}
SUMMED = [PROGRAM, "README-ja.txt", "README-en.txt", "LICENSE.txt"]
# The zip is about 16 KiB: its five files' bounds, with room for their entries.
MAX_ZIP_BYTES = 1024 * 1024


def entry_problem(entry, seen):
    """Why ENTRY is not one of the five files of a release, or None; SEEN
    holds the names of the entries before it."""
    name = shown(entry.filename)
    mode = entry.external_attr >> 16 if entry.create_system == 3 else 0
    kind = mode & 0o170000
    if entry.filename not in ENTRIES:
        if entry.filename.endswith("/") or kind == 0o040000:
            return f"it holds a directory, {name}, and a release holds none"
        if "/" in entry.filename or "\\" in entry.filename:
            return f"it holds {name}, which is not at its top level"
        return f"it holds an extra entry, {name}"
    if entry.filename in seen:
        return f"it holds {name} twice"
    if kind == 0o120000:
        return f"its {name} is a link, not a file"
    if kind not in (0, 0o100000) or entry.external_attr & 0x10:
        return f"its {name} is not a regular file"
    if entry.flag_bits & 0x1:
        return f"its {name} is encrypted"
    if entry.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        return f"its {name} is compressed in a way make dist does not use"
    if entry.file_size > ENTRIES[entry.filename]:
        return (f"its {name} is {entry.file_size} bytes, more than a release's "
                f"(at most {ENTRIES[entry.filename]})")
    return None


def read_zip(data):
    """The five files of the zip DATA, by name, from its entry list; for
    anything else in it, Unreadable, with the one line that says why."""
    # Whatever zipfile cannot make of a hostile zip, in whichever exception,
    # is a zip that cannot be read.
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        entries = archive.infolist()
    except Exception as problem:  # pylint: disable=broad-except
        raise Unreadable(f"it cannot be read as a zip: {shown(str(problem))}") from None
    seen = set()
    for entry in entries:
        problem = entry_problem(entry, seen)
        if problem:
            raise Unreadable(problem)
        seen.add(entry.filename)
    for name in ENTRIES:
        if name not in seen:
            raise Unreadable(f"it lacks {name}")
    files = {}
    for entry in entries:
        try:
            with archive.open(entry) as member:
                content = member.read(ENTRIES[entry.filename] + 1)
        except Exception as problem:  # pylint: disable=broad-except
            raise Unreadable(f"its {entry.filename} cannot be read: {shown(str(problem))}") from None
        if len(content) != entry.file_size:
            raise Unreadable(f"its {entry.filename} is not the size its entry gives")
        files[entry.filename] = content
    return files


def unpack(files, directory):
    """The five files, by their own names, as new regular files in DIRECTORY."""
    os.mkdir(directory)
    for name, content in files.items():
        with open(os.path.join(directory, name), "xb") as out:
            out.write(content)


def checksums_problem(files):
    """Why SHA256SUMS does not match the files, or None. Its names are
    compared with the four files; none is ever opened."""
    listed = {}
    # Lines end at a line feed and nowhere else, as for `sha256sum -c`: not
    # at the other characters that str.splitlines() ends them at.
    lines = files["SHA256SUMS"].decode("utf-8", "surrogateescape").split("\n")
    for line in lines[:-1] if lines[-1] == "" else lines:
        match = re.fullmatch(r"([0-9a-f]{64}) [ *](.*)", line)
        if match is None:
            return f"it has a line that is not a checksum: {shown(line)}"
        digest, name = match.groups()
        if name not in SUMMED:
            return f"it lists {shown(name)}, which is not one of the zip's files"
        if name in listed:
            return f"it lists {name} twice"
        listed[name] = digest
    for name in SUMMED:
        if name not in listed:
            return f"it does not list {name}"
        if listed[name] != hashlib.sha256(files[name]).hexdigest():
            return f"it gives another SHA-256 for {name}"
    return None


def zip_time(entry):
    return "%04d-%02d-%02d %02d:%02d:%02d" % entry.date_time


def zip_differences(theirs, ours, buildinfo):
    """Entry by entry, what differs between the zip checked, THEIRS (already
    read by read_zip), and the one made here, OURS, dated as BUILDINFO says
    (None: there is none); the first line says the most."""
    their_zip, our_zip = zipfile.ZipFile(io.BytesIO(theirs)), zipfile.ZipFile(io.BytesIO(ours))
    their_entries = {entry.filename: entry for entry in their_zip.infolist()}
    our_entries = {entry.filename: entry for entry in our_zip.infolist()}
    lines = [f"an extra entry, {shown(name)}" for name in their_entries if name not in our_entries]
    lines += [f"a missing entry, {name}" for name in our_entries if name not in their_entries]
    common = [name for name in our_entries if name in their_entries]
    changed = [name for name in common if their_zip.read(name) != our_zip.read(name)]
    if len(changed) == 1:
        lines.insert(0, f"{changed[0]} differs from the one make dist makes here")
    elif changed:
        lines.insert(0, f"{', '.join(changed[:-1])} and {changed[-1]} differ from the ones make dist makes here")
    dated = [name for name in common if their_entries[name].date_time != our_entries[name].date_time]
    if dated:
        name = dated[0]
        source = (f"the buildinfo's Source-Date-Epoch ({buildinfo.date})" if buildinfo
                  else "the last commit (there is no buildinfo)")
        lines.append(f"the zip's files are dated {zip_time(their_entries[name])}, and {source} "
                     f"dates them {zip_time(our_entries[name])}")
    for name in common:
        mine, yours = our_entries[name], their_entries[name]
        if (mine.external_attr, mine.create_system, mine.compress_type, mine.extra, mine.comment, mine.flag_bits) != \
                (yours.external_attr, yours.create_system, yours.compress_type, yours.extra, yours.comment,
                 yours.flag_bits):
            lines.append(f"{name} is stored otherwise (permissions, compression, extra fields or flags)")
    if [n for n in their_entries if n in our_entries] != common:
        lines.append("the entries are in another order")
    return lines or ["each entry is the same, but the zip's own bytes are not (its comment or layout)"]
