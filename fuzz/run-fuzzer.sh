#!/usr/bin/env bash
# run-fuzzer.sh FUZZER SEED_DIR RUNS SECONDS: a bounded libFuzzer run. The committed seeds are
# only read. RUNS 0 means no limit on runs: the run then lasts SECONDS, and its new inputs are
# kept beside the build (new-corpus/NAME/) so a long run's findings survive it; the test's short
# runs start from the seeds alone each time. The whole report goes to artifacts/NAME.log, beside
# any crash input.
set -euo pipefail
fuzzer=$1 seeds=$2 runs=$3 seconds=$4
[ "$runs" = 0 ] && runs=-1
name=$(basename "$fuzzer")
dir=$(dirname "$fuzzer")
if [ "$runs" = -1 ]; then
  corpus=$dir/new-corpus/$name
else
  corpus=$(mktemp -d)
  trap 'rm -rf "$corpus"' EXIT
fi
artifacts=$dir/artifacts/
report=$dir/artifacts/$name.log
mkdir -p "$corpus" "$artifacts"
status=0
"$fuzzer" -runs="$runs" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" "$seeds" >"$report" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  # A failing run shows its whole report: the stack, the input and how to reproduce it.
  cat "$report"
  echo "report kept in $report; crash inputs in $artifacts" >&2
else
  grep -E "^(Done |stat::(number_of_executed_units|new_units_added|peak_rss_mb))" "$report" || true
  [ "$runs" != -1 ] || echo "$(find "$corpus" -type f | wc -l) inputs kept in $corpus; report in $report"
fi
exit "$status"
