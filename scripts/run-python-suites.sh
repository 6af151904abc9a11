#!/usr/bin/env bash
# Runs the Python test suites of several CPython versions side by side (the
# machine's cores are otherwise idle while one suite waits on one model
# evaluation after another), each with its output in LOGS/python-<version>.log.
# Prints each suite's summary lines, or its whole log when it fails; exits
# with the first failing suite's status. The first version is the reference:
# it alone runs the tests of the pure-Python slow references, which run no
# compiled code and so test nothing version-specific.
#
# Usage: scripts/run-python-suites.sh LOGS VERSION=PYTHON [VERSION=PYTHON...]
set -uo pipefail

logs=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

suite() {  # VERSION PYTHON MARKER-EXPRESSION
  local version=$1 python=$2 marker=$3
  echo "== CPython $version"
  (cd "$root" && "$python" -m pytest -q -p no:cacheprovider tests/kesp_wrapper) || return
  (cd "$root" && "$python" -m pytest -q -p no:cacheprovider -m "$marker" tests/zscanfit) || return
  # The wheel test runs in make wheel; its imports are checked here.
  (cd "$root" && "$python" -m pytest -q --collect-only -p no:cacheprovider tests/packaging)
}

pids=()
names=()
marker=""
for pair in "$@"; do
  version=${pair%%=*}
  python=${pair#*=}
  "$here/run-quietly.sh" "$logs/python-$version.log" \
    '^== CPython|passed|failed|errors?( in|$)|tests? collected' \
    bash -c "$(declare -f suite); suite '$version' '$python' '$marker'" &
  pids+=($!)
  names+=("$version")
  marker="not pure_reference"
done

status=0
for i in "${!pids[@]}"; do
  if ! wait "${pids[$i]}"; then
    s=$?
    echo "Python tests on CPython ${names[$i]} failed (log: $logs/python-${names[$i]}.log)" >&2
    [ $status -ne 0 ] || status=$s
  fi
done
exit $status
