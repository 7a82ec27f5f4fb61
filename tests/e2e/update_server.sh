# Sourced by the end-to-end scripts: the native update server (quorvel-server) on a free
# loopback port, without DNS.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

# start_update_server SERVER WORK_DIR LABEL: adds the name LABEL and starts the server, its log
# in WORK_DIR/server.log and its store in WORK_DIR/store.db; sets $server (its pid), $port and
# $known (the identifier made for LABEL).
start_update_server() {
  local binary=$1 work=$2 label=$3
  if [ ! -x "$binary" ]; then
    echo "FAIL: no update server at '$binary' (configure with -DQUORVEL_UPDATE_SERVER=<native build>/server/quorvel-server)"
    exit 1
  fi
  known=$("$binary" add "$label" --store "$work/store.db" | tail -n 1)
  : >"$work/server.log"
  "$binary" serve --listen 127.0.0.1:0 --store "$work/store.db" >"$work/server.log" 2>&1 &
  server=$!
  port=$(server_port "$work/server.log" "$server")
  if [ -z "$port" ] || [ -z "$known" ]; then
    echo "FAIL: the update server did not start:"; cat "$work/server.log"; exit 1
  fi
}

stop_update_server() {
  if [ -n "${server:-}" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
}
