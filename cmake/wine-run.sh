#!/usr/bin/env bash
# Runs one Windows program of the build under Wine, in the prefix that scripts/windows-tests.sh
# prepared. CTest ends it after QUORVEL_WINE_TIMEOUT seconds (tests/CMakeLists.txt).
: "${WINEPREFIX:?WINEPREFIX is not set: run the Windows tests through ./test.sh}"
export WINEDEBUG=${WINEDEBUG:--all}
# The program's output goes through a file: a process that Wine starts on the way (its desktop,
# its services) inherits the output and outlives the program in the prefix's lasting server, and
# CTest would wait for it to close a pipe.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
wine "$@" >"$output" 2>&1 </dev/null || status=$?
cat "$output"
exit $status
