"""release/signing-variables, the one list of what make dist signs with,
which the scripts and tests clear and docs/releasing.md explains: a
variable spelled anywhere else and missing from it would reach make dist
from the caller's shell in every test that clears the list."""

import os
import re
import subprocess

TOP = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..")


def listed():
    with open(os.path.join(TOP, "release", "signing-variables"), encoding="ascii") as file:
        return file.read().splitlines()


def test_every_variable_spelled_anywhere_is_in_the_list_and_explained():
    files = subprocess.run(["git", "-C", TOP, "ls-files", "-z"], capture_output=True, check=True,
                           timeout=30).stdout.decode().split("\0")
    spelled = set()
    for name in filter(None, files):
        path = os.path.join(TOP, name)
        if os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as file:
                spelled |= set(re.findall(r"\bSIGN_[A-Z0-9_]+", file.read()))
    with open(os.path.join(TOP, "docs", "releasing.md"), encoding="utf-8") as file:
        explained = set(re.findall(r"\b([A-Z][A-Z0-9_]*)=", file.read()))
    assert sorted(spelled - set(listed())) == [], "spelled out, and not in release/signing-variables"
    assert sorted(set(listed()) - explained) == [], "in the list, and not in docs/releasing.md as NAME="
    assert len(listed()) == len(set(listed())) and all(re.fullmatch(r"[A-Z][A-Z0-9_]*", name) for name in listed())
