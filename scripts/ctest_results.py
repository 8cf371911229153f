#!/usr/bin/python3 -IB
"""CTest's results, from the JUnit XML file that the host test presets have
it write (build/PRESET/ctest-results.xml): the one reader of that file.

    ctest_results.py notes RESULTS
        The lines of the tests' output that CTest does not show and `make
        test` prints, each as "TEST LINE": why a test was skipped (its first
        line "skipped: ..."), and how many launches Wine refused and were
        tried again (its last such line, when any were).
    ctest_results.py summary RESULTS [SANITIZED]
        For `make fresh-check`, in one line: how many tests ran and failed,
        how many ran again under the sanitizers, and which were skipped and
        why; "no test results" when RESULTS is not there.

The file holds what the tests printed, so it is read as data: at most
MAX_BYTES of it, with no document type (so no entities), and whatever of it
is printed is one line, escaped for the terminal and cut short
(authenticode.visible). It fails, saying why in one line, on a file it
cannot read; `summary` says that in its line instead.
"""

import os
import re
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "release"))
from authenticode import visible  # noqa: E402  (the one way to show outside text safely)

# CTest keeps a passed test's output to the preset's 64 KiB and a failed
# one's to 300 KiB; a hundred tests stay well within this.
MAX_BYTES = 32 * 1024 * 1024
# How much of a name or a line is shown.
SHOWN = 300
SKIPPED = "skipped: "
RETRIES = re.compile(r" [1-9][0-9]* launches that Wine refused were tried again")


class Unreadable(Exception):
    pass


class Test:
    """One test's name, outcome (passed, failed or skipped) and output."""

    def __init__(self, name, outcome, output):
        self.name, self.outcome, self.output = name, outcome, output

    def lines(self):
        return [line.rstrip("\r") for line in self.output.split("\n")]

    def skip_reason(self):
        """Its first "skipped: " line, without that."""
        for line in self.lines():
            if line.startswith(SKIPPED):
                return line[len(SKIPPED):]
        return None


def outcome_of(case):
    """passed, failed or skipped, as CTest counts it: a test that did not run
    because of a skip code or a skip expression was skipped; one that could
    not run (no executable, a fixture that failed) failed."""
    status = case.get("status")
    if status == "run":
        return "passed"
    if status == "fail":
        return "failed"
    if status == "disabled":
        return "skipped"
    if status == "notrun":
        skipped = case.find("skipped")
        message = "" if skipped is None else skipped.get("message", "")
        return "skipped" if message.startswith("SKIP_") else "failed"
    raise Unreadable(f"test {visible(case.get('name', ''), SHOWN)} has the status "
                     f"{visible(status or '', SHOWN)}, which CTest does not write")


def read_results(path):
    """The tests in the results file at PATH, in its order."""
    try:
        with open(path, "rb") as file:
            data = file.read(MAX_BYTES + 1)
    except OSError as error:
        raise Unreadable(f"cannot read {visible(path, SHOWN)}: {error.strerror}") from None
    if len(data) > MAX_BYTES:
        raise Unreadable(f"{visible(path, SHOWN)} is over {MAX_BYTES // (1024 * 1024)} MiB")
    if b"<!DOCTYPE" in data or b"<!ENTITY" in data:
        raise Unreadable(f"{visible(path, SHOWN)} declares a document type, which CTest never writes")
    try:
        suite = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        raise Unreadable(f"{visible(path, SHOWN)} is not XML: {error}") from None
    if suite.tag != "testsuite":
        raise Unreadable(f"{visible(path, SHOWN)} holds <{visible(suite.tag, SHOWN)}>, not CTest's <testsuite>")
    return [Test(case.get("name", ""), outcome_of(case), case.findtext("system-out") or "")
            for case in suite.iter("testcase")]


def notes(tests):
    """The lines that `make test` prints."""
    said = []
    for test in tests:
        reason = test.skip_reason()
        if reason is not None:
            said.append(f"{visible(test.name, SHOWN)} {visible(SKIPPED + reason, SHOWN)}")
        retries = [line for line in test.lines() if RETRIES.search(line)]
        if retries:
            said.append(f"{visible(test.name, SHOWN)} {visible(retries[-1], SHOWN)}")
    return said


def summary(tests, sanitized):
    """`make fresh-check`'s account of a release's tests; SANITIZED is None
    when the sanitizers' run left no results."""
    skipped = [test for test in tests if test.outcome == "skipped"]
    failed = sum(test.outcome == "failed" for test in tests)
    line = f"{len(tests) - len(skipped)} of {len(tests)} tests ran"
    if failed:
        line += f", {failed} failed"
    if sanitized is not None:
        failed_again = sum(test.outcome == "failed" for test in sanitized)
        line += f" (and {len(sanitized)} again under the sanitizers"
        line += f", {failed_again} failed)" if failed_again else ")"
    if not skipped:
        return line + ", none skipped"
    by_reason = {}
    for test in skipped:
        by_reason.setdefault(test.skip_reason() or "no reason given", []).append(test.name)
    for reason, names in by_reason.items():
        line += f"; {' and '.join(visible(name, SHOWN) for name in names)} skipped ({visible(reason, SHOWN)})"
    return line


def summary_of(path, sanitized_path):
    if not os.path.exists(path):
        return "no test results"
    try:
        tests = read_results(path)
        sanitized = read_results(sanitized_path) if sanitized_path and os.path.exists(sanitized_path) else None
    except Unreadable as error:
        return f"test results not readable: {error}"
    return summary(tests, sanitized)


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "notes":
        try:
            for line in notes(read_results(arguments[1])):
                print(line)
        except Unreadable as error:
            print(f"ctest_results: {error}", file=sys.stderr)
            return 1
        return 0
    if len(arguments) in (2, 3) and arguments[0] == "summary":
        print(summary_of(arguments[1], arguments[2] if len(arguments) == 3 else None))
        return 0
    print("usage: ctest_results.py notes RESULTS | summary RESULTS [SANITIZED]", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
