#!/usr/bin/python3 -IB
"""Releases as an attacker makes them, from the genuine ones, for
verify-check.sh: each in a directory of its own under OUT, named for what
is wrong with it, a zip made from the signed release (or the unsigned one)
and what lies beside it.

    hostile_releases.py OUT SIGNED UNSIGNED IMPOSTORS EXE
SIGNED and UNSIGNED: release directories as make dist writes them, with
their files in unpacked/; IMPOSTORS: the impostors' programs and signatures
(impostors.sh); EXE: the program under test.
"""

import hashlib
import os
import re
import struct
import sys
import time
import warnings
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "release"))
from buildinfo import checksum_line_of, read_buildinfo, read_lock  # noqa: E402

out, signed, unsigned, impostors, built = sys.argv[1:]
warnings.simplefilter("ignore")  # zipfile warns of the duplicate entry, which is the point
zip_name = next(n for n in os.listdir(signed) if n.endswith(".zip"))
stem = zip_name[:-len(".zip")]
order = ["korvane-icon-size.exe", "README-ja.txt", "README-en.txt", "LICENSE.txt", "SHA256SUMS"]
genuine = {n: open(os.path.join(signed, "unpacked", n), "rb").read() for n in order}
buildinfo = open(os.path.join(signed, stem + ".buildinfo"), encoding="utf-8").read()
epoch = read_buildinfo(buildinfo.encode(), read_lock().pins).date
date = time.gmtime(epoch)[:6]

def entry(name, mode=0o100644):
    info = zipfile.ZipInfo(name, date)
    info.create_system, info.external_attr, info.compress_type = 3, mode << 16, zipfile.ZIP_DEFLATED
    return info

def sums(files):
    return "".join(f"{hashlib.sha256(files[n]).hexdigest()}  {n}\n" for n in order[:4]).encode()

def five(changed=None, checksums=None):
    """The five entries, some CHANGED, with SHA256SUMS made again (or CHECKSUMS)."""
    files = dict(genuine, **(changed or {}))
    files["SHA256SUMS"] = checksums or sums(files)
    return [(entry(n), files[n]) for n in order]

def release(name, entries, beside=None, data=None):
    directory = os.path.join(out, name)
    os.makedirs(directory)
    path = os.path.join(directory, zip_name)
    if data is not None:
        open(path, "wb").write(data)
    else:
        with zipfile.ZipFile(path, "w") as archive:
            for info, content in entries:
                archive.writestr(info, content)
    for suffix, content in (beside or {}).items():
        if isinstance(content, str) and content.startswith("->"):
            os.symlink(content[2:], os.path.join(directory, stem + suffix))
        else:
            open(os.path.join(directory, stem + suffix), "wb").write(content)
    return path

readme_ja = genuine["README-ja.txt"]
# The zip itself.
release("extra-dotfile", five() + [(entry(".hidden"), b"x")])
release("program-link", [(entry(order[0], 0o120777), built.encode())] + five()[1:])
release("duplicate", five() + [(entry("README-ja.txt"), b"another")])
release("directory", five() + [(entry("docs/", 0o040755), b"")])
release("locked-directory", [(entry("locked/", 0o040000), b""), (entry("locked/file"), b"x")] + five())
release("zip-slip", five() + [(entry("../korvane-zip-slip.txt"), b"x")])
release("absolute", five() + [(entry("/tmp/korvane-absolute.txt"), b"x")])
release("rf-entry", five() + [(entry("-rf"), b"x")])
release("escape-name", five() + [(entry("\x1b[2J\x1b[1;1Hok   forged\x1b]0;owned\x07.txt"), b"x")])
release("bidi-name", five() + [(entry("README\u202etxt.exe"), b"x")])
release("bomb", five({"README-ja.txt": bytes(32 << 20)}))
path = release("lying-size", five({"README-ja.txt": bytes(32 << 20)}))
data = bytearray(open(path, "rb").read())
for found in range(len(data) - 4):  # every header of README-ja.txt says it is small
    if data[found:found + 4] == b"PK\x03\x04" and data[found + 30:found + 43] == b"README-ja.txt":
        struct.pack_into("<I", data, found + 22, len(readme_ja))
    if data[found:found + 4] == b"PK\x01\x02" and data[found + 46:found + 59] == b"README-ja.txt":
        struct.pack_into("<I", data, found + 24, len(readme_ja))
open(path, "wb").write(data)
release("sums-devzero", five(checksums=sums(genuine) + b"0" * 64 + b"  /dev/zero\n"))
release("sums-stdin", five(checksums=b"0" * 64 + b"  /dev/stdin\n" + sums(genuine)))
release("sums-link", five()[:4] + [(entry("SHA256SUMS", 0o120777), b"/dev/zero")])
release("lacks-license", [e for e in five() if e[0].filename != "LICENSE.txt"])
release("not-a-zip", None, data=os.urandom(4096))
release("too-big", None, data=bytes(1536 << 10))
release("readme-changed", five({"README-ja.txt": readme_ja.replace("使い方".encode(), "使い方!".encode())}))
# The buildinfo beside the genuine zip.
genuine_zip = open(os.path.join(signed, zip_name), "rb").read()
def with_buildinfo(name, text):
    release(name, None, {".buildinfo": text.encode("utf-8", "surrogateescape")}, data=genuine_zip)
def field(name, value):
    return "".join(f"{name}: {value}\n" if l.startswith(name + ":") else l + "\n" for l in buildinfo.splitlines())
with_buildinfo("buildinfo-escapes", field("Git-Commit", "\x1b[1A\x1b[2K\rok   forged\x1b]0;owned\x07\u202e"))
with_buildinfo("buildinfo-3000-lines", buildinfo.rstrip("\n") + ",\n" + " x (= 1),\n" * 2999 + " y (= 1)\n")
with_buildinfo("buildinfo-20MB-line", buildinfo + "X-Junk: " + "A" * (20 << 20) + "\n")
with_buildinfo("buildinfo-long-line", buildinfo + "X-Junk: " + "A" * 5000 + "\n")
with_buildinfo("buildinfo-dash-package", buildinfo.replace("Installed-Build-Depends:\n",
                                                           "Installed-Build-Depends:\n -rf (= 1.0),\n"))
with_buildinfo("buildinfo-bad-version", buildinfo.replace(" cmake (= ", " cmake (= $(reboot)"))
with_buildinfo("buildinfo-date-text", field("Source-Date-Epoch", "yesterday"))
with_buildinfo("buildinfo-other-date", field("Source-Date-Epoch", str(epoch + 86400)))
# A program that differs in one byte, SHA256SUMS made again, with a buildinfo
# that names its zip and lists 950 packages more, which would be the root it
# is built in.
changed = bytearray(genuine[order[0]])
changed[0x500] = 0x90
path = release("buildinfo-950-packages", five({order[0]: bytes(changed)}))
zip_bytes = open(path, "rb").read()
lines = buildinfo.rstrip("\n").splitlines()
lines = [" " + checksum_line_of(zip_bytes, zip_name) if l.endswith(" " + zip_name) else l
         for l in lines]
text = "\n".join(lines) + ",\n" + "".join(f" korvane-absent-{i} (= 1.{i}),\n" for i in range(949)) + " korvane-absent (= 1)\n"
open(os.path.join(os.path.dirname(path), stem + ".buildinfo"), "w", encoding="utf-8").write(text)
# The signature.
for name in ("impostor", "swapped", "nested", "other-attached", "digest-short", "digest-long"):
    release(name, five({order[0]: open(os.path.join(impostors, name + ".exe"), "rb").read()}))
obsolete = "<<<Obsolete>>>".encode("utf-16-be")
assert genuine[order[0]].count(obsolete) == 1
release("content-changed", five({order[0]: genuine[order[0]].replace(obsolete, obsolete[:-2] + b"\0P")}))
# A signed program changed in one byte after signing, with SHA256SUMS and
# the buildinfo made to match it: only the signature can tell.
changed = bytearray(genuine[order[0]])
changed[0x500] ^= 0xFF
path = release("changed-after-signing", five({order[0]: bytes(changed)}))
def checksum_line(data, name):
    return " " + checksum_line_of(data, name)
text = buildinfo
for old, new, name in ((genuine_zip, open(path, "rb").read(), zip_name), (genuine[order[0]], bytes(changed), order[0])):
    assert checksum_line(old, name) in text, f"the buildinfo does not name {name}"
    text = text.replace(checksum_line(old, name), checksum_line(new, name))
open(os.path.join(os.path.dirname(path), stem + ".buildinfo"), "w", encoding="utf-8").write(text)
other_sig = open(os.path.join(impostors, "other.sig"), "rb").read()
release("another-sig-beside", None, {".buildinfo": buildinfo.encode(), ".exe.sig": other_sig}, data=genuine_zip)
release("sig-beside-unsigned", None, {".exe.sig": other_sig}, data=open(os.path.join(unsigned, zip_name), "rb").read())
with_buildinfo("buildinfo-gone-version", re.sub(r"^ zip \(= [^)]*\)", " zip (= 0~not-a-version)", buildinfo, flags=re.M))
with_buildinfo("buildinfo-twice", buildinfo.replace("Installed-Build-Depends:\n", "Installed-Build-Depends:\n make (= 1.0),\n"))
# A download page, which the rebuild hands to make dist and MATCH shows.
def with_page(name, page):
    with_buildinfo(name, buildinfo.replace("Installed-Build-Depends:\n", f"Download-URL: {page}\nInstalled-Build-Depends:\n"))
with_page("page-http", "http://downloads.example.jp/")
with_page("page-long", "https://example.jp/" + "a" * 300)
with_page("page-escapes", "https://example.jp/\x1b[2J\x1b]0;owned\x07")
with_page("page-command", "https://example.jp/ $(reboot)")
with_page("page-at", "https://downloads.example.jp@evil.example/")
with_page("page-not-in-readmes", "https://downloads.example.jp/korvane/")
# A buildinfo that is a link to a secret of the one who checks.
secret = os.path.join(out, "secret")
open(secret, "w").write("token: korvane-secret-in-a-file\n")
release("buildinfo-link", None, {".buildinfo": "->" + secret}, data=genuine_zip)
release("sig-is-dev-zero", None, {".buildinfo": buildinfo.encode(), ".exe.sig": "->/dev/zero"}, data=genuine_zip)
