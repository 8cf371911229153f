"""The verifier's own checks, in-process, in tables: SHA256SUMS as
`sha256sum -c` reads it."""

import hashlib
import re

import pytest

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
    found = V.checksums_problem(dict(FILES, SHA256SUMS=checksums))
    assert found is None if problem is None else re.search(problem, found or ""), found
