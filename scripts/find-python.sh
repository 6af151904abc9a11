#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given minor version, or
# nothing (status 1) when there is none: $PYTHON_3_X if set, else pyenv's
# newest 3.X, else python3.X on PATH.
#
# Usage: scripts/find-python.sh VERSION   (3.9 ... 3.13)
set -euo pipefail

version=$1
override="PYTHON_${version//./_}"
if [ -n "${!override:-}" ]; then echo "${!override}"; exit 0; fi

if command -v pyenv >/dev/null; then
  full=$(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" |
         sort -t. -k3,3n | tail -1 || true)
  if [ -n "$full" ]; then
    prefix=$(pyenv prefix "$full")
    if [ -x "$prefix/bin/python$version" ]; then echo "$prefix/bin/python$version"; exit 0; fi
  fi
fi
command -v "python$version" || exit 1
