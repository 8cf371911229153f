# The front door. `make` builds the Windows program; `make test` installs what
# is missing, builds everything and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
EXE := build/win32/korvane-update.exe

.PHONY: all deps exe host test clean

all: exe

deps:
	@scripts/install-deps.sh

exe: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)
	@echo "$(EXE): $$(stat -c %s $(EXE)) bytes"

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

test: exe host
	ctest --preset host -j $(JOBS)

clean:
	rm -rf build
