#!/usr/bin/env bash
# run-fuzzer.sh FUZZER SEED_DIR RUNS SECONDS: a bounded libFuzzer run. New inputs go to a
# scratch folder; the committed seeds are only read. A crash input is kept beside the build.
# RUNS 0 means no limit on runs: the run then lasts SECONDS.
set -euo pipefail
fuzzer=$1 seeds=$2 runs=$3 seconds=$4
[ "$runs" = 0 ] && runs=-1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$(dirname "$fuzzer")/artifacts/
mkdir -p "$artifacts"
"$fuzzer" -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts" -print_final_stats=0 "$work" "$seeds" 2>&1 | tail -n 3
