# The front door. `make` builds the Windows program; `make test` builds
# everything and runs every test; `make run` runs the program under Wine. Each
# first installs what it needs and is missing. Where the kernel cannot run
# 32-bit x86 code, the scripts that run Wine use the x86-64 build instead
# (KORVANE_NO_32BIT=1 makes them do so anywhere).
SHELL := /bin/bash
# ZIP (make verify-release ZIP=FILE) is the name of a download from anywhere,
# which make would expand, running any $(shell ...) in it, wherever it is
# exported: in the environment of every $(shell ...) below too, since GNU
# make 4.4. So it is never exported, from the first line on; nor is
# DOWNLOAD_URL (make dist DOWNLOAD_URL=URL), whose $ and ( are a URL's own.
unexport ZIP DOWNLOAD_URL
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
EXE := build/win32/korvane-icon-size.exe
# The project's version, kept in one place: the project() line of CMakeLists.txt.
VERSION := ${shell sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt}

.PHONY: all deps toolchain exe exe64 host sanitize test dist verify-release run screenshots bench fresh-check lock \
	clean

all: exe

# What the goals given need installed on the host, as scripts/install-deps.sh's
# groups; the packages are installed once, for all of them, before anything
# else (`make deps` installs what every target needs).
deps_for.all := build
deps_for.exe := build
deps_for.exe64 := build
deps_for.toolchain := build
deps_for.lock := build
deps_for.host := host
deps_for.sanitize := host
deps_for.run := run
deps_for.screenshots := run
deps_for.bench := run host
deps_for.dist := dist
deps_for.verify-release := dist
deps_for.test := test
deps_for.deps := test
deps_groups := $(sort $(foreach goal,$(or $(MAKECMDGOALS),all),$(deps_for.$(goal))))

deps:
	@scripts/install-deps.sh $(deps_groups)

# The Debian root, pinned by toolchain.lock, that builds every Windows program:
# made on first use and kept in ~/.cache/korvane-update, checked against the
# lock on every use. When the mirror no longer has a locked version it says
# so, and builds with the mirror's.
toolchain: deps
	@scripts/toolchain.sh ensure

exe: toolchain
	@scripts/toolchain.sh build win32 -j $(JOBS)
	@echo "$(EXE): version $(VERSION), $$(stat -c %s $(EXE)) bytes, SHA-256 $$(sha256sum $(EXE) | cut -d' ' -f1)"

# The same program and the test driver for x86-64, for testing under 64-bit
# Wine; never shipped.
exe64: toolchain
	@scripts/toolchain.sh build win64 -j $(JOBS)

# A release is built with the lock's exact versions, or not at all.
dist verify-release: export KORVANE_EXACT_TOOLCHAIN := 1

# toolchain.lock afresh, with the versions the mirror has now: for a new release.
lock: deps
	@scripts/toolchain.sh lock

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

# The unit tests again, under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake --preset host-sanitize >/dev/null
	cmake --build --preset host-sanitize -j $(JOBS)

# A skipped test's reason is in its output, which CTest does not show; so are
# the launches that Wine refused and the end-to-end tests tried again.
# They are printed when a test fails too, from the results that the test
# presets have CTest write as JUnit XML, build/PRESET/ctest-results.xml
# (`make fresh-check` counts the tests there). The presets keep the first
# and the last part of a passed test's output, where those lines are.
test: exe exe64 host sanitize
	@rm -f build/host/ctest-results.xml build/host-sanitize/ctest-results.xml
	@status=0; ctest --preset host -j $(JOBS) || status=$$?; \
	scripts/ctest_results.py notes build/host/ctest-results.xml || [ $$status -ne 0 ] || status=1; \
	exit $$status
	ctest --preset host-sanitize -j $(JOBS)

# The download: dist/korvane-icon-size-VERSION.zip, the program with its
# read-mes in Japanese and English, its license and SHA256SUMS, and beside it
# the buildinfo. Given a key (the variables in release/signing-variables,
# which docs/releasing.md explains) the program is signed, and its detached
# signature goes beside the zip too; SIGNATURE=FILE attaches a published one
# instead. Make passes these to the script in its environment.
# DOWNLOAD_URL=URL, the https address of the page the release is published
# on, which the read-mes and the buildinfo name, reaches it unexpanded
# (above), and dist.sh checks it before it makes anything.
dist: export KORVANE_DOWNLOAD_URL := $(value DOWNLOAD_URL)
dist: exe
	@release/dist.sh $(VERSION) $(EXE) dist

# Whether a published zip (ZIP=FILE) holds this source's build of the program.
# The file's name is data: ZIP is never exported (above), and the shell would
# run a `...` in it, so the script gets its value unexpanded, from the
# environment. Exit status: 0 for MATCH; else make's 2, with the script's own
# (1 NO MATCH, 2 cannot check) in make's "Error" line.
verify-release: export KORVANE_VERIFY_ZIP := $(value ZIP)
verify-release: exe
	@release/verify-release.sh $(VERSION) $(EXE) "$$KORVANE_VERIFY_ZIP"

# The program under Wine: with a display you see the box; without one it runs
# in Xvfb, and the box is saved as build/run/notice.png.
run: exe exe64
	@scripts/run.sh

# docs/notice-succeeded.png and docs/notice-failed.png, from the real program.
screenshots: exe exe64
	@scripts/screenshots.sh

# Size, imports and start-to-box time against a bare message box program.
bench: exe exe64 host
	@scripts/bench.sh

# What a new user sees: `make run`, then `make test`, in fresh Debian 12 and 13
# roots made with mmdebstrap, from a clean clone of HEAD, and in a default
# podman or docker container made from the Debian 12 root where one is
# usable. Needs root and several minutes, so it is not part of `make test`.
fresh-check:
	@scripts/fresh-check.sh

clean:
	rm -rf build dist
