#!/usr/bin/env bash
# Runs one Windows program of the build under Wine, in the prefix that scripts/windows-tests.sh
# prepared. CTest ends it after QUORVEL_WINE_TIMEOUT seconds (tests/CMakeLists.txt).
: "${WINEPREFIX:?WINEPREFIX is not set: run the Windows tests through ./test.sh}"
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
