# Quarvo: `make demo` shows a volume's life; `make test` runs every test.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/cpp
JOBS ?= $(shell nproc)

.PHONY: all bootstrap build test cpp-test py-test demo clean

all: build

bootstrap:
	scripts/bootstrap

# The C++ libraries and their tests, warnings as errors.
build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARVO_WERROR=ON \
	  -DQUARVO_BUILD_PYTHON=OFF -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

cpp-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-test:
	QUARVO_FAKE_BACKEND=$(abspath $(BUILD))/fake_backend $(PY) -m pytest -q

# Both suites run even when the first fails; the target fails if either did.
test: bootstrap build
	@status=0; \
	$(MAKE) --no-print-directory cpp-test || status=1; \
	$(MAKE) --no-print-directory py-test || status=1; \
	exit $$status

# A development volume created, mounted, written, flushed, listed and unmounted.
demo: bootstrap
	scripts/demo

clean:
	rm -rf build
