#!/usr/bin/env bash
# quorveld beside inadyn and ddclient on this machine, against one loopback server (nothing
# leaves 127.0.0.1): one forced update in one-shot mode (with the floor: a static C client that
# only connects, sends the request and reads the reply), then the three running as daemons.
# Builds quorveld as packaged (size-optimised), installs the other two, prints a table.
#
#   bench/daemons.sh          (about three minutes; not part of ./test.sh)
#
# QUORVEL_BUILD_DIR   build root (default build); quorveld is built in $QUORVEL_BUILD_DIR/bench-daemon
# BENCH_RUNS          one-shot runs of each program (default 15)
# BENCH_UPDATES       updates quorveld makes before its memory is read again (default 1000)
# BENCH_IDLE_SECONDS  idle period (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
need_packages cmake make g++ libc6-dev python3 inadyn ddclient openssl curl nginx-light

build=${QUORVEL_BUILD_DIR:-build}/bench-daemon
say "building quorveld"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel -DQUORVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j "${QUORVEL_JOBS:-2}" --target quorveld >/dev/null
strip "$build/daemon/quorveld"
gcc -O2 -static -o "$build/spawn_usage" bench/spawn_usage.c
gcc -O2 -static -o "$build/floor_client" bench/floor_client.c
say "machine"
echo "$(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "inadyn $(inadyn --version), ddclient $(dpkg-query -W -f='${Version}' ddclient), commit $(git rev-parse --short HEAD), $(date -u +%F)"
say "measuring"
python3 bench/daemons.py "$build/daemon/quorveld" "$build/spawn_usage" "$build/floor_client"
