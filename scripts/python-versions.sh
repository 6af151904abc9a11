# The CPython versions the modules are built and tested for, and where the
# virtual environment of each lives; sourced by the scripts that build or
# test per version. CPython 3.9 uses the project's main environment .venv,
# every other version .venv-<version> beside it. KESP_VENV_PREFIX replaces
# both by <prefix><version> (separate environments for a separate build).
PYTHON_VERSIONS_ALL="3.9 3.10 3.11 3.12 3.13"

venv_for() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  if [ -n "${KESP_VENV_PREFIX:-}" ]; then
    echo "${KESP_VENV_PREFIX}$1"
  elif [ "$1" = 3.9 ]; then
    echo "$root/.venv"
  else
    echo "$root/.venv-$1"
  fi
}
