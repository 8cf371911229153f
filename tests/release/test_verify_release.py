"""The verifier's own checks, in-process, in tables: SHA256SUMS as
`sha256sum -c` reads it, the zip's entries that a release may not hold, and
a signed program changed after signing, which must stop the check before
any other program runs."""

import hashlib
import re
import subprocess
import zipfile

import pytest

import authenticode as A
import factory as F
import release_zip as Z
import verify_release as V

SUMMED = ["korvane-icon-size.exe", "README-ja.txt", "README-en.txt", "LICENSE.txt"]
FILES = {name: name.encode() * 3 for name in SUMMED}


def sums(ends="\n", files=FILES):
    return "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}{ends}" for name in SUMMED).encode()


CHECKSUMS = {  # SHA256SUMS, what checksums_problem says (a pattern), or None
    "as-make-dist-writes-it": (sums(), None),
    "no-line-feed-at-the-end": (sums().rstrip(b"\n"), None),
    "binary-mode-marks": (sums().replace(b"  ", b" *"), None),
    "a-vertical-tab-between-lines": (sums("\v"), r"it lists korvane-icon-size\.exe\\x0b[0-9a-f]{64}"),
    "a-form-feed-between-lines": (sums("\f"), r"it lists korvane-icon-size\.exe\\x0c"),
    "a-file-separator-between-lines": (sums("\x1c"), r"it lists korvane-icon-size\.exe\\x1c"),
    "a-next-line-between-lines": (sums("\x85"), r"it lists korvane-icon-size\.exe\\x85"),
    "a-line-separator-between-lines": (sums("\u2028"), r"it lists korvane-icon-size\.exe\\u2028"),
    "carriage-returns-alone": (sums("\r"), r"it lists korvane-icon-size\.exe\\x0d"),
    "an-empty-line": (sums() + b"\n", "a line that is not a checksum: $"),
    "a-name-twice": (sums() + sums()[:100], "lists korvane-icon-size.exe twice"),
    "a-file-left-out": (sums()[sums().index(b"\n") + 1:], "does not list korvane-icon-size.exe"),
    "another-digest": (sums(files=dict(FILES, **{"LICENSE.txt": b"x"})), "another SHA-256 for LICENSE.txt"),
}


@pytest.mark.parametrize("checksums, problem", [pytest.param(*row, id=name) for name, row in CHECKSUMS.items()])
def test_checksums(checksums, problem):
    found = Z.checksums_problem(dict(FILES, SHA256SUMS=checksums))
    assert found is None if problem is None else re.search(problem, found or ""), found


def entry(name, mode=0o100644, system=3, **fields):
    info = zipfile.ZipInfo(name)
    info.create_system, info.external_attr = system, mode << 16
    for field, value in fields.items():
        setattr(info, field, value)
    return info


ENTRIES = {  # an entry after README-ja.txt, what entry_problem says of it (a pattern), or None
    "a-regular-file": (entry("LICENSE.txt"), None),
    "a-file-from-windows": (entry("LICENSE.txt", system=0, external_attr=0x20), None),
    "a-file-at-its-bound": (entry("LICENSE.txt", file_size=16384), None),
    "an-extra-entry": (entry(".hidden"), r"^it holds an extra entry, \.hidden$"),
    "a-directory-by-its-name-alone": (entry("docs/", system=0), "^it holds a directory, docs/,"),
    "a-directory-by-its-mode-alone": (entry("docs", 0o040755), "^it holds a directory, docs,"),
    "a-name-that-climbs-out": (entry("../LICENSE.txt"), "which is not at its top level$"),
    "a-name-with-a-backslash": (entry("docs\\LICENSE.txt"), "which is not at its top level$"),
    "a-name-twice": (entry("README-ja.txt"), "^it holds README-ja.txt twice$"),
    "a-link": (entry("LICENSE.txt", 0o120777), "is a link, not a file$"),
    "a-fifo": (entry("LICENSE.txt", 0o010644), "is not a regular file$"),
    "a-directory-from-windows": (entry("LICENSE.txt", system=0, external_attr=0x10), "is not a regular file$"),
    "encrypted": (entry("LICENSE.txt", flag_bits=0x1), "is encrypted$"),
    "compressed-with-bzip2": (entry("LICENSE.txt", compress_type=zipfile.ZIP_BZIP2), "a way make dist does not use$"),
    "a-byte-over-its-bound": (entry("LICENSE.txt", file_size=16385), r"16385 bytes, .* \(at most 16384\)$"),
}


@pytest.mark.parametrize("info, problem", [pytest.param(*row, id=name) for name, row in ENTRIES.items()])
def test_entries(info, problem):
    found = Z.entry_problem(info, {"README-ja.txt"})
    assert found is None if problem is None else re.search(problem, found or ""), found


def released(tmp_path, program, readmes):
    """A zip of PROGRAM with SHA256SUMS and a buildinfo that name it as it is."""
    files = {"korvane-icon-size.exe": program, **readmes}
    files["SHA256SUMS"] = sums(files=files)
    path = tmp_path / "korvane-icon-size-1.0.0.zip"
    with zipfile.ZipFile(path, "w") as archive:
        for name, content in files.items():
            archive.writestr(name, content)
    data = path.read_bytes()
    (tmp_path / "korvane-icon-size-1.0.0.buildinfo").write_text(
        f"Format: 1.0\nGit-Commit: {'0' * 40}\nSource-Date-Epoch: 1700000000\nBuild-Architecture: amd64\n"
        f"Checksums-Sha256:\n {hashlib.sha256(data).hexdigest()} {len(data)} {path.name}\n"
        f" {hashlib.sha256(program).hexdigest()} {len(program)} korvane-icon-size.exe\n")
    return str(path), data


def no_program_runs(*arguments, **options):
    raise AssertionError(f"a program was started: {arguments[0]}")


@pytest.mark.parametrize("key, name, digits", [("p384", "sha384", 96), ("p256", "sha256", 64), ("rsa", "sha1", 40),
                                               ("rsa", "sha512", 128)], ids=lambda value: str(value))
def test_program_changed_after_signing(keys, program, program_path, tmp_path, capsys, monkeypatch, key, name, digits):
    """One byte of a signed program changed, SHA256SUMS and the buildinfo made
    to match: NO MATCH, naming the signature's own digest, and nothing run."""
    changed = bytearray(F.authenticode(program, getattr(keys, key), name))
    changed[0x500] ^= 0xFF
    zip_path, data = released(tmp_path, bytes(changed), {n: FILES[n] for n in SUMMED[1:]})
    (tmp_path / "work").mkdir()
    monkeypatch.setattr(subprocess, "Popen", no_program_runs)
    report = V.Report()
    with pytest.raises(V.Stop):
        V.verify(zip_path, data, V.Source("1.0.0", program_path, V.ROOT), str(tmp_path / "work"), report)
    said = capsys.readouterr().out.splitlines()
    assert "ok   the buildinfo beside the zip names it by its SHA-256 and size" in said
    assert "ok   SHA256SUMS in the zip matches its files" in said
    label = A.DIGEST_NAMES[F.DIGEST_OIDS[name]]
    assert re.fullmatch(f"the signature's digest matches the program: the signature signs Authenticode {label} "
                        f"[0-9A-F]{{{digits}}}; the program's is [0-9A-F]{{{digits}}}", report.first_failure), \
        report.first_failure
    assert said[-1].startswith("FAIL the signature's digest matches the program: ")
