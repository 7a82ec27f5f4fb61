# Sourced by the end-to-end scripts: the native reference update server on a free loopback port.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

# start_refserver REFSERVER WORK_DIR IDENTIFIER: starts it with one known identifier, its log in
# WORK_DIR/server.log and its store in WORK_DIR/ids.txt; sets $server (its pid) and $port.
start_refserver() {
  local refserver=$1 work=$2 id=$3
  if [ ! -x "$refserver" ]; then
    echo "FAIL: no reference server at '$refserver' (configure with -DQUORVEL_REFSERVER=<native build>/tools/refserver)"
    exit 1
  fi
  : >"$work/server.log"
  "$refserver" --port 0 --store "$work/ids.txt" --add-id "$id" >"$work/server.log" 2>&1 &
  server=$!
  port=$(refserver_port "$work/server.log" "$server")
  if [ -z "$port" ]; then
    echo "FAIL: the reference server did not start:"; cat "$work/server.log"; exit 1
  fi
}

stop_refserver() {
  if [ -n "${server:-}" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
}
