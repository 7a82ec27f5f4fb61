#!/usr/bin/env bash
# The real quorvel.exe against the update server (quorvel-server): starts the server on a free
# loopback port with one name and its identifier, runs the Windows driver under Wine (it starts Quorvel and
# plays the scenario: "activation" activates with that identifier, then with an unknown one;
# "log-order" runs several updates in a row; "https" goes through nginx with a test authority
# the prefix trusts, then meets the three refusals), and checks what the server recorded. Run by
# CTest in the Windows build, inside the Wine prefix of test.sh.
#
# usage: quorvel_e2e.sh SCENARIO UPDATE_SERVER DRIVER_EXE QUORVEL_EXE WINE_RUN
set -euo pipefail
scenario=$1 update_server=$2 driver=$3 quorvel=$4 wine_run=$5

source "$(dirname "$0")/update_server.sh"
work=$(mktemp -d)
server="" nginx="" relay=""
cleanup() {
  # All stopped before any is waited for.
  kill $relay $nginx 2>/dev/null || true
  stop_tls_proxy
  stop_update_server
  rm -rf "$work"
}
trap cleanup EXIT

unknown="e2e-unknown-$RANDOM"
start_update_server "$update_server" "$work" e2e
echo "update server on 127.0.0.1:$port, name e2e, identifier $known"

status=0
check() {  # WHAT PATTERN FILE
  if grep -Eq "$2" "$3"; then echo "ok: $1"; else echo "FAIL: $1"; status=1; fi
}
updates() { grep -c "GET /update?ip_key=" "$work/server.log" || true; }

if [ "$scenario" = https ]; then
  start_tls_proxy "$work" "$port"
  "$wine_run" "$driver" trust "$(winepath -w "$work/tls/ca.der" 2>/dev/null)" || status=1
  exe=$(winepath -w "$quorvel" 2>/dev/null)
  # A name (SNI, matched against the DNS name) through a relay that keeps the wire's bytes, then
  # an address (matched against the IP one).
  start_relay "$p_good" "$work/wire"
  for address in "https://localhost:$p_relay" "https://127.0.0.1:$p_good"; do
    "$wine_run" "$driver" https "$exe" "$address" "$known" - || status=1
  done
  wire=$(stat -c %s "$work/wire")
  if [ "$wire" -gt 1000 ] && ! grep -aq -- "$known" "$work/wire" && ! grep -aq "ip_key" "$work/wire"; then
    echo "ok: the relay saw $wire bytes, no identifier and no request in them"
  else
    echo "FAIL: the identifier or the request crossed the relay in clear ($wire bytes)"; status=1
  fi
  [ "$(updates)" -eq 2 ] && echo "ok: both https updates reached the server" || { echo "FAIL: https updates at the server: $(updates)"; status=1; }
  before=$(updates)
  # The plain update server itself behind https:// answers the hello in HTTP or hangs up.
  for refusal in "https://localhost:$p_untrusted;Certificat du serveur refusé: autorité inconnue" \
    "https://localhost:$p_misnamed;Certificat du serveur refusé: nom différent (other.example)" \
    "https://127.0.0.1:$port;Connexion TLS refusée: le serveur "; do
    IFS=';' read -r address line <<<"$refusal"
    "$wine_run" "$driver" refused "$exe" "$address" "$known" "$line" || status=1
  done
  [ "$(updates)" -eq "$before" ] && echo "ok: no refused update reached the server" || { echo "FAIL: a refused update was sent"; status=1; }
  echo "update server's log:"
  sed 's/^/  /' "$work/server.log"
  exit $status
fi

# The activation is pointed at the server as friends hand it out, a URL.
address=127.0.0.1:$port
[ "$scenario" = activation ] && address=http://$address/
"$wine_run" "$driver" "$scenario" "$(winepath -w "$quorvel" 2>/dev/null)" "$address" "$known" "$unknown" || status=1

echo "update server's log:"
sed 's/^/  /' "$work/server.log"
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
