#!/usr/bin/env bash
# The real quorvel.exe against the update server (quorvel-server): starts the server on a free
# loopback port with one name and its identifier, runs the Windows driver under Wine (it starts Quorvel and
# plays the scenario: "activation" activates with that identifier, then with an unknown one;
# "log-order" runs several updates in a row), and checks what the server recorded. Run by
# CTest in the Windows build, inside the Wine prefix of test.sh.
#
# usage: quorvel_e2e.sh SCENARIO UPDATE_SERVER DRIVER_EXE QUORVEL_EXE WINE_RUN
set -euo pipefail
scenario=$1 update_server=$2 driver=$3 quorvel=$4 wine_run=$5

source "$(dirname "$0")/update_server.sh"
work=$(mktemp -d)
server=""
cleanup() {
  stop_update_server
  rm -rf "$work"
}
trap cleanup EXIT

unknown="e2e-unknown-$RANDOM"
start_update_server "$update_server" "$work" e2e
echo "update server on 127.0.0.1:$port, name e2e, identifier $known"

status=0
# The activation is pointed at the server as friends hand it out, a URL.
address=127.0.0.1:$port
[ "$scenario" = activation ] && address=http://$address/
"$wine_run" "$driver" "$scenario" "$(winepath -w "$quorvel" 2>/dev/null)" "$address" "$known" "$unknown" || status=1

echo "update server's log:"
sed 's/^/  /' "$work/server.log"
check() {  # WHAT PATTERN FILE
  if grep -Eq "$2" "$3"; then echo "ok: $1"; else echo "FAIL: $1"; status=1; fi
}
# The log shows an identifier's first four characters only.
found="^[0-9TZ:-]+ 127\.0\.0\.1:[0-9]+ \"GET /update\?ip_key=${known:0:4}\*\*\* HTTP/1\.0\" 200 found, (recorded|unchanged) 127\.0\.0\.1 for e2e$"
if [ "$scenario" = log-order ]; then
  updates=$(grep -Ec "$found" "$work/server.log" || true)
  if [ "$updates" -ge 6 ]; then echo "ok: the server answered $updates updates"; else echo "FAIL: the server answered $updates updates"; status=1; fi
  exit $status
fi
check "the server answered the known identifier with found, from 127.0.0.1" \
  "$found" "$work/server.log"
check "the server answered the unknown identifier with notfound" \
  "\"GET /update\?ip_key=${unknown:0:4}\*\*\* HTTP/1\.0\" 200 notfound$" "$work/server.log"
"$update_server" list --store "$work/store.db" >"$work/list"
check "the server's store records the address of the update" "^e2e 127\.0\.0\.1 - " "$work/list"
exit $status
