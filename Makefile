# One entry point for every job. `make test` and `make demo` set up a fresh
# machine by themselves: Debian packages, a CPython 3.9 virtual environment,
# the C++ build and the Python extension module. All steps are idempotent.

SHELL := /bin/bash
.DEFAULT_GOAL := test

ROOT      := $(CURDIR)
BUILD     := $(ROOT)/build
STAMPS    := $(BUILD)/stamps
VENV      := $(ROOT)/.venv
VPY       := $(VENV)/bin/python
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

APT_PACKAGES := minpack-dev libgtest-dev libbenchmark-dev g++ pkg-config

# CPython 3.9: pyenv's 3.9 if there is one, else whatever python3.9 is on PATH.
PYTHON39 ?= $(shell p=$$(pyenv prefix 3.9.18 2>/dev/null || pyenv prefix 3.9 2>/dev/null); \
              if [ -n "$$p" ] && [ -x "$$p/bin/python3.9" ]; then echo "$$p/bin/python3.9"; \
              else command -v python3.9; fi)

CMAKE     := $(VENV)/bin/cmake
CPP_BUILD := $(BUILD)/cpp

.PHONY: test demo bench sanitize fuzz setup cpp cpp-test module py-test clean

# ---------------------------------------------------------------- set-up
$(STAMPS)/apt:
	@mkdir -p $(STAMPS)
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y $$missing; \
	fi
	@touch $@

$(STAMPS)/venv: requirements-dev.txt | $(STAMPS)/apt
	@mkdir -p $(STAMPS)
	@if [ -z "$(PYTHON39)" ]; then echo "CPython 3.9 not found (pyenv or python3.9 on PATH)"; exit 1; fi
	@[ -x $(VPY) ] || $(PYTHON39) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet -r requirements-dev.txt
	@touch $@

setup: $(STAMPS)/apt $(STAMPS)/venv

# ---------------------------------------------------------------- C++
cpp: setup
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DKESP_WARNINGS_AS_ERRORS=ON >/dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)

cpp-test: cpp
	cd $(CPP_BUILD) && $(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# ---------------------------------------------------------------- Python
module: setup
	$(VPY) -m pip install --quiet --no-build-isolation \
	  -Cbuild-dir=$(BUILD)/py -Ccmake.define.KESP_WARNINGS_AS_ERRORS=ON .

py-test: module
	cd tests/python && $(VPY) -m pytest -q

# ---------------------------------------------------------------- jobs
test: cpp-test py-test

demo: module
	$(VPY) examples/demo.py

BENCH_BUILD := $(BUILD)/bench
bench: module
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DKESP_BUILD_TESTS=OFF -DKESP_BUILD_BENCHMARKS=ON >/dev/null
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS) --target bench_core
	$(BENCH_BUILD)/benchmarks/bench_core --benchmark_counters_tabular=true
	$(VPY) benchmarks/bench_fit.py

clean:
	rm -rf $(BUILD)
