#!/usr/bin/python3 -IB
"""`make verify-release ZIP=FILE`: whether a published zip holds this
source's build of the program.

The zip, its name, the buildinfo and the .exe.sig beside it come from
anywhere, so they are read as data: the zip's entry list first, and then
only the five files a release holds, by name, each within its bound;
nothing from them is run, followed or handed to a program as an option, and
everything printed that came from them is made safe for the terminal first
(see outside.visible). The temporary directory holds at most a few
hundred KiB and goes on every exit and on every signal.

It checks, one line each: that the buildinfo names the zip, that SHA256SUMS
matches the files, who signed the program and that the signature holds,
that the .exe.sig is the program's own signature, that the program without
its signature is the one built here, and that the whole zip is the one
`make dist` makes here with that signature. Both are made in the toolchain
root of this checkout's toolchain.lock, whatever the buildinfo names: a
download does not choose which tools read it. When the buildinfo names
another toolchain (its Debian release and package versions; it may name
only packages the lock pins), a line says what differs; when the root
cannot be had with exactly the lock's versions, it says so and cannot
check. The zip is read by release_zip.py, the buildinfo by buildinfo.py.
The signature meets no program outside this one before it holds and its
digest is the one of the program built here: one that does not stops the
check before the rebuild.
The last line is the verdict: MATCH (exit 0), NO MATCH with the first check
that failed (exit 1). When it cannot check at all (usage, a missing file or
tool) it says why on stderr and exits 2.
    verify_release.py VERSION BUILT_EXE ZIP   (VERSION and BUILT_EXE: this source's)
"""

import dataclasses
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import authenticode  # noqa: E402  (found beside this file)
import release_zip  # noqa: E402
from authenticode import TooLarge, Unreadable, visible  # noqa: E402
from buildinfo import MAX_BUILDINFO_BYTES, BadLock, read_buildinfo, read_lock  # noqa: E402
from outside import shown  # noqa: E402
from release_zip import NAME, PROGRAM  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
# The detached signature, PEM: about 3.3 KiB, 8 KiB with a timestamp.
MAX_DETACHED_BYTES = 2 * authenticode.MAX_SIGNATURE_BYTES
# How many lines of differences are listed.
SHOWN_LINES = 20
# Seconds a tool may take; the rebuild is make dist's own work, and making
# a toolchain root downloads and unpacks a few hundred MB.
TOOL_SECONDS = 10
REBUILD_SECONDS = 300
TOOLCHAIN_SECONDS = 1800
NEEDED_TOOLS = ["dpkg", "bwrap"]
TOOLCHAIN = os.path.join(ROOT, "scripts", "toolchain.sh")
# The signals that end the check early; the temporary directory goes first.
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)


class CannotCheck(Exception):
    """Nothing can be checked (exit 2); the message says why."""


class Stop(Exception):
    """A check failed that the rest depend on: straight to the verdict."""


class Interrupted(BaseException):
    def __init__(self, number):
        super().__init__(number)
        self.number = number


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def terminal_line(text):
    """TEXT with anything that could still steer a terminal made visible:
    the last guard, for every line printed."""
    return "".join(visible(c) if c != "\\" and visible(c) != c else c for c in text[:4000])


class Report:
    """The lines of the check, and the first failure, which the verdict names."""

    def __init__(self):
        self.first_failure = None

    @staticmethod
    def line(text):
        print(terminal_line(text), flush=True)

    def passed(self, what):
        self.line("ok   " + what)

    def failed(self, what, *details):
        self.line("FAIL " + what + (": " + details[0] if details else ""))
        for detail in details[1:SHOWN_LINES + 1]:
            self.line("  " + detail)
        if len(details) > SHOWN_LINES + 1:
            self.line(f"  and {len(details) - SHOWN_LINES - 1} more")
        if self.first_failure is None:
            self.first_failure = what + (": " + details[0] if details else "")

    def note(self, text):
        self.line("     " + text)

    def stop(self, what, *details):
        self.failed(what, *details)
        raise Stop()


# --- Files from outside ---------------------------------------------------

def read_beside(path, limit, what):
    """The bytes of a file beside the zip, or None when there is none. It may
    not be a link: whoever made the download chose what it points to, and
    what it holds may be printed."""
    if not os.path.lexists(path):
        return None
    return authenticode.read_bounded(path, limit, what, follow=False)


@dataclasses.dataclass
class Source:
    """What this source builds: its version, the program built here, and where it is."""
    version: str
    built: str
    root: str
    commit: str = ""


def run_tool(arguments, seconds=TOOL_SECONDS, **options):
    """A tool, in a process group of its own that goes whole when the time
    is up or this script is stopped; what it printed, and its status."""
    process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True, **options)
    try:
        output, _ = process.communicate(timeout=seconds)
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise
    return output.decode("utf-8", "surrogateescape"), process.returncode


# --- The zip (read by release_zip.py) -------------------------------------

def check_zip(data, report):
    """The five files of the zip, by name; anything else in it stops the
    check, with the one line that says why."""
    what = "the zip holds the five files of a release, and nothing else"
    try:
        files = release_zip.read_zip(data)
    except Unreadable as problem:
        report.stop(what, str(problem))
    report.passed(what)
    return files


# --- The buildinfo (read by buildinfo.py) ---------------------------------

def check_buildinfo(path, zip_data, report):
    """The buildinfo beside the zip, or None when there is none. One that
    cannot be read stops the check: the rebuild takes its date from it."""
    what = "the buildinfo beside the zip can be read"
    try:
        data = read_beside(path, MAX_BUILDINFO_BYTES, "the buildinfo")
        if data is None:
            report.note(f"no buildinfo beside the zip ({shown(os.path.basename(path))}): "
                        "how the release was built is not known here")
            return None
        buildinfo = read_buildinfo(data, this_lock().pins)
    except Unreadable as problem:
        report.stop(what, str(problem))
    what = "the buildinfo beside the zip names it by its SHA-256 and size"
    if any(digest == sha256(zip_data) and size == len(zip_data) and name.endswith(".zip")
           for digest, size, name in buildinfo.checksums):
        report.passed(what)
    else:
        report.failed(what, "it names another zip")
    return buildinfo


# --- This machine ---------------------------------------------------------

def here_commit(source):
    """The commit checked out here, once asked."""
    if not source.commit:
        said, status = run_tool(["git", "-C", source.root, "rev-parse", "HEAD"]) if shutil.which("git") else ("", 1)
        if status != 0:
            source.commit = "no git checkout"
        else:
            changes, _ = run_tool(["git", "-C", source.root, "status", "--porcelain", "--untracked-files=no"])
            source.commit = said.strip() + (" with uncommitted changes" if changes.strip() else "")
    return source.commit


def package_differences(packages, locked):
    """What differs between PACKAGES, (Debian package name, version) pairs
    already checked for their form, and the pins of the lock the program was
    built with here, LOCKED."""
    return [f"{package} {version} (release) vs {locked.get(package, 'not pinned')} (here)"
            for package, version in packages if locked.get(package) != version]


def here_differences(buildinfo, source):
    """What differs between the buildinfo and how the program was built here:
    the commit, the architecture, the toolchain."""
    differences = []
    commit = here_commit(source)
    if buildinfo.commit != commit:
        differences.append(f"commit {buildinfo.commit} (release) vs {commit} (here)")
    architecture, _ = run_tool(["dpkg", "--print-architecture"])
    if buildinfo.architecture != architecture.strip():
        differences.append(f"build architecture {buildinfo.architecture} (release) vs {architecture.strip()} (here)")
    if not buildinfo.release:
        differences.append("the buildinfo names no toolchain release")
    return differences + toolchain_differences(buildinfo)


# --- The rebuild ----------------------------------------------------------

@dataclasses.dataclass
class Rebuilt:
    zip: str  # the zip make dist makes here with the signature, or "" when it could not
    failure: str  # why make dist could not, or ""


def this_lock():
    """This checkout's toolchain.lock, as toolchain.sh reads it; one that
    cannot be read leaves nothing to compare with."""
    try:
        return read_lock(os.path.join(ROOT, "toolchain.lock"))
    except BadLock as problem:
        raise CannotCheck(str(problem)) from None


def toolchain_differences(buildinfo):
    """What differs between the toolchain the buildinfo names and this
    checkout's toolchain.lock, one line each; none when it names none."""
    if not buildinfo.release:
        return []
    lock = this_lock()
    differences = [] if buildinfo.release == lock.release else \
        [f"toolchain Debian {buildinfo.release} (release) vs {lock.release} (here)"]
    return differences + package_differences(buildinfo.packages, lock.pins)


def rebuild(source, signature_pem, buildinfo, work):
    """The zip that `make dist` makes here of the program built here with
    SIGNATURE_PEM attached (None: unsigned), dated as the buildinfo says
    (none: as make dist dates it here). Both come from this checkout's
    toolchain root, whatever the buildinfo names: a download does not choose
    which tools read it. The root must hold the lock's versions exactly, or
    nothing here can say whether the zip is this source's build."""
    environment = {key: value for key, value in os.environ.items()
                   if not key.startswith(("SIGN_", "ZIP", "UNZIP", "SOURCE_DATE_EPOCH", "SIGNATURE", "KORVANE_"))}
    environment["KORVANE_EXACT_TOOLCHAIN"] = "1"
    what = "the toolchain root of toolchain.lock"
    try:
        said, status = run_tool([TOOLCHAIN, "ensure"], TOOLCHAIN_SECONDS, env=environment, cwd=ROOT)
    except subprocess.TimeoutExpired:
        raise CannotCheck(f"{what} was not ready within {TOOLCHAIN_SECONDS} s") from None
    if status != 0:
        raise CannotCheck(f"{what} could not be had: " + shown((said.strip().splitlines() or [""])[-1], 600))
    out, scratch = os.path.join(work, "again"), os.path.join(work, "tmp")
    os.mkdir(scratch)
    environment.update(SIGNATURE=signature_pem or "", TMPDIR=scratch)
    if buildinfo is not None:
        environment["SOURCE_DATE_EPOCH"] = str(buildinfo.date)
        environment["KORVANE_DOWNLOAD_URL"] = buildinfo.download_url
    try:
        said, status = run_tool([os.path.join(source.root, "release", "dist.sh"), source.version, source.built, out],
                                REBUILD_SECONDS, env=environment)
    except subprocess.TimeoutExpired:
        return Rebuilt("", f"make dist did not finish within {REBUILD_SECONDS} s")
    if status != 0:
        last = said.strip().splitlines()[-1:] or ["(it said nothing)"]
        return Rebuilt("", "make dist could not: " + shown(last[0], 300))
    return Rebuilt(os.path.join(out, f"{NAME}-{source.version}.zip"), "")


# --- Comparisons ----------------------------------------------------------

def check_signature(files, detached_path, work, report):
    """What the signature says, and the program without it; None for facts
    when the program is not signed."""
    try:
        program = authenticode.read_program(files[PROGRAM])
    except Unreadable as problem:
        report.stop("the program can be read", str(problem))
    try:
        facts = authenticode.signature_facts(program, work)
    except Unreadable as problem:
        report.stop("the program's signature holds", str(problem))
    try:
        detached = read_beside(detached_path, MAX_DETACHED_BYTES, "the .exe.sig beside the zip")
    except Unreadable as problem:
        report.stop("the .exe.sig beside the zip is the program's signature", str(problem))
    if facts is None:
        report.note("the program is not signed")
        if detached is not None:
            report.failed("the program carries the signature beside the zip",
                          f"{shown(os.path.basename(detached_path))} is there, but the program is not signed")
        return None, program
    report.note(f"signed with the certificate whose SHA-256 fingerprint is {facts.fingerprint}, "
                f"by {shown(facts.subject, 300)}")
    if facts.timestamp:
        report.note(f"timestamped {facts.timestamp} with the certificate whose SHA-256 fingerprint is "
                    f"{facts.timestamp_authority}: if Windows trusts that timestamp authority, the signature "
                    "outlives its own certificate")
    else:
        problem = f" (the timestamp it carries does not hold: {facts.timestamp_problem})" \
            if facts.timestamp_problem else ""
        report.note(f"not timestamped{problem}: the signature holds only while its certificate is valid")
    report.passed("the signature verifies with the public key of the certificate it names")
    # A signature that signs another program goes no further: the rebuild
    # would hand it to osslsigncode.
    if facts.signed_digest == facts.program_digest:
        report.passed("the signature's digest matches the program")
    else:
        report.stop("the signature's digest matches the program",
                    f"the signature signs Authenticode {facts.digest_name} {facts.signed_digest}; "
                    f"the program's is {facts.program_digest}")
    if detached is not None:
        what = "the .exe.sig beside the zip is the program's signature"
        if authenticode.pem_content(detached) == program.signature:
            report.passed(what)
        else:
            report.failed(what, f"{shown(os.path.basename(detached_path))} is another signature")
    return facts, program


def verify(zip_path, zip_data, source, work, report):
    """Every check, in order; the text of the MATCH line."""
    stem = zip_path[:-4] if zip_path.endswith(".zip") else zip_path
    report.line(f"{shown(zip_path, 200)}: {len(zip_data)} bytes, SHA-256 {sha256(zip_data)}")
    files = check_zip(zip_data, report)
    release_zip.unpack(files, os.path.join(work, "unpacked"))
    buildinfo = check_buildinfo(stem + ".buildinfo", zip_data, report)
    if buildinfo is not None and toolchain_differences(buildinfo):
        report.note("the buildinfo names another toolchain than this checkout's toolchain.lock, which builds "
                    "here (its Git-Commit holds its own): " + toolchain_differences(buildinfo)[0])
    problem = release_zip.checksums_problem(files)
    if problem:
        report.stop("SHA256SUMS in the zip matches its files", problem)
    report.passed("SHA256SUMS in the zip matches its files")
    os.mkdir(os.path.join(work, "signature"))
    facts, program = check_signature(files, stem + ".exe.sig", os.path.join(work, "signature"), report)
    signature_pem, unsigned = None, program.data
    if facts is not None:
        signature_pem, unsigned = os.path.join(work, "signature.pem"), authenticode.without_signature(program)
        with open(signature_pem, "x", encoding="ascii") as out:
            out.write(authenticode.pem("PKCS7", program.signature))
    with open(source.built, "rb") as file:
        built = file.read()
    commit = here_commit(source)
    if unsigned == built:
        report.passed(f"without its signature, the program is byte for byte the one built here from {commit}")
        # Only now does the signature, whose digest is the zip's program's
        # and so this one's, reach a tool outside this process.
        note_sandbox(report)
        check_whole_zip(zip_data, rebuild(source, signature_pem, buildinfo, work), buildinfo, report)
    else:
        differences = (here_differences(buildinfo, source) if buildinfo
                       else ["no buildinfo that can be read says how the release was built"])
        report.failed("without its signature, the program is byte for byte the one built here",
                      f"SHA-256 {sha256(unsigned)} (release) vs {sha256(built)} (here)",
                      *(differences or ["the program was built here from the buildinfo's commit, with its "
                                        "toolchain, so it is not what they build"]))
    # What decides comes first, in a fixed form; the names that someone else
    # chose (the zip's, the signer's, the download page's) come after it.
    name = shown(os.path.basename(zip_path))
    build = f"the program in {name} is this source's build of version {source.version} (commit {commit})"
    page = (f"; the buildinfo names its download page {shown(buildinfo.download_url, 300)}"
            if buildinfo is not None and buildinfo.download_url else "")
    if facts is None:
        return f"unsigned; {build}{page}"
    when = (f"timestamped {facts.timestamp} with certificate SHA-256 {facts.timestamp_authority}"
            if facts.timestamp else "not timestamped")
    return f"signed with certificate SHA-256 {facts.fingerprint}; {when}; {build}, signed by {shown(facts.subject, 300)}{page}"


def note_sandbox(report):
    """A note when the rebuild's tools run without a sandbox of their own."""
    way, _ = run_tool([TOOLCHAIN, "sandbox"], cwd=ROOT)
    if not way.startswith("bubblewrap:"):
        report.note("the rebuild runs without a sandbox of its own, so the container is the only one: "
                    + shown(way.strip(), 300))


def check_whole_zip(zip_data, rebuilt, buildinfo, report):
    what = "the whole zip is byte for byte the one `make dist` makes here with that signature"
    if not rebuilt.zip:
        report.failed(what, rebuilt.failure)
        return
    with open(rebuilt.zip, "rb") as file:
        ours = file.read()
    if ours == zip_data:
        report.passed(what)
    else:
        report.failed(what, *release_zip.zip_differences(zip_data, ours, buildinfo))


# --- Around it ------------------------------------------------------------

def remove_tree(path):
    """PATH and all in it, whatever the modes of what is there."""
    def allow_and_retry(function, failed, _):
        os.chmod(os.path.dirname(failed), 0o700)
        if os.path.isdir(failed) and not os.path.islink(failed):
            os.chmod(failed, 0o700)
        function(failed)
    shutil.rmtree(path, onerror=allow_and_retry)


def interrupted(number, _):
    raise Interrupted(number)


def check(arguments):
    """Everything, from the arguments to the exit status."""
    if len(arguments) != 3 or not arguments[2]:
        raise CannotCheck("usage: make verify-release ZIP=korvane-icon-size-VERSION.zip")
    version, built, zip_path = arguments
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)*", version):
        raise CannotCheck(f"\"{shown(version)}\" is not a version number like 1.0.0")
    missing = [tool for tool in NEEDED_TOOLS if shutil.which(tool) is None]
    if missing:
        raise CannotCheck(f"needs {', '.join(missing)}, which make installs: run it through make")
    if not os.path.isfile(built):
        raise CannotCheck(f"missing {shown(built)}: build it with `make`")
    if not os.path.lexists(zip_path):
        raise CannotCheck(f"no such file: {shown(zip_path, 200)}")
    report = Report()
    try:
        zip_data = authenticode.read_bounded(zip_path, release_zip.MAX_ZIP_BYTES, "the zip")
    except TooLarge as problem:
        report.failed("the zip is no bigger than a release's could be", str(problem))
        return verdict(report, "")
    except Unreadable as problem:
        raise CannotCheck(f"{shown(zip_path, 200)}: {problem}") from None
    # Made and removed with the signals held off, so that none can come
    # between making it and being ready to remove it, or cut the removal short.
    signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    work = tempfile.mkdtemp(prefix="verify-release.")
    try:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)
        match = ""
        try:
            match = verify(zip_path, zip_data, Source(version, os.path.abspath(built), ROOT), work, report)
        except Stop:
            pass
        return verdict(report, match)
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
        remove_tree(work)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)


def verdict(report, match):
    if report.first_failure is None:
        report.line("verdict: MATCH: " + match)
        return 0
    report.line("verdict: NO MATCH: " + report.first_failure)
    return 1


def main(arguments):
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    for number in SIGNALS:
        signal.signal(number, interrupted)
    try:
        return check(arguments)
    except CannotCheck as problem:
        print(terminal_line(f"verify-release: {problem}"), file=sys.stderr)
        return 2
    except Interrupted as stopped:
        # Cleaned up on the way here; now end as that signal ends a program.
        signal.signal(stopped.number, signal.SIG_DFL)
        os.kill(os.getpid(), stopped.number)
        return 128 + stopped.number
    except BrokenPipeError:
        # Whoever read the output stopped reading; nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception:  # a fault of this script: said safely, and nothing is checked
        for line in traceback.format_exc().splitlines():
            print(terminal_line(line), file=sys.stderr)
        print("verify-release: could not check, through a fault of its own (above)", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
