#!/usr/bin/env bash
# Builds Quorvel and starts it, pointed at the update server (quorvel-server) on this machine:
# create an identifier in the browser (or use the demo one), activate, and watch the log.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
need_packages "${BUILD_PACKAGES[@]}" "${WINE_PACKAGES[@]}"
root=build
export CMAKE_BUILD_PARALLEL_LEVEL=${QUORVEL_JOBS:-2}

say "building the update server and quorvel.exe"
cmake --preset native >/dev/null
cmake --build --preset native --target quorvel-server >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target quorvel >/dev/null
quorvel="$root/windows/window/quorvel.exe"

# The server keeps its names in build/demo/store.db from one run to the next. It keeps no
# identifier in clear, so the demo name gets a new one on each run, shown below.
demo="$(realpath "$root")/demo"
mkdir -p "$demo"
qserver="$root/native/server/quorvel-server"
"$qserver" remove demo --store "$demo/store.db" >/dev/null 2>&1 || true
demo_id=$("$qserver" add demo --store "$demo/store.db" | tail -n 1)
server_log="$demo/server.log"
"$qserver" serve --listen "127.0.0.1:${QUORVEL_DEMO_PORT:-0}" --store "$demo/store.db" --open-creation >"$server_log" 2>&1 &
server=$!
follower=""
demo_prefix=""
stop_all() {
  [ -z "$follower" ] || kill "$follower" 2>/dev/null || true
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  [ -z "$demo_prefix" ] || WINEPREFIX="$demo_prefix" wineserver -k >/dev/null 2>&1 || true
}
trap stop_all EXIT

port=$(server_port "$server_log" "$server")
if [ -z "$port" ]; then
  echo "the update server did not start:" >&2
  cat "$server_log" >&2
  exit 1
fi

say "update server on 127.0.0.1:$port"
echo "   Create an identifier in your browser:  http://127.0.0.1:$port/creer.php6"
echo "   (\"Créer un identifiant unique\" in Quorvel opens the same page)"
echo "   or use the demo identifier (made now):  $demo_id"
echo "   Type it into \"Votre identifiant unique:\" and click \"Activer le service\"."
echo "   The server's requests are shown below and kept in $server_log."

say "starting Quorvel (Wine prefix $demo/wine-prefix)"
[ -n "${DISPLAY:-}" ] || echo "   No display: Quorvel runs on a virtual one (Xvfb); stop it with Ctrl-C."
tail -n +2 -f --pid="$server" "$server_log" | sed -u 's/^/   server: /' &
follower=$!
# The prefix's helpers start on the display Quorvel uses, or it would find no display.
demo_prefix="$demo/wine-prefix"
status=0
QUORVEL_SERVER="127.0.0.1:$port" with_display bash -c \
  'source scripts/common.sh && wine_prefix "$1" && wine "$2"' _ "$demo_prefix" "$quorvel" || status=$?
say "Quorvel has ended; stopping the server"
exit $status
