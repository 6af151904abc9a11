# One entry point for every job. `make test` and `make demo` set up a fresh
# machine by themselves: Debian packages, a CPython 3.9 virtual environment
# (and for `make test` one of CPython 3.13), the C++ build and the Python
# extension modules. All steps are idempotent.
#
# Builds and test runs print a summary; their full output goes to
# build/logs/ and is printed when they fail. `make VERBOSE=1 ...` prints
# everything as it comes.

SHELL := /bin/bash
.DEFAULT_GOAL := test

ROOT      := $(CURDIR)
BUILD     := $(ROOT)/build
STAMPS    := $(BUILD)/stamps
LOGS      := $(BUILD)/logs
VENV      := $(ROOT)/.venv
VPY       := $(VENV)/bin/python
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

APT_PACKAGES := minpack-dev libgtest-dev libbenchmark-dev g++ pkg-config

# CPython 3.9: pyenv's 3.9 if there is one, else whatever python3.9 is on PATH.
PYTHON39 ?= $(shell p=$$(pyenv prefix 3.9.18 2>/dev/null || pyenv prefix 3.9 2>/dev/null); \
              if [ -n "$$p" ] && [ -x "$$p/bin/python3.9" ]; then echo "$$p/bin/python3.9"; \
              else command -v python3.9; fi)

CMAKE     := $(VENV)/bin/cmake
CTEST     := $(VENV)/bin/ctest
NINJA     := $(VENV)/bin/ninja
CPP_BUILD := $(BUILD)/cpp

# $(call quietly,LOG-NAME,SUMMARY-REGEX,COMMAND): COMMAND with its output in
# build/logs/LOG-NAME.log; prints the matching lines, or everything on failure.
ifeq ($(VERBOSE),1)
quietly = $(3)
else
quietly = $(ROOT)/scripts/run-quietly.sh $(LOGS)/$(1).log '$(2)' $(3)
endif
# What ctest's summary and a build's failure look like.
CTEST_SUMMARY := tests passed|tests failed|Total Test time
# Configures the CMake tree $(1) with the options $(2) and builds it (the
# build options $(3), if any).
cmake_build = $(call quietly,$(notdir $(1))-build,,$(SHELL) -c '$(CMAKE) -S . -B $(1) -G Ninja \
  -DCMAKE_MAKE_PROGRAM=$(NINJA) $(2) && $(CMAKE) --build $(1) -j $(JOBS) $(3)')
# Runs the ctest suite of the CMake tree $(1), with the environment $(2).
ctest_run = cd $(1) && $(2) $(call quietly,$(notdir $(1))-ctest,$(CTEST_SUMMARY),\
  $(CTEST) --output-on-failure -j $(JOBS))
# Prints a heading for a step.
step = @echo "== $(1)"

.PHONY: test demo bench validate sanitize fuzz setup cpp cpp-test module py-test clean \
        cpp-sanitize py-sanitize test-pythons wheel docs py-tests

# ---------------------------------------------------------------- set-up
$(STAMPS)/apt:
	@mkdir -p $(STAMPS)
	@scripts/install-debian-packages.sh --log $(LOGS)/apt.log $(APT_PACKAGES)
	@touch $@

$(STAMPS)/venv: requirements-dev.txt | $(STAMPS)/apt
	@mkdir -p $(STAMPS)
	@if [ -z "$(PYTHON39)" ]; then echo "CPython 3.9 not found (pyenv or python3.9 on PATH)"; exit 1; fi
	$(call step,Python virtual environment $(VENV))
	@[ -x $(VPY) ] || $(PYTHON39) -m venv $(VENV)
	@$(VPY) -m pip install --quiet --upgrade pip
	@$(VPY) -m pip install --quiet -r requirements-dev.txt
	@touch $@

setup: $(STAMPS)/apt $(STAMPS)/venv

# ---------------------------------------------------------------- C++
cpp: setup
	$(call step,C++ build ($(CPP_BUILD)))
	@$(call cmake_build,$(CPP_BUILD),-DCMAKE_BUILD_TYPE=Release -DKESP_WARNINGS_AS_ERRORS=ON)

cpp-test: cpp
	$(call step,C++ tests)
	@$(call ctest_run,$(CPP_BUILD))

# ---------------------------------------------------------------- Python
module: setup
	$(call step,Python module (installed into $(VENV)))
	@$(call quietly,module-build,,$(VPY) -m pip install --quiet --no-build-isolation \
	  -Cbuild-dir=$(BUILD)/py -Ccmake.define.KESP_WARNINGS_AS_ERRORS=ON .)

# CPython 3.9 is the reference version, built into .venv above; 3.10 to 3.13
# each get an environment .venv-<version> (scripts/python-venv.sh: the newest
# NumPy 2.x the version supports and requirements-dev.txt) and a build in
# build/py-<version>. `make test` runs the Python suites on 3.9 and 3.13,
# `make test-pythons` on all five. (Pattern targets, so not in .PHONY.)
PYTHON_VERSIONS := 3.9 3.10 3.11 3.12 3.13
TEST_PYTHONS    := 3.9 3.13
python_of = $(if $(filter 3.9,$(1)),$(VPY),$(ROOT)/.venv-$(1)/bin/python)

# Not files: nothing to delete after a run.
.SECONDARY: $(addprefix module-,$(PYTHON_VERSIONS))
module-3.9: module ;
module-%: setup
	$(call step,Python module for CPython $* (installed into .venv-$*))
	@scripts/python-venv.sh $* $(ROOT)/.venv-$*
	@$(call quietly,module-build-$*,,$(call python_of,$*) -m pip install --quiet \
	  --no-build-isolation -Cbuild-dir=$(BUILD)/py-$* -Ccmake.define.KESP_WARNINGS_AS_ERRORS=ON .)

# The Python suites on one version. Each run also compares a whole fit with
# the builds of the other versions present, so 3.9 and 3.13 are built first.
# The tests of the pure-Python slow references run no compiled code: they run
# on 3.9 only.
not_reference = $(if $(filter 3.9,$(1)),,-m "not pure_reference")
py-test-%: module-% module-3.9 module-3.13
	$(call step,Python tests on CPython $*)
	@$(call python_of,$*) -m pytest -q tests/kesp_wrapper
	@$(call python_of,$*) -m pytest -q $(call not_reference,$*) tests/zscanfit
	@# The wheel test runs in make wheel; its imports are checked here.
	@$(call quietly,packaging-collect-$*,tests? collected,$(call python_of,$*) -m pytest -q \
	  --collect-only -p no:cacheprovider tests/packaging)

py-test: py-test-3.9

# The suites of TEST_PYTHONS side by side, each logged in build/logs/
# (scripts/run-python-suites.sh): what `make test` runs.
py-tests: $(addprefix module-,$(TEST_PYTHONS))
	$(call step,Python tests on CPython $(TEST_PYTHONS) (side by side))
	@scripts/run-python-suites.sh $(LOGS) \
	  $(foreach v,$(TEST_PYTHONS),$(v)=$(call python_of,$(v)))

# ---------------------------------------------------------------- sanitizers
# The C++ libraries and tests, and separately the extension module, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (-O2 -g). Any report fails
# the run: UBSan stops at the first finding, ASan always does. The Python half
# is scripts/run-sanitized-python-tests.sh (it explains its set-up).
SAN_BUILD    := $(BUILD)/sanitize
SAN_PY_BUILD := $(BUILD)/sanitize-py
UBSAN_COMMON := print_stacktrace=1:halt_on_error=1
ASAN_COMMON  := allocator_may_return_null=1:check_initialization_order=1:detect_stack_use_after_return=1

cpp-sanitize: setup
	$(call step,C++ tests with ASan and UBSan ($(SAN_BUILD)))
	@$(call cmake_build,$(SAN_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKESP_WARNINGS_AS_ERRORS=ON -DKESP_SANITIZE=ON)
	@$(call ctest_run,$(SAN_BUILD),ASAN_OPTIONS=detect_leaks=1:$(ASAN_COMMON) \
	  UBSAN_OPTIONS=$(UBSAN_COMMON))

py-sanitize: setup
	$(call step,Python tests with ASan and UBSan ($(SAN_PY_BUILD)))
	@ASAN_COMMON=$(ASAN_COMMON) UBSAN_COMMON=$(UBSAN_COMMON) \
	  scripts/run-sanitized-python-tests.sh $(VPY) $(SAN_PY_BUILD)

sanitize: cpp-sanitize py-sanitize

# ---------------------------------------------------------------- fuzzing
# The fuzz test of fit_zscan with many more examples than `make test` runs.
FUZZ_EXAMPLES ?= 20000
fuzz: module
	cd tests/kesp_wrapper && KESP_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) \
	  $(VPY) -m pytest -q -p no:cacheprovider test_fuzz.py --hypothesis-show-statistics

# ---------------------------------------------------------------- documentation
# The Sphinx site in build/docs/html, built from docs/ in .venv with warnings
# as errors. The build runs the scripts of docs/examples/ and makes the
# figures and outputs the pages show (docs/_ext/generated_examples.py).
DOCS_BUILD := $(BUILD)/docs
docs: module
	$(call step,Documentation ($(DOCS_BUILD)/html))
	@$(call quietly,docs,build succeeded|The HTML pages are in,$(VPY) -m sphinx -b html \
	  -W --keep-going -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/html)

# ---------------------------------------------------------------- jobs
test: cpp-test cpp-sanitize py-tests docs

test-pythons: cpp-test cpp-sanitize $(addprefix py-test-,$(PYTHON_VERSIONS)) docs

# One wheel per version in dist/, repaired by auditwheel so that MINPACK and
# its Fortran runtime travel inside (scripts/build-wheels.sh), then the test
# that installs each into a fresh environment with NumPy only.
wheel: module
	$(call step,Wheels for CPython $(PYTHON_VERSIONS) (dist/))
	@$(call quietly,wheels,\.whl,env PYTHON_VERSIONS="$(PYTHON_VERSIONS)" scripts/build-wheels.sh)
	$(call step,Wheel test)
	@cd tests/packaging && $(VPY) -m pytest -q

demo: module
	$(VPY) examples/demo.py
	$(VPY) examples/zscanfit_demo.py
	$(VPY) examples/closed_aperture_demo.py

# Coverage on synthetic data of zscanfit's standard errors (both models), of
# its bootstrap intervals, and of its error budget and profile-likelihood
# intervals (about an hour; not in test).
validate: module
	$(VPY) benchmarks/validate_uncertainties.py
	$(VPY) benchmarks/validate_bootstrap.py
	$(VPY) benchmarks/validate_error_budget.py

BENCH_BUILD := $(BUILD)/bench
bench: module
	$(call step,C++ benchmarks ($(BENCH_BUILD)))
	@$(call cmake_build,$(BENCH_BUILD),-DCMAKE_BUILD_TYPE=Release -DKESP_BUILD_TESTS=OFF \
	  -DKESP_BUILD_BENCHMARKS=ON,--target bench_core)
	$(BENCH_BUILD)/benchmarks/bench_core --benchmark_counters_tabular=true
	$(VPY) benchmarks/bench_fit.py
	$(VPY) benchmarks/bench_zscanfit.py
	$(VPY) benchmarks/bench_batch.py
	$(VPY) benchmarks/bench_peer.py
	$(VPY) benchmarks/bench_closed_jacobian.py
	$(VPY) benchmarks/bench_thick_fit.py

clean:
	rm -rf $(BUILD)
