#!/usr/bin/env bash
# The Windows stage: builds the windows preset and runs its tests under Wine, on the display it
# is given (test.sh gives one), in a throwaway prefix build/windows/wine-prefix. With
# arguments, runs them as the command instead: test.sh passes the preset's workflow, and
# `scripts/windows-tests.sh ctest --preset windows -R connection_test` runs one test program.
# The time a test program may take under Wine is set once, QUORVEL_WINE_TIMEOUT in
# tests/CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
wine_prefix "$PWD/build/windows/wine-prefix"
# The tests remove the program's settings from the registry; they do so only in a prefix
# marked as this throwaway one.
touch "$WINEPREFIX/quorvel-test-prefix"
# The tests' windows are not handed to a window manager: on a display without one (Xvfb),
# Wine would wait two seconds for it at every window hidden or closed.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ $# -gt 0 ]; then
  "$@"
else
  cmake --workflow --preset windows
fi
