#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed yet
# (with sudo unless run as root); does nothing when all of them are. apt's
# output goes to LOG (default build/logs/apt.log) and is printed only when
# the installation fails.
#
# Usage: scripts/install-debian-packages.sh [--log LOG] PACKAGE...
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
log=$root/build/logs/apt.log
if [ "${1:-}" = --log ]; then
  log=$2
  shift 2
fi

missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing Debian packages: ${missing[*]}"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
mkdir -p "$(dirname "$log")"
if ! { $sudo apt-get update &&
       DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log"
  echo "Installing ${missing[*]} failed (output above, also in $log)" >&2
  exit 1
fi
