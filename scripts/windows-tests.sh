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
wine_prefix "$PWD/build/windows/wine-prefix" unmanaged
# The tests remove the program's settings from the registry; they do so only in a prefix
# marked as this throwaway one.
touch "$WINEPREFIX/quorvel-test-prefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ $# -gt 0 ]; then
  "$@"
else
  cmake --workflow --preset windows
fi
