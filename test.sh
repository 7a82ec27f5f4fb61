#!/usr/bin/env bash
# Builds everything and runs every test, one preset of CMakePresets.json per stage: the
# portable core natively, again under AddressSanitizer and UBSan, the Windows build (quorvel.exe
# and its tests) under Wine, the server's tests under ThreadSanitizer, then bounded fuzz runs. Each stage builds in build/<preset>/ and
# leaves its results in build/<preset>/junit.xml, which the summary reads.
#
# Tests mostly wait (on servers, timers, Wine) while builds keep both processors busy, so the
# next stage's build runs while a stage's tests do, at the lowest CPU priority so that the
# tests keep the processors they ask for; its output goes to build/<preset>.log. The fuzz runs
# and the ThreadSanitizer build and tests go alongside the Windows tests the same way.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

export CMAKE_BUILD_PARALLEL_LEVEL=${QUORVEL_JOBS:-2}
export CTEST_PARALLEL_LEVEL=${QUORVEL_JOBS:-2}  # the fuzz and Windows presets run one at a time
need_packages "${BUILD_PACKAGES[@]}" "${WINE_PACKAGES[@]}" "${SERVER_TEST_PACKAGES[@]}" clang libclang-rt-dev xdotool nsis \
  util-linux iproute2

failed=0
presets=()
background=()
trap 'for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done' EXIT

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

# Leaves out the build's progress lines; the compilers' and the tests' own output stays.
quiet() { grep --line-buffered -vE '^\[ *[0-9]+%\]|^Consolidate compiler generated|^-- ' || true; }

# build PRESET: configures and builds the preset, in the foreground.
build() {
  { cmake --preset "$1" && cmake --build --preset "$1"; } 2>&1 | quiet
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "$1: the build failed"; failed=1; return 1; }
}

# build_behind PRESET: the same in the background, at the lowest priority, into build/PRESET.log.
declare -A behind=()
build_behind() {
  mkdir -p build
  say "building $1 meanwhile (build/$1.log)"
  nice -n 19 bash -c 'cmake --preset "$1" && cmake --build --preset "$1"' _ "$1" >"build/$1.log" 2>&1 &
  behind[$1]=$!
  background+=($!)
}

# built PRESET: waits for the preset's background build; on failure shows the end of its log.
built() {
  if wait "${behind[$1]}"; then return 0; fi
  quiet <"build/$1.log" | tail -n 40
  echo "$1: the build failed"
  failed=1
  return 1
}

# run_tests PRESET [LAUNCHER...]: the preset's tests, through the launcher if one is given.
run_tests() {
  local preset=$1; shift
  presets+=("$preset")
  rm -f "build/$preset/junit.xml"
  "$@" ctest --preset "$preset" || failed=1
}

junit_count() {  # FILE ATTRIBUTE: a count of the test suite's element (the first such attribute)
  grep -m1 -o "[[:space:]]$2=\"[0-9]*\"" "$1" | grep -o '[0-9][0-9]*' || echo 0
}

stage "native build"
if build native; then
  build_behind native-asan
  stage "native core tests"
  run_tests native
fi

stage "native tests under AddressSanitizer and UBSan"
if [ -n "${behind[native-asan]:-}" ] && built native-asan; then
  build_behind windows
  run_tests native-asan
fi

stage "Windows tests under Wine"
if [ -n "${behind[windows]:-}" ] && built windows; then
  # The fuzzers meanwhile: they run for a bounded time, whatever CPU they are left.
  presets+=(fuzz)
  rm -f build/fuzz/junit.xml
  say "bounded fuzz runs meanwhile (libFuzzer, clang; build/fuzz.log)"
  nice -n 19 cmake --workflow --preset fuzz >build/fuzz.log 2>&1 &
  fuzz=$!
  background+=($fuzz)
  # The server's tests under ThreadSanitizer meanwhile: built at the lowest priority, run at
  # the normal one (they wait on the server's timers). A report fails the stage.
  presets+=(native-tsan)
  rm -f build/native-tsan/junit.xml build/native-tsan/tsan-report.*
  say "server tests under ThreadSanitizer meanwhile (build/native-tsan.log)"
  { nice -n 19 bash -c 'cmake --preset native-tsan && cmake --build --preset native-tsan' &&
      ctest --preset native-tsan; } >build/native-tsan.log 2>&1 &
  tsan=$!
  background+=($tsan)
  run_tests windows with_display scripts/windows-tests.sh
  stage "bounded fuzz runs (libFuzzer, clang)"
  wait "$fuzz" || failed=1
  grep -E 'Test +#|tests passed|FAILED|Failed' build/fuzz.log || tail -n 40 build/fuzz.log
  stage "server tests under ThreadSanitizer"
  wait "$tsan" || failed=1
  grep -E 'tests passed|FAILED|Failed|\*\*\*' build/native-tsan.log || tail -n 40 build/native-tsan.log
  if compgen -G 'build/native-tsan/tsan-report.*' >/dev/null; then
    cat build/native-tsan/tsan-report.*
    echo "native-tsan: ThreadSanitizer reported the above"
    failed=1
  fi
fi

stage "CI workflows checked by actionlint"
scripts/check-workflows.sh || failed=1

stage ""
say "summary (all stages: $SECONDS s)"
passed_all=0
failed_all=0
for preset in "${presets[@]}"; do
  junit=build/$preset/junit.xml
  if [ ! -f "$junit" ]; then
    echo "$preset: no test results (the stage did not get to its tests)"
    failed=1
    continue
  fi
  tests=$(junit_count "$junit" tests)
  failures=$(junit_count "$junit" failures)
  skipped=$(( $(junit_count "$junit" skipped) + $(junit_count "$junit" disabled) ))
  echo "$preset: $((tests - failures - skipped)) passed, $failures failed, $skipped skipped, of $tests"
  passed_all=$((passed_all + tests - failures - skipped))
  failed_all=$((failed_all + failures))
  [ "$failures" -eq 0 ] || failed=1
  # A stage whose build made no test program ran nothing: that is a failure, not a pass.
  [ "$tests" -gt 0 ] || { echo "$preset: no test ran"; failed=1; }
done
echo "total: $passed_all passed, $failed_all failed"
exit $failed
