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

.PHONY: test demo bench sanitize fuzz setup cpp cpp-test module py-test clean \
        cpp-sanitize py-sanitize

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

# ---------------------------------------------------------------- sanitizers
# The C++ libraries and tests, and separately the extension module, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (-O2 -g). Any report fails
# the run: UBSan stops at the first finding, ASan always does. The sanitized
# module is installed into its own directory, put first on PYTHONPATH for the
# Python tests only; the module in .venv stays the normal build. The
# interpreter is not instrumented, so the sanitizer runtimes are preloaded;
# PYTHONMALLOC=malloc lets ASan see Python's objects; leaks are not reported
# for the Python run, as CPython does not free everything at exit. pytest
# captures the standard streams of the process a sanitizer stops, so the
# reports of the Python run go to files, printed (and failing the run) after.
SAN_BUILD    := $(BUILD)/sanitize
SAN_PY_BUILD := $(BUILD)/sanitize-py
SAN_SITE     := $(SAN_PY_BUILD)/site
SAN_RUNTIMES  = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)
SAN_REPORTS  := $(SAN_PY_BUILD)/reports
UBSAN_COMMON := print_stacktrace=1:halt_on_error=1
ASAN_COMMON  := allocator_may_return_null=1:check_initialization_order=1:detect_stack_use_after_return=1

cpp-sanitize: setup
	$(CMAKE) -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja -DKESP_WARNINGS_AS_ERRORS=ON -DKESP_SANITIZE=ON >/dev/null
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:$(ASAN_COMMON) UBSAN_OPTIONS=$(UBSAN_COMMON) \
	  $(VENV)/bin/ctest --output-on-failure -j $(JOBS)

py-sanitize: setup
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --upgrade --target $(SAN_SITE) \
	  -Cbuild-dir=$(SAN_PY_BUILD)/build -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.KESP_WARNINGS_AS_ERRORS=ON -Ccmake.define.KESP_SANITIZE=ON .
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS)
	cd tests/python && export PYTHONPATH=$(SAN_SITE) LD_PRELOAD=$(SAN_RUNTIMES) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:$(ASAN_COMMON):log_path=$(SAN_REPORTS)/asan \
	  UBSAN_OPTIONS=$(UBSAN_COMMON):log_path=$(SAN_REPORTS)/ubsan && \
	  $(VPY) -c 'import kesp_wrapper, sys; sys.exit(not kesp_wrapper.__file__.startswith("$(SAN_SITE)/"))' && \
	  { $(VPY) -m pytest -q -p no:cacheprovider; status=$$?; } || status=1; \
	  if [ -n "$$(ls $(SAN_REPORTS))" ]; then cat $(SAN_REPORTS)/*; exit 1; fi; exit $$status

sanitize: cpp-sanitize py-sanitize

# ---------------------------------------------------------------- fuzzing
# The fuzz test of fit_zscan with many more examples than `make test` runs.
FUZZ_EXAMPLES ?= 20000
fuzz: module
	cd tests/python && KESP_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) \
	  $(VPY) -m pytest -q -p no:cacheprovider test_fuzz.py --hypothesis-show-statistics

# ---------------------------------------------------------------- jobs
test: cpp-test cpp-sanitize py-test

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
