#!/usr/bin/env bash
# Runs a command with its output going to a log file. On success prints only
# the log lines that match SUMMARY (an extended regular expression; nothing
# when it is empty); on failure prints the whole log, so nothing is lost.
# Exits with the command's status.
#
# Usage: scripts/run-quietly.sh LOG SUMMARY COMMAND [ARGUMENT...]
set -uo pipefail

log=$1
summary=$2
shift 2
mkdir -p "$(dirname "$log")"
"$@" >"$log" 2>&1
status=$?
if [ $status -ne 0 ]; then
  cat "$log"
  echo "Failed with status $status: $* (output above, also in $log)" >&2
elif [ -n "$summary" ]; then
  grep -E -- "$summary" "$log" || true
fi
exit $status
