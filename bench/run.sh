#!/usr/bin/env bash
# Performance and footprint of quorvel.exe beside the floor the platform allows, in one run
# under Wine: program size and imports, start-up, one update exchange on loopback, memory and
# handles, idle CPU time. Medians of several runs; a table at the end.
#
#   bench/run.sh
#
# QUORVEL_BUILD_DIR     build root (default build); the bench builds in $QUORVEL_BUILD_DIR/bench
# BENCH_START_RUNS      start-ups of each program (default 15)
# BENCH_UPDATE_RUNS     timed update exchanges of each kind (default 51)
# BENCH_TLS_RUNS        timed update exchanges over TLS, program and floor (default 31)
# BENCH_UPDATES         updates made by the service before its footprint is read again (default 1000)
# BENCH_IDLE_SECONDS    idle period (default 60)
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
source scripts/common.sh

root=${QUORVEL_BUILD_DIR:-build}
dir=$(realpath -m "$root/bench")
export BENCH_START_RUNS=${BENCH_START_RUNS:-15}
export BENCH_UPDATE_RUNS=${BENCH_UPDATE_RUNS:-51}
export BENCH_TLS_RUNS=${BENCH_TLS_RUNS:-31}
export BENCH_UPDATES=${BENCH_UPDATES:-1000}
export BENCH_IDLE_SECONDS=${BENCH_IDLE_SECONDS:-60}
jobs=${QUORVEL_JOBS:-2}
quorvel="$dir/window/quorvel.exe"
floor="$dir/bench/floor_window.exe"
results="$dir/results"
metrics="$results/metrics.txt"

metric() { printf 'metric %s %s\n' "$1" "$2" >>"$metrics"; }
# The DLLs a program loads at start, from its import table.
imports() { x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ { print $3 }' | sort -fu; }
# Windows sees this machine's root as drive Z:.
winpath() { local p; p=$(realpath "$1"); printf 'Z:%s' "${p//\//\\}"; }

run_windows() {  # FILE TITLE PROGRAM ARGS...: output to $results/FILE.txt, its metrics collected
  local file=$1 title=$2; shift 2
  say "$title"
  if ! nice wine "$@" >"$results/$file.txt" 2>"$results/$file.err"; then
    cat "$results/$file.txt" "$results/$file.err" >&2
    echo "bench: $title failed" >&2
    exit 1
  fi
  grep '^metric ' "$results/$file.txt" >>"$metrics" || true
}

# CPU time in ms (user + system, all threads) of the Linux processes of this prefix whose
# command line holds NAME: what the Wine process itself burns, as Linux counts it.
prefix_pids() {  # NAME
  local pid
  for pid in $(pgrep -f -- "$1" || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then echo "$pid"; fi
  done
}
cpu_ms() {  # PID...
  local pid total=0 ticks
  ticks=$(getconf CLK_TCK)
  for pid in "$@"; do
    # utime and stime: fields 14 and 15, counted after the ")" that ends the command name.
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }')))
  done
  echo $((total * 1000 / ticks))
}

# Idle: the launcher starts both programs and waits; the CPU time they and the wineserver use
# meanwhile is read here, from Linux, because Wine reports no CPU time for another process.
measure_idle() {
  local log="$results/idle.txt"
  nice wine "$dir/bench/bench_launcher.exe" idle "$BENCH_IDLE_SECONDS" "$(winpath "$quorvel")" "$(winpath "$floor")" "$known" \
    >"$log" 2>"$results/idle.err" &
  local launcher=$!
  local waited=0
  until grep -q '^idle-begin' "$log" 2>/dev/null; do
    if ! kill -0 "$launcher" 2>/dev/null || [ $waited -gt 600 ]; then
      cat "$log" "$results/idle.err" >&2
      echo "bench: idle run failed" >&2
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  local q f s before_q before_f before_s start end
  q=$(prefix_pids '^[^ ]*quorvel\.exe( |$)') f=$(prefix_pids '^[^ ]*floor_window\.exe( |$)')
  s=$(prefix_pids '^[^ ]*wineserver[0-9]*( |$)')
  if [ -z "$q" ] || [ -z "$f" ] || [ -z "$s" ]; then
    echo "bench: cannot find the idle processes (quorvel '$q', floor '$f', wineserver '$s')" >&2
    exit 1
  fi
  start=$(date +%s%N)
  before_q=$(cpu_ms $q) before_f=$(cpu_ms $f) before_s=$(cpu_ms $s)
  sleep "$BENCH_IDLE_SECONDS"
  metric linux_quorvel_idle_cpu_ms $(($(cpu_ms $q) - before_q))
  metric linux_floor_idle_cpu_ms $(($(cpu_ms $f) - before_f))
  metric linux_wineserver_idle_cpu_ms $(($(cpu_ms $s) - before_s))
  end=$(date +%s%N)
  metric linux_idle_seconds "$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')"
  if ! wait "$launcher"; then
    cat "$log" "$results/idle.err" >&2
    echo "bench: idle run failed" >&2
    exit 1
  fi
  grep '^metric ' "$log" >>"$metrics" || true
}

print_table() {
awk -v start_runs="$BENCH_START_RUNS" -v update_runs="$BENCH_UPDATE_RUNS" '
  $1 == "metric" { m[$2] = $3 }
  function row(what, value, floor, target) {
    printf "| %-46s | %14s | %14s | %8s | %-24s |\n", what, value, floor, \
      (floor + 0 > 0 && value ~ /^[0-9.]+/ ? sprintf("%.2f", value / floor) : "-"), target
  }
  END {
    printf "| %-46s | %14s | %14s | %8s | %-24s |\n", "measure", "quorvel", "floor", "ratio", "target"
    printf "|%s|%s|%s|%s|%s|\n", "------------------------------------------------", "----------------", "----------------", "----------", "--------------------------"
    row("program file (bytes)", m["quorvel_size_bytes"], m["floor_size_bytes"], "<= 200000")
    printf "| %-46s | %-57s |\n", "imported DLLs", m["quorvel_imports"]
    printf "| %-46s | %-57s |\n", "imports that are not system DLLs", m["quorvel_foreign_imports"]
    row("start to window shown with banner (ms)", sprintf("%.1f", m["quorvel_start_ms"]), sprintf("%.1f", m["floor_start_ms"]), "<= 1.2x floor")
    row("  fastest start (ms)", sprintf("%.1f", m["quorvel_start_min_ms"]), sprintf("%.1f", m["floor_start_min_ms"]), "")
    row("  floor with the DLLs and manifest (ms)", sprintf("%.1f", m["floor_imports_start_ms"]), sprintf("%.1f", m["floor_start_ms"]), "")
    row("  against the floor with the same DLLs (ms)", sprintf("%.1f", m["quorvel_start_ms"]), sprintf("%.1f", m["floor_imports_start_ms"]), "<= 1.2x this floor")
    row("update exchange, service (ms)", sprintf("%.3f", m["update_service_ms"]), sprintf("%.3f", m["update_floor_async_ms"]), "<= 1.2x floor")
    row("  same, vs blocking floor client (ms)", sprintf("%.3f", m["update_service_ms"]), sprintf("%.3f", m["update_floor_blocking_ms"]), "")
    row("  service with its log box (ms)", sprintf("%.3f", m["update_service_logbox_ms"]), sprintf("%.3f", m["update_floor_async_ms"]), "")
    row("update exchange over TLS, service (ms)", sprintf("%.3f", m["update_tls_service_ms"]), sprintf("%.3f", m["update_tls_floor_ms"]), "<= 1.1x Schannel floor")
    row("  fastest over TLS (ms)", sprintf("%.3f", m["update_tls_service_min_ms"]), sprintf("%.3f", m["update_tls_floor_min_ms"]), "")
    row("start-ups with a TLS DLL loaded (plain server)", sprintf("%d", m["quorvel_start_tls_loaded_runs"]), sprintf("%d", m["floor_imports_start_tls_loaded_runs"]), "= 0")
    row("private memory after start (KB)", sprintf("%.0f", m["quorvel_start_private_kb"]), sprintf("%.0f", m["floor_start_private_kb"]), "")
    row("handles after start", sprintf("%.0f", m["quorvel_start_handles"]), sprintf("%.0f", m["floor_start_handles"]), "")
    row("bench private memory, 1st update (KB)", sprintf("%.0f", m["update_private_kb_first"]), "", "")
    row(sprintf("bench private memory, %d updates (KB)", m["updates_total"] / 2), sprintf("%.0f", m["update_private_kb_half"]), "", "")
    row(sprintf("bench private memory, %d updates (KB)", m["updates_total"]), sprintf("%.0f", m["update_private_kb_last"]), "", sprintf("<= 1st + 64 (%+.0f)", m["update_private_kb_last"] - m["update_private_kb_first"]))
    row("bench handles, 1st update", sprintf("%.0f", m["update_handles_first"]), "", "")
    row(sprintf("bench handles, %d updates", m["updates_total"]), sprintf("%.0f", m["update_handles_last"]), "", sprintf("= 1st (%+.0f)", m["update_handles_last"] - m["update_handles_first"]))
    row(sprintf("idle CPU, service active, %.0f s (ms)", m["linux_idle_seconds"]), sprintf("%d", m["linux_quorvel_idle_cpu_ms"]), sprintf("%d", m["linux_floor_idle_cpu_ms"]), "")
    row("idle CPU (% of one core)", sprintf("%.4f", m["linux_quorvel_idle_cpu_ms"] / (10 * m["linux_idle_seconds"])), sprintf("%.4f", m["linux_floor_idle_cpu_ms"] / (10 * m["linux_idle_seconds"])), "< 0.1")
    row("  wineserver meanwhile, whole prefix (ms)", sprintf("%d", m["linux_wineserver_idle_cpu_ms"]), "", "")
    row("private memory after idle period (KB)", sprintf("%.0f", m["quorvel_idle_private_kb"]), "", "")
    printf "\nquorvel.exe start-up step by step, in process (medians, ms):\n"
    for (k in m) if (k ~ /^phase_/) phases[k] = m[k]
    for (i = 1; i <= 9; i++) for (k in phases) if (k ~ ("^phase_" i "_")) { name = k; sub(/^phase_[0-9]+_/, "", name); printf "  %-36s %8.1f\n", name, phases[k] }
    printf "\nstart-up: %d runs of each program; update: %d runs each, %d updates in all; over TLS: %d runs each; idle log unchanged: %s\n", \
      start_runs, update_runs, m["updates_total"], m["update_tls_runs"], (m["quorvel_idle_log_unchanged"] + 0 == 1 ? "yes" : "NO")
  }' "$metrics" | tee "$results/table.md"
}

# The Windows programs, on one display, in one Wine prefix whose helpers start on it.
if [ "${1:-}" = "--table" ]; then  # the table again, from the last run's figures
  print_table
  exit 0
fi

if [ "${1:-}" = "--measure" ]; then
  wine_prefix "$dir/wine-prefix"
  source tests/e2e/update_server.sh
  trap 'stop_tls_proxy; stop_update_server; wineserver -k >/dev/null 2>&1 || true' EXIT
  # No update server is needed for start-up and idle; this address refuses at once if asked.
  export QUORVEL_SERVER=127.0.0.1:9
  run_windows start-up "start-up: $BENCH_START_RUNS runs of each, interleaved" \
    "$dir/bench/bench_launcher.exe" startup "$BENCH_START_RUNS" "$(winpath "$quorvel")" "$(winpath "$floor")" \
    "$(winpath "$dir/bench/floor_imports.exe")"
  run_windows update "update exchange: $BENCH_UPDATE_RUNS runs of each, interleaved; $BENCH_UPDATES updates" \
    "$dir/bench/bench_update.exe" "$BENCH_UPDATE_RUNS" "$BENCH_UPDATES"
  # Over TLS: the update server behind the https end-to-end test's nginx and test authority
  # (certificate for 127.0.0.1), the authority trusted in this prefix by bench_update.
  tls_work="$results/tls-server"
  mkdir -p "$tls_work"
  # Every update of the runs is answered "found": no flood limit.
  start_update_server "$server_program" "$tls_work" bench --max-updates-per-minute 0
  start_tls_proxy "$tls_work" "$port"
  run_windows update-tls "update exchange over TLS: $BENCH_TLS_RUNS runs of each, interleaved, nginx on 127.0.0.1:$p_good" \
    "$dir/bench/bench_update.exe" tls "$BENCH_TLS_RUNS" "$p_good" "$known" "$(winpath "$tls_work/tls/ca.der")"
  stop_tls_proxy
  stop_update_server
  nginx="" server=""
  say "start-up of quorvel.exe step by step, in process: $BENCH_START_RUNS runs"
  for _ in $(seq "$BENCH_START_RUNS"); do
    nice wine "$dir/bench/startup_phases.exe" 2>>"$results/phases.err" || { echo "bench: startup_phases failed" >&2; exit 1; }
  done >"$results/phases.txt"
  awk '$1 == "phase" { v[$2] = v[$2] " " $3; order[$2] = order[$2] ? order[$2] : ++n }
    END {
      for (k in v) {
        c = split(v[k], a, " "); asorted = ""
        for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
        med = c % 2 ? a[(c + 1) / 2] : (a[c / 2] + a[c / 2 + 1]) / 2
        printf "metric phase_%d_%s %.3f\n", order[k], k, med
      }
    }' "$results/phases.txt" >>"$metrics"
  say "idle: $BENCH_IDLE_SECONDS s with the service active"
  # The logon start's first update must be answered "found": a failure's retry a minute later
  # would fall in the period.
  start_update_server "$server_program" "$tls_work" bench-idle
  QUORVEL_SERVER=127.0.0.1:$port measure_idle
  stop_update_server
  exit 0
fi

need_packages "${BUILD_PACKAGES[@]}" "${WINE_PACKAGES[@]}" procps nginx-light openssl

say "building quorvel.exe, the floor and the bench programs in $dir"
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=ON >/dev/null
nice cmake --build "$dir" -j "$jobs" --target quorvel floor_window floor_imports bench_launcher bench_update startup_phases >/dev/null
say "building the update server (native, for the TLS exchange) in $dir-native"
cmake -S . -B "$dir-native" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF >/dev/null
nice cmake --build "$dir-native" -j "$jobs" --target quorvel-server >/dev/null
export server_program="$dir-native/server/quorvel-server"

rm -rf "$results"
mkdir -p "$results"
: >"$metrics"

say "size and imports"
imports "$quorvel" >"$results/quorvel-imports.txt"
imports "$floor" >"$results/floor-imports.txt"
metric quorvel_size_bytes "$(stat -c %s "$quorvel")"
metric floor_size_bytes "$(stat -c %s "$floor")"
# Only DLLs that come with Windows itself: no C++ runtime, no threading library beside it.
system_dlls='^(advapi32|comctl32|gdi32|kernel32|msvcrt|shell32|user32|ws2_32|ntdll|ole32|shlwapi|comdlg32|uxtheme|version|imm32|api-ms-win-[a-z0-9-]+)\.dll$'
foreign=$(grep -viE "$system_dlls" "$results/quorvel-imports.txt" | paste -sd, || true)
metric quorvel_imports "$(paste -sd, "$results/quorvel-imports.txt")"
metric quorvel_foreign_imports "${foreign:-none}"
metric floor_imports "$(paste -sd, "$results/floor-imports.txt")"

with_display "$self" --measure

say "results (medians; raw output in $results)"
print_table
