# The front door. `make` builds the Windows program; `make test` installs what
# is missing, builds everything and runs every test; `make run` runs the
# program under Wine.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
EXE := build/win32/korvane-update.exe

.PHONY: all deps exe host sanitize test run screenshots bench clean

all: exe

deps:
	@scripts/install-deps.sh

exe: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)
	@echo "$(EXE): $$(stat -c %s $(EXE)) bytes, SHA-256 $$(sha256sum $(EXE) | cut -d' ' -f1)"

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

# The unit tests again, under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake --preset host-sanitize >/dev/null
	cmake --build --preset host-sanitize -j $(JOBS)

test: exe host sanitize
	ctest --preset host -j $(JOBS)
	ctest --preset host-sanitize -j $(JOBS)

# The program under Wine: with a display you see the box; without one it runs
# in Xvfb, and the box is saved as build/run/notice.png.
run: exe
	@scripts/run.sh

# docs/notice-succeeded.png and docs/notice-failed.png, from the real program.
screenshots: exe
	@scripts/screenshots.sh

# Size, imports and start-to-box time against a bare message box program.
bench: exe host
	@scripts/bench.sh

clean:
	rm -rf build
