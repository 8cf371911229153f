# The front door: `make test` installs what is missing, builds and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)

.PHONY: all deps host test clean

all: host

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

test: host
	ctest --preset host -j $(JOBS)

clean:
	rm -rf build
