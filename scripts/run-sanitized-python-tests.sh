#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer and UndefinedBehaviorSanitizer
# (-O2 -g) into OUT_DIR/site and runs the Python tests against it. Any
# sanitizer report fails the run.
#
# The module goes into its own directory, put first on PYTHONPATH for the
# tests only, so the module installed in the virtual environment stays the
# normal build. The interpreter is not instrumented, so the sanitizer
# runtimes are preloaded; PYTHONMALLOC=malloc lets ASan see Python's objects;
# leaks are not reported, as CPython does not free everything at exit. pytest
# captures the standard streams of a process a sanitizer stops, so the
# reports go to files in OUT_DIR/reports, printed (and failing the run) after.
#
# Usage: scripts/run-sanitized-python-tests.sh PYTHON OUT_DIR [SOURCE_DIR]
#   PYTHON      the interpreter of the virtual environment to build and test with
#   OUT_DIR     build/sanitize-py in `make sanitize`
#   SOURCE_DIR  the source tree to build and test (default: this repository)
# Environment: ASAN_COMMON and UBSAN_COMMON, the sanitizer options that the
# C++ half of `make sanitize` uses too (set by the Makefile).
set -euo pipefail

python=$1
out=$(mkdir -p "$2" && cd "$2" && pwd)
source_dir=$(cd "${3:-$(dirname "$0")/..}" && pwd)
: "${ASAN_COMMON:?the ASan options shared with the C++ run}"
: "${UBSAN_COMMON:?the UBSan options shared with the C++ run}"
site=$out/site
reports=$out/reports

cd "$source_dir"
"$python" -m pip install --quiet --no-build-isolation --no-deps --upgrade --target "$site" \
  -Cbuild-dir="$out/build" -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.KESP_WARNINGS_AS_ERRORS=ON -Ccmake.define.KESP_SANITIZE=ON .
rm -rf "$reports" && mkdir -p "$reports"

runtimes=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)
cd tests/kesp_wrapper
export PYTHONPATH=$site LD_PRELOAD=$runtimes PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:$ASAN_COMMON:log_path=$reports/asan
export UBSAN_OPTIONS=$UBSAN_COMMON:log_path=$reports/ubsan
# The tests must run against the sanitized module, not the one in the venv.
"$python" -c 'import kesp_wrapper, sys; sys.exit(not kesp_wrapper.__file__.startswith(sys.argv[1]))' \
  "$site/"
status=0
"$python" -m pytest -q -p no:cacheprovider || status=$?
if [ -n "$(ls "$reports")" ]; then
  cat "$reports"/*
  echo "Sanitizer reports above (also in $reports)" >&2
  exit 1
fi
exit $status
