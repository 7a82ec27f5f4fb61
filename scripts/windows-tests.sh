#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, on the display it is given. Called by test.sh.
set -euo pipefail
build=$1
source "$(dirname "$0")/common.sh"
wine_prefix "$build/wine-prefix"
# The tests remove the program's settings from the registry; they do so only in a prefix
# marked as this throwaway one.
touch "$WINEPREFIX/quorvel-test-prefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --test-dir "$build" --output-on-failure -j1 --timeout 900
