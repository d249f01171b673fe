# Quarvo: `make demo` shows a volume's life; `make test` runs every test.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/cpp
JOBS ?= $(shell nproc)

.PHONY: all bootstrap deps build test cpp-test py-test py-versions wheel wheel-native venv-wheel lint format demo clean

all: build

# What a fresh machine needs, and the project built into .venv by g++.
bootstrap:
	scripts/bootstrap

# What a fresh machine needs, without the project: `make test` puts the
# release wheel it builds into .venv instead.
deps:
	scripts/bootstrap --no-project

# The C++ libraries and their tests, warnings as errors. Line tables only
# (-g1): backtraces keep their lines, and the build takes a quarter less.
build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
	  -DQUARVO_WERROR=ON \
	  -DQUARVO_BUILD_PYTHON=OFF -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

cpp-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-test: build
	QUARVO_FAKE_BACKEND=$(abspath $(BUILD))/fake_backend $(PY) -m pytest -q

# The release wheels for a package index, in dist/: abi3, manylinux_2_17
# (glibc 2.17 and later), for x86_64 and aarch64, both built on this machine
# by zig (cmake/zig-toolchain.cmake) and checked by auditwheel, abi3audit and
# scripts/check_symbols.py; see scripts/build-wheel. `make test` builds only
# this machine's (wheel-native), the one it can install and run.
WHEEL_ARCHES := x86_64 aarch64
NATIVE_ARCH := $(shell uname -m)
wheel: $(WHEEL_ARCHES:%=wheel-%)

wheel-native: wheel-$(NATIVE_ARCH)

wheel-%: deps
	scripts/build-wheel $*

# This machine's release wheel in .venv: the Python tests run what ships.
venv-wheel: wheel-native
	$(PY) -m pip install -q --force-reinstall --no-deps dist/quarvo-*-abi3-*_$(NATIVE_ARCH).whl

# The release wheel of this machine under every CPython from 3.10 on that the
# machine has; PYTHONS_DONE names versions ("3.11") whose suite already ran it.
py-versions: build
	QUARVO_PYTHONS_DONE="$(PYTHONS_DONE)" scripts/test-pythons

# Every suite runs even when an earlier one fails; the target fails if any did.
# The wheel comes first: .venv runs it, and a Python test installs it afresh.
# .venv's own CPython runs the whole suite on it, so the per-version runs
# leave that version out.
test: deps build venv-wheel
	@status=0; \
	$(MAKE) --no-print-directory lint || status=1; \
	$(MAKE) --no-print-directory cpp-test || status=1; \
	$(MAKE) --no-print-directory py-test || status=1; \
	$(MAKE) --no-print-directory py-versions \
	  PYTHONS_DONE=$$($(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])') || status=1; \
	exit $$status

# Formatting and lint, checked: clang-format (.clang-format) over the C++,
# ruff (pyproject.toml) over the Python. `make format` applies both.
CXX_SOURCES = $(shell find src tests bench fuzz -name '*.cpp' -o -name '*.hpp')
PY_SOURCES := python tests bench scripts
CLANG_FORMAT := clang-format-19

lint: deps
	@echo "$(CLANG_FORMAT) --dry-run --Werror ($(words $(CXX_SOURCES)) C++ files)"
	@$(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)

format: deps
	@echo "$(CLANG_FORMAT) -i ($(words $(CXX_SOURCES)) C++ files)"
	@$(CLANG_FORMAT) -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --fix $(PY_SOURCES)
	$(VENV)/bin/ruff format $(PY_SOURCES)

# A development volume created, mounted, written, flushed, listed and unmounted.
demo: bootstrap
	scripts/demo

clean:
	rm -rf build

# --- reliability, sanitizers, fuzzing, benchmarks -----------------------------
.PHONY: stress sanitize fuzz bench
SANITIZE_BUILD := build/sanitize
FUZZ_SECONDS ?= 30

# The reliability tests at length: the record writer killed 500 times, then
# the process races and hostile input; then the random-kill campaign with the
# real backend (scripts/stress.py: STRESS_KILLS commands killed, the home checked
# after each; about 20 minutes for 1000 on a 2-CPU machine).
STRESS_KILLS ?= 1000
stress: bootstrap build
	QUARVO_STRESS=1 $(BUILD)/reliability_test
	QUARVO_FAKE_BACKEND=$(abspath $(BUILD))/fake_backend $(PY) -m pytest -q tests/python/reliability
	$(PY) scripts/stress.py --kills $(STRESS_KILLS)

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails the test that caused it.
sanitize: bootstrap
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUARVO_SANITIZE=ON -DQUARVO_WERROR=ON \
	  -DQUARVO_BUILD_PYTHON=OFF -DPython_EXECUTABLE=$(if $(wildcard $(PY)),$(abspath $(PY)),$(shell command -v python3)) >/dev/null
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# Each libFuzzer target for FUZZ_SECONDS (clang 19; `scripts/bootstrap --fuzz`).
fuzz:
	scripts/bootstrap --fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run.sh

# One table of ratios measured side by side; see bench/README.md.
bench: bootstrap build
	$(PY) bench/run_all.py --fake-backend $(abspath $(BUILD))/fake_backend
