#!/usr/bin/env bash
# Runs one Windows program of the build under Wine, in the prefix that test.sh prepared.
: "${WINEPREFIX:?WINEPREFIX is not set: run the Windows tests through ./test.sh}"
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
