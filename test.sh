#!/usr/bin/env bash
# Builds everything and runs every test, one workflow preset of CMakePresets.json per stage: the
# portable core natively, again under AddressSanitizer and UBSan, bounded fuzz runs, then the
# Windows build (quorvel.exe and its tests) under Wine. Each stage builds in build/<preset>/
# and leaves its results in build/<preset>/junit.xml, which the summary reads.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

export CMAKE_BUILD_PARALLEL_LEVEL=${QUORVEL_JOBS:-2}
export CTEST_PARALLEL_LEVEL=${QUORVEL_JOBS:-2}  # the fuzz and Windows presets run one at a time
need_packages "${BUILD_PACKAGES[@]}" "${WINE_PACKAGES[@]}" "${SERVER_TEST_PACKAGES[@]}" clang libclang-rt-dev xdotool nsis \
  util-linux iproute2

failed=0
presets=()

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

# run_stage PRESET [LAUNCHER...]: the preset's workflow (configure, build, test), through the
# launcher if one is given; the build's progress lines are left out, the tests' output is not.
run_stage() {
  local preset=$1; shift
  presets+=("$preset")
  rm -f "build/$preset/junit.xml"
  set +e
  "$@" cmake --workflow --preset "$preset" 2>&1 |
    grep --line-buffered -vE '^\[ *[0-9]+%\]|^Consolidate compiler generated|^-- '
  local status=${PIPESTATUS[0]}
  set -e
  [ "$status" -eq 0 ] || failed=1
}

# junit_count FILE ATTRIBUTE: a count of the test suite's element (the first such attribute).
junit_count() {
  grep -m1 -o "[[:space:]]$2=\"[0-9]*\"" "$1" | grep -o '[0-9][0-9]*' || echo 0
}

stage "native build and core tests"
run_stage native

stage "native build under AddressSanitizer and UBSan"
run_stage native-asan

stage "bounded fuzz runs (libFuzzer, clang)"
run_stage fuzz

stage "Windows build (mingw-w64) and its tests under Wine"
run_stage windows with_display scripts/windows-tests.sh

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
