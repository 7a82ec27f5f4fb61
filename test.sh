#!/usr/bin/env bash
# Builds everything and runs every test: the portable core natively, again under
# AddressSanitizer and UBSan, then the Windows build (quorvel.exe and its tests) under Wine.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

root=${QUORVEL_BUILD_DIR:-build}
jobs=${QUORVEL_JOBS:-2}
need_packages "${BUILD_PACKAGES[@]}" "${WINE_PACKAGES[@]}" clang libclang-rt-dev xdotool nsis

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

# run_ctest LABEL CMD...: runs a ctest command, keeping its closing counts for the summary.
run_ctest() {
  local label=$1; shift
  local out status=0
  out=$(mktemp)
  "$@" 2>&1 | tee "$out" || status=$?
  grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out" | sed "s/^/$label: /" >>"$summary" || true
  rm -f "$out"
  return $status
}

configure_and_build() {  # DIR ARGS...
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}

failed=0

# Each stage says when it starts and, with its duration, when it ends: builds print nothing
# for minutes, so a silent stretch is still visibly under way.
stage_name=""
stage_began=$SECONDS
stage() {  # NAME: ends the running stage and starts NAME ("" ends the last one)
  [ -z "$stage_name" ] || say "done: $stage_name ($((SECONDS - stage_began)) s)"
  stage_name=$1
  stage_began=$SECONDS
  [ -z "$stage_name" ] || say "$stage_name ($(date +%H:%M:%S))"
}

stage "native build and core tests"
configure_and_build "$root/native" -DCMAKE_BUILD_TYPE=Release
run_ctest native ctest --test-dir "$root/native" --output-on-failure -j "$jobs" || failed=1

stage "native build under AddressSanitizer and UBSan"
configure_and_build "$root/native-asan" -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest sanitizers ctest --test-dir "$root/native-asan" --output-on-failure -j "$jobs" || failed=1

stage "bounded fuzz runs (libFuzzer, clang)"
cmake -S . -B "$root/fuzz" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUORVEL_FUZZ=ON \
  -DQUORVEL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/fuzz" -j "$jobs" --target fuzzers >/dev/null
run_ctest fuzz ctest --test-dir "$root/fuzz" --output-on-failure -j 1 || failed=1

stage "Windows build (mingw-w64) and its tests under Wine"
configure_and_build "$root/windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQUORVEL_REFSERVER="$(realpath "$root/native")/tools/refserver"
run_ctest wine with_display scripts/windows-tests.sh "$(realpath "$root/windows")" || failed=1

stage "CI workflows checked by actionlint"
scripts/check-workflows.sh || failed=1

stage ""
say "summary (all stages: $SECONDS s)"
cat "$summary"
awk '{
  for (i = 1; i <= NF; i++) {
    if ($i == "tests" && $(i+1) == "failed" && $(i+2) == "out" && $(i+3) == "of") { f += $(i-1); t += $(i+4) }
  }
} END { printf "total: %d passed, %d failed\n", t - f, f }' "$summary"
[ "$(wc -l <"$summary")" -ge 4 ] || { echo "a test suite did not report"; failed=1; }
exit $failed
