#!/usr/bin/env bash
# Builds Quorvel and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
need_packages "${BUILD_PACKAGES[@]}" "${WINE_PACKAGES[@]}"
root=${QUORVEL_BUILD_DIR:-build}
cmake -S . -B "$root/windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/windows" -j 2 >/dev/null
if [ ! -f "$root/windows/window/quorvel.exe" ]; then
  echo "quorvel.exe is not built yet: the main window is still to come." >&2
  exit 1
fi
