"""The buildinfo and the lock as buildinfo.py writes and reads them: what
make dist writes reads back as it was given, and each refusal, a row named
by what it refuses."""

import re
import subprocess

import pytest

import buildinfo as B

MODULE = B.__file__
PINNED = {"cmake", "zip"}
SHA = "ab" * 32
VALUES = {"Format": "1.0", "Source": "korvane-icon-size", "Version": "1.0.0", "Git-Commit": "c0" * 20,
          "Git-Tree": "as committed", "Source-Date-Epoch": "1700000000", "Build-Architecture": "amd64",
          "Toolchain-Release": "trixie", "Checksums-Sha256": [f"{SHA} 16582 korvane-icon-size-1.0.0.zip"],
          "Unsigned-Checksums-Sha256": [f"{SHA} 15872 korvane-icon-size.exe"],
          "Signer-Subject": 'CN=Signer, O="コルヴェイン, Inc.", C=JP', "Signer-Sha256-Fingerprint": "19:1D",
          "Download-URL": "https://example.jp/a?b=c&d", "Installed-Build-Depends": ["cmake (= 3.31.6-2),", "zip (= 3.0-15)"]}
TEXT = B.buildinfo_text(VALUES, PINNED)


def test_what_is_written_reads_back_in_make_dists_order():
    info = B.read_buildinfo(TEXT.encode(), PINNED)
    assert (info.commit, info.date, info.architecture, info.release, info.download_url) == \
        ("c0" * 20, 1700000000, "amd64", "trixie", "https://example.jp/a?b=c&d")
    assert info.checksums == [(SHA, 16582, "korvane-icon-size-1.0.0.zip")]
    assert info.packages == [("cmake", "3.31.6-2"), ("zip", "3.0-15")]
    fields = B.buildinfo_fields(TEXT)
    assert list(fields) == [name for name in B.FIELDS if name in VALUES]
    assert all(fields[name] == (value if name in B.LISTS else [value]) for name, value in VALUES.items())


def cli(*arguments):
    return subprocess.run(["/usr/bin/python3", "-IB", MODULE, *arguments], capture_output=True, text=True, timeout=30)


def test_make_dists_command_writes_what_the_field_command_reads(tmp_path):
    files = {name: tmp_path / name for name in ("korvane-icon-size-2.0.zip", "program", "signature", "unsigned")}
    for index, path in enumerate(files.values()):
        path.write_bytes(b"x" * index)
    zip_path, program, signature, unsigned = files.values()
    pins = sorted(B.read_lock().pins.items())[:2]
    written = cli("write", "Source=korvane-icon-size", "Version=2.0", "Git-Commit=" + "d" * 40, "Git-Tree=as committed",
                  "Source-Date-Epoch=315532800", "Build-Architecture=amd64", "Toolchain-Release=trixie",
                  f"zip={zip_path}", f"program={program}", f"signature={signature}", f"unsigned={unsigned}",
                  "Signer-Subject=CN=-x", "Signed-With=", "Timestamp-URL=", "Download-URL=",
                  "packages=" + ",\n".join(f"{name} (= {version})" for name, version in pins))
    assert written.returncode == 0, written.stderr
    (tmp_path / "b").write_text(written.stdout)
    lines = cli("field", str(tmp_path / "b"), "Checksums-Sha256").stdout.splitlines()
    assert [line.split()[1:] for line in lines] == [["0", "korvane-icon-size-2.0.zip"], ["1", "korvane-icon-size.exe"],
                                                    ["2", "korvane-icon-size-2.0.exe.sig"]]
    assert cli("field", str(tmp_path / "b"), "Unsigned-Checksums-Sha256").stdout.split()[1:] == ["3", "korvane-icon-size.exe"]
    assert cli("field", str(tmp_path / "b"), "Installed-Build-Depends").stdout == \
        f"{pins[0][0]} (= {pins[0][1]}),\n{pins[1][0]} (= {pins[1][1]})\n"
    assert "Signed-With" not in written.stdout and "Download-URL" not in written.stdout


def edited(old, new):
    assert old in TEXT
    return TEXT.replace(old, new, 1).encode()


# What the reader refuses of a buildinfo from outside, and what it says.
REFUSED = {
    "more than 64 KiB": (TEXT.encode() + b"X: y\n" * 14000, "more than 65536 bytes"),
    "not UTF-8": (TEXT.encode() + b"X: \xff\n", "it is not UTF-8"),
    "more than 1000 lines": (TEXT.encode() + b"\n" * 1000, "more than 1000 lines"),
    "a line of 1025 characters": (TEXT.encode() + b"X: " + b"A" * 1022, "its line 19 is longer than 1024"),
    "a line that is not a field": (edited("Git-Tree:", "Git Tree:"), "its line 5 is not a field"),
    "a field given twice": (TEXT.encode() + b"Version: 2\n", "it gives Version twice"),
    "a commit that is a branch": (edited("c0" * 20, "main"), r'its Git-Commit \("main"\) is not a commit'),
    "no commit": (edited("Git-Commit: " + "c0" * 20 + "\n", ""), r'its Git-Commit \(""\) is not a commit'),
    "a date in words": (edited("1700000000", "yesterday"), r'Source-Date-Epoch \("yesterday"\) is not a number'),
    "a date of eleven digits": (edited("1700000000", "17000000000"), "is not a number of seconds"),
    "a date before zips have dates": (edited("1700000000", "315532799"), "is not a date a zip can hold"),
    "a date after zips have dates": (edited("1700000000", "4354819200"), "is not a date a zip can hold"),
    "a checksum without a size": (edited(f"{SHA} 16582", SHA), "not SHA-256 SIZE NAME"),
    "a checksum of a name with a slash": (edited("16582 korvane", "16582 ../korvane"), "not SHA-256 SIZE NAME"),
    "an architecture with a space": (edited("amd64", "amd 64"), r'Build-Architecture \("amd 64"\) is not an arch'),
    "no architecture": (edited("Build-Architecture: amd64\n", ""), r"Build-Architecture \(none\) is not"),
    "a release in capitals": (edited("Toolchain-Release: trixie", "Toolchain-Release: Trixie"), "not a Debian release"),
    "a package line without (= )": (edited("cmake (= 3.31.6-2),", "cmake 3.31.6-2,"), "not NAME \\(= VERSION\\)"),
    "a package list with a trailing comma": (edited("zip (= 3.0-15)", "zip (= 3.0-15),"), "not NAME \\(= VERSION\\)"),
    "a package named -rf": (edited("cmake (", "-rf ("), r'names "-rf", which is not a Debian package name'),
    "a version that is a command": (edited("3.31.6-2", "$(reboot)"), r'gives cmake "\$\(reboot\)", which is not'),
    "a version of 129 characters": (edited("3.31.6-2", "3" * 129), "which is not a Debian version"),
    "a package the lock does not pin": (edited("zip (", "make ("), "names make, which toolchain.lock does not pin"),
    "a package twice": (edited("zip (", "cmake ("), "names cmake twice"),
    "a download page over http": (edited("https://", "http://"), "Download-URL .* is not an https URL"),
    "a download page behind an @": (edited("example.jp", "a@example.jp"), "is not an https URL"),
    "a download page with an @ in its path": (edited("/a?", "/@a?"), "is not an https URL"),
    "a download page of 201 characters": (edited("?b=c&d", "a" * 190), "is not an https URL of at most 200"),
}


@pytest.mark.parametrize("data, said", REFUSED.values(), ids=REFUSED.keys())
def test_refused(data, said):
    with pytest.raises(B.Unreadable, match=said):
        B.read_buildinfo(data, PINNED)


@pytest.mark.parametrize("old, new, release", [("Toolchain-Release: trixie", "Build-Release: Debian 12 (bookworm)", "bookworm"),
                                                ("Toolchain-Release: trixie", "Build-Release: Debian", ""),
                                                ("Toolchain-Release: trixie\n", "", "")])
def test_the_release_of_a_buildinfo_from_before_the_toolchain_root(old, new, release):
    assert B.read_buildinfo(edited(old, new), PINNED).release == release


# What the writer refuses to write, and what make dist's command refuses.
@pytest.mark.parametrize("field, value, said", [
    ("Signer-Subject", "CN=x\nGit-Commit: " + "0" * 40, "would hold a line break"),
    ("Timestamp-URL", "http://x/\x1b[2J", "would hold a line break or a control character"),
    ("Git-Commit", "main", "verify-release would refuse it: its Git-Commit"),
    ("Signer", "x", "no buildinfo field is named Signer")])
def test_not_written(field, value, said):
    with pytest.raises(ValueError, match=said):
        B.buildinfo_text(dict(VALUES, **{field: value}), PINNED)


@pytest.mark.parametrize("arguments, said", [
    (["Version=1", "Version=2"], "given twice"), (["Version"], "not FIELD=VALUE"),
    (["Unsigned-Checksums-Sha256=x"], "a field made here"),
    (["packages=korvane-absent (= 1)"], "toolchain's packages: .* korvane-absent, which toolchain.lock does not pin")])
def test_not_written_by_the_command(arguments, said):
    written = cli("write", *arguments)
    assert (written.returncode, written.stdout) == (1, "") and re.search(said, written.stderr), written.stderr


def lock(tmp_path, text):
    (tmp_path / "lock").write_bytes(text)
    return str(tmp_path / "lock")


def test_the_lock_is_read_as_toolchain_sh_used_it(tmp_path):
    read = B.read_lock(lock(tmp_path, b"Debian: trixie\nzip=3.0-15\ncmake=3.31.6-2"))
    assert (read.release, read.pins, read.text()) == ("trixie", {"zip": "3.0-15", "cmake": "3.31.6-2"},
                                                      "Debian: trixie\ncmake=3.31.6-2\nzip=3.0-15")
    assert B.read_lock(lock(tmp_path, b"Debian: trixie\nzip=\n"), any_version=True).pins == {"zip": ""}


@pytest.mark.parametrize("text, said", [
    (None, "no lock at "), (b"Debian: trixie\nzip=\n", "not a PACKAGE=VERSION line: zip="),
    (b"Debian: trixie\nzip=1\n\n", "not a PACKAGE=VERSION line: ''$"),
    (b"Debian: trixie\nzip=1\r\n", r"not a PACKAGE=VERSION line: \$'zip=1\\r'$"),
    (b"Debian: trixie\nzip=1 2\n", r"not a PACKAGE=VERSION line: zip=1\\ 2$"),
    (b"Debian: trixie\nzip=1\x1b[2J\n", r"not a PACKAGE=VERSION line: \$'zip=1\\E\[2J'$"),
    (b"debian: trixie\nzip=1\n", "its first line must name the release"),
    (b"Debian: trixie 13\nzip=1\n", "its first line must name the release"),
    (b"Debian: trixie\n", "pins no package"), (b"Debian: trixie\nzip=1\nbb=1\nzip=2\nbb=2\n", "pins bb twice")])
def test_a_lock_refused(tmp_path, text, said):
    with pytest.raises(B.BadLock, match=said):
        B.read_lock(lock(tmp_path, text) if text else str(tmp_path / "absent"))


@pytest.mark.parametrize("line", ["a b", "~a#b,c", "a\\b'\"$`!*?[]{}()<>|&;^", "", "é\x01\r\t\x7f\x1b", "a\udcffb"])
def test_lines_are_quoted_as_bash_quotes_them(line):
    data = line.encode("utf-8", "surrogateescape")
    bash = subprocess.run(["bash", "-c", 'printf %q "$(cat)"'], input=data, capture_output=True, timeout=10,
                          env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})
    assert B.quoted(line) == bash.stdout.decode("utf-8", "surrogateescape")
