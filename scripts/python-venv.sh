#!/usr/bin/env bash
# Creates (or brings up to date) the virtual environment of one CPython
# version for building and testing the modules: the newest NumPy 2.x that the
# interpreter supports, then requirements-dev.txt. Idempotent: a stamp file
# records the requirements it was made from, and nothing is done while it
# matches.
#
# Usage: scripts/python-venv.sh VERSION VENV_DIR
#   VERSION   3.9 ... 3.13; the interpreter is found by find-python.sh
#   VENV_DIR  where the environment goes
set -euo pipefail

version=$1
venv=$2
root=$(cd "$(dirname "$0")/.." && pwd)
requirements=${KESP_REQUIREMENTS:-$root/requirements-dev.txt}

stamp=$venv/.requirements-stamp
wanted="$version $(sha256sum "$requirements" "$0" | sha256sum | cut -c1-16)"
if [ -x "$venv/bin/python" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  exit 0
fi

python=$("$(dirname "$0")/find-python.sh" "$version" || true)
if [ -z "$python" ]; then
  echo "CPython $version not found (pyenv, python$version on PATH, or PYTHON_${version//./_})" >&2
  exit 1
fi
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
vpy=$venv/bin/python
"$vpy" -m pip install --quiet --disable-pip-version-check --upgrade pip
# requirements-dev.txt picks the NumPy of each interpreter through markers;
# pip chooses the newest release whose wheels support the interpreter.
"$vpy" -m pip install --quiet --disable-pip-version-check -r "$requirements"
echo "$wanted" > "$stamp"
echo "$venv: $("$vpy" -c 'import sys, numpy; print(sys.version.split()[0], "NumPy", numpy.__version__)')"
