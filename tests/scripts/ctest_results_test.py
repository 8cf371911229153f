"""scripts/ctest_results.py: what `make test` prints from CTest's results,
read from the file a real CTest writes with the host test preset's output
settings, and files that no CTest wrote. (Its summary for `make
fresh-check` is fresh-check-test.sh's.)"""

import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import ctest_results  # noqa: E402

# Tests as the project's print: a long passed output whose count of refused
# launches is its last line (and a count before), a skip with its reason,
# and what no test here should print but one might.
PROJECT = r"""cmake_minimum_required(VERSION 3.25)
project(results NONE)
enable_testing()
add_test(NAME e2e.x64 COMMAND sh -c "echo 'x64: 1 launches that Wine refused were tried again'; seq 1 20000; \\
    echo 'x64: 2 launches that Wine refused were tried again'")
add_test(NAME e2e.win32 COMMAND sh -c "echo 'skipped: no 32-bit Wine'; echo 'skipped: a second reason'; exit 77")
set_tests_properties(e2e.win32 PROPERTIES SKIP_RETURN_CODE 77)
add_test(NAME e2e.none COMMAND sh -c "echo 'x64: 0 launches that Wine refused were tried again'")
add_test(NAME hostile COMMAND sh -c "printf 'skipped: \\033]0;title\\007 \\342\\200\\256txt.exe &lt;b&gt; <!DOCTYPE\\n'; exit 1")
add_test(NAME missing COMMAND /nonexistent/program)
"""


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """The results file of a CTest run of PROJECT, with the host preset's
    output settings."""
    work = tmp_path_factory.mktemp("ctest")
    with open(os.path.join(ROOT, "CMakePresets.json"), encoding="utf-8") as file:
        host = next(preset for preset in json.load(file)["testPresets"] if preset["name"] == "host")
    presets = {"version": 6, "configurePresets": [{"name": "p", "binaryDir": "${sourceDir}/build"}],
               "testPresets": [{"name": "p", "configurePreset": "p", "output": host["output"]}]}
    (work / "CMakePresets.json").write_text(json.dumps(presets))
    (work / "CMakeLists.txt").write_text(PROJECT)
    for command in (["cmake", "--preset", "p"], ["ctest", "--preset", "p"]):
        subprocess.run(command, cwd=work, capture_output=True, timeout=60)
    return str(work / "build" / host["output"]["outputJUnitFile"])


def test_outcomes_as_ctest_counts_them(results):
    outcomes = {test.name: test.outcome for test in ctest_results.read_results(results)}
    assert outcomes == {"e2e.x64": "passed", "e2e.win32": "skipped", "e2e.none": "passed",
                        "hostile": "failed", "missing": "failed"}


def test_notes_give_a_skip_reason_and_the_last_line_of_a_long_output(results):
    notes = ctest_results.notes(ctest_results.read_results(results))
    assert notes[:2] == ["e2e.x64 x64: 2 launches that Wine refused were tried again",
                         "e2e.win32 skipped: no 32-bit Wine"]


def test_notes_show_what_a_test_printed_escaped(results):
    notes = ctest_results.notes(ctest_results.read_results(results))
    assert notes[2:] == ["hostile skipped: [NON-XML-CHAR-0x1B]]0;title[NON-XML-CHAR-0x7] \\u202etxt.exe "
                         "&lt;b&gt; <!DOCTYPE"]


def write(tmp_path, text):
    path = tmp_path / "results.xml"
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(path)


def case(name="unit.a", status="run", output=""):
    return f'<testcase name="{name}" status="{status}"><system-out>{output}</system-out></testcase>'


def suite(*cases):
    return '<?xml version="1.0" encoding="UTF-8"?>\n<testsuite name="x">' + "".join(cases) + "</testsuite>"


LAUGHS = ('<?xml version="1.0"?><!DOCTYPE t [<!ENTITY a "aaaaaaaaaa">'
          + "".join(f'<!ENTITY {chr(98 + i)} "{("&" + chr(97 + i) + ";") * 10}">' for i in range(8))
          + ']><testsuite><testcase name="&i;" status="run"/></testsuite>')


@pytest.mark.parametrize("text, said", [
    (LAUGHS, "declares a document type"),
    ("skipped: all of them", "is not XML: syntax error: line 1, column 0"),
    (suite(case()).replace("testsuite", "testsuites"), "holds <testsuites>, not CTest's <testsuite>"),
    (suite(case(name="a\x9b2Jb", status="ok\u202e")), "test a\\x9b2Jb has the status ok\\u202e,"),
    (b'<testsuite><testcase name="\xff" status="run"/></testsuite>', "is not XML: not well-formed"),
], ids=["entities", "not XML", "another root", "a status CTest does not write", "not UTF-8"])
def test_a_file_no_ctest_wrote_is_refused_in_one_line(tmp_path, text, said):
    with pytest.raises(ctest_results.Unreadable) as refused:
        ctest_results.read_results(write(tmp_path, text))
    assert said in str(refused.value) and "\n" not in str(refused.value)


def test_a_file_over_its_bound_is_not_read(tmp_path, monkeypatch):
    monkeypatch.setattr(ctest_results, "MAX_BYTES", 1000)
    path = write(tmp_path, suite(*[case(name=f"unit.{n}") for n in range(40)]))
    with pytest.raises(ctest_results.Unreadable, match="is over 0 MiB"):
        ctest_results.read_results(path)


def test_a_long_line_is_cut_short(tmp_path):
    path = write(tmp_path, suite(case(output="skipped: " + "x" * 100000)))
    [note] = ctest_results.notes(ctest_results.read_results(path))
    assert len(note) < 400 and note.endswith("…")


@pytest.mark.parametrize("arguments, status, said", [
    (["notes", "/nonexistent/results.xml"], 1, "ctest_results: cannot read /nonexistent/results.xml: "
     "No such file or directory\n"),
    (["summary", "/nonexistent/results.xml"], 0, "no test results\n"),
    (["notes"], 2, "usage: "),
], ids=["notes of no results", "a summary of none", "usage"])
def test_the_command_line(capsys, arguments, status, said):
    assert ctest_results.main(arguments) == status
    out, err = capsys.readouterr()
    assert (out + err).startswith(said)
