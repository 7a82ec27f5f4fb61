#!/usr/bin/env bash
# The real quorveld against the update server (quorvel-server): a running `quorveld run` follows
# `activate` (an update at once, the success line), an unknown identifier (the service off,
# the message on standard error, still running), a new activation, `deactivate` and SIGTERM;
# then `once` with each of its exit statuses, and a start with the service active (an update
# within ten ticks). Then what keeps it from being fooled or frozen: refused identifiers and
# server values, one run per settings folder, the signals, `status`'s codes, the store's edge
# cases and its lock, and a reader of the log that never reads. With --ipv6, each update also
# goes to the server's ::1 (a name given both loopback addresses). The test has its own folders.
#
# usage: quorveld_e2e.sh QUORVELD UPDATE_SERVER
set -uo pipefail
quorveld=$1 update_server=$2

work=$(mktemp -d)
server="" daemon="" nginx="" relay=""
cleanup() {
  for p in $daemon $server $nginx $relay; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state

status=0
ok() { echo "ok: $1"; }
fail() { echo "FAIL: $1"; status=1; }
check() {  # WHAT PATTERN FILE
  if grep -Eq -- "$2" "$3"; then ok "$1"; else fail "$1"; fi
}
# wait_for PATTERN FILE SECONDS [FIRST_LINE]: true once the pattern shows in the file (from
# that line on).
wait_for() {
  local i
  for ((i = 0; i < $3 * 20; i++)); do
    tail -n +"${4:-1}" "$2" | grep -Eq -- "$1" && return 0
    sleep 0.05
  done
  return 1
}

unknown="unknown-$RANDOM"
known=$("$update_server" add maison --store "$work/store.db" | tail -n 1)
# A second identifier, of the same length as every identifier the server makes: a re-activation
# changes nothing else.
other=$("$update_server" add bureau --store "$work/store.db" | tail -n 1)
# Many updates of one name within a minute here: above the server's own limit.
"$update_server" serve --listen 127.0.0.1:0 --store "$work/store.db" --max-updates-per-minute 1000 \
  >"$work/server.log" 2>&1 &
server=$!
wait_for '^listening on http://127\.0\.0\.1:[0-9]+/$' "$work/server.log" 5 || { echo "FAIL: no server"; exit 1; }
port=$(sed -n '1s|^listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/server.log")
export QUORVEL_SERVER=127.0.0.1:$port
t='^[0-9]{2}:[0-9]{2}:[0-9]{2}  '

# The same words as the window's message box, and status 2, for an activation without identifier.
"$quorveld" activate 2>"$work/err"; code=$?
[ $code -eq 2 ] && grep -qx "Aucun identifiant unique n'est spécifié" "$work/err" \
  && ok "activate without an identifier: its message, status 2" || fail "activate without an identifier ($code)"

"$quorveld" run >"$work/out" 2>"$work/err" &
daemon=$!
wait_for "${t}Le service est désactivé\.$" "$work/out" 5 || fail "run starts with the service off"

start=$(date +%s%N)
"$quorveld" activate "$known" --interval 1
if wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 4; then
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  ok "run follows activate: an update at once, found (${ms} ms)"
  [ $ms -le 2500 ] || fail "the activation took ${ms} ms to be followed"
else
  fail "run follows activate"
fi
wait_for "\"GET /update\?ip_key=${known:0:4}\*\*\* HTTP/1\.0\" 200 found, recorded 127\.0\.0\.1 for maison$" \
  "$work/server.log" 2 && ok "the server answered the update from 127.0.0.1" \
  || fail "the server answered the update from 127.0.0.1"

# The same length and interval, another identifier: followed all the same.
from=$(($(wc -l <"$work/out") + 1))
"$quorveld" activate "$other"
wait_for "${t}Envoie de votre adresse IP \( identifiant: $other \)\.\.\.$" "$work/out" 4 "$from" \
  && ok "a re-activation with an identifier of the same length is followed" \
  || fail "a re-activation with an identifier of the same length is followed"
"$quorveld" status >"$work/status"; code=$?
[ $code -eq 0 ] && grep -Eq "^quorveld run: en marche \(pid $daemon\)$" "$work/status" \
  && ok "status: on (0), the running daemon's pid" || fail "status while on ($code): $(cat "$work/status")"
"$quorveld" run >"$work/second" 2>&1; code=$?
[ $code -eq 1 ] && grep -q "another quorveld run (pid $daemon)" "$work/second" \
  && ok "a second run says so and exits 1" || fail "a second run ($code)"

from=$(($(wc -l <"$work/out") + 1))
"$quorveld" activate "$unknown"
wait_for "${t}Service désactivé\.$" "$work/out" 4 "$from" || fail "an unknown identifier switches the service off"
# The message comes after the deactivation's lines, as the window's box does.
wait_for "^Cet identifiant n'existe pas !$" "$work/err" 2 \
  && ok "the unknown identifier's message on standard error" \
  || fail "the unknown identifier's message on standard error"
sleep 0.5
kill -0 "$daemon" 2>/dev/null && ok "run goes on after an unknown identifier" || fail "run ended"
n=$(tail -n +"$from" "$work/out" | grep -c "Désactivation du service\.\.\.")
[ "$n" -eq 1 ] && ok "one deactivation after the unknown identifier" || fail "$n deactivations after the unknown identifier"
"$quorveld" status >"$work/status"; code=$?
check "the store shows the service off" "^Le service est désactivé\.$" "$work/status"
[ $code -eq 3 ] && ok "status: off is 3" || fail "status when off: $code"
check "status: the last update's time and outcome" "^Dernière mise à jour: [0-9-]{10} [0-9:]{8} unknown$" "$work/status"

# A new activation is followed again, then a deactivation.
from=$(($(wc -l <"$work/out") + 1))
"$quorveld" activate "$known"
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 4 "$from" \
  && ok "a new activation after the unknown identifier" || fail "a new activation after the unknown identifier"
from=$(($(wc -l <"$work/out") + 1))
"$quorveld" deactivate
wait_for "${t}Désactivation du service\.\.\.$" "$work/out" 4 "$from" \
  && ok "run follows deactivate" || fail "run follows deactivate"

# SIGHUP reads the store again and goes on; SIGUSR1 updates now.
"$quorveld" activate "$known" --interval 60
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 4 "$(($(wc -l <"$work/out")))"
from=$(($(wc -l <"$work/out") + 1))
kill -HUP "$daemon"; kill -USR1 "$daemon"
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 4 "$from" \
  && ok "SIGHUP goes on, SIGUSR1 updates now" || fail "SIGHUP then SIGUSR1"

# The settings folder removed under a running daemon: made again and watched.
rm -rf "$XDG_CONFIG_HOME/quorvel"
sleep 0.3
from=$(($(wc -l <"$work/out") + 1))
"$quorveld" activate "$known"
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 4 "$from" \
  && ok "a removed settings folder is watched again" || fail "a removed settings folder is watched again"

start=$(date +%s%N)
kill -TERM "$daemon"; wait "$daemon"; code=$?; daemon=""
ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ $code -eq 0 ] && [ $ms -lt 1000 ] && ok "SIGTERM: exit 0 in ${ms} ms" || fail "SIGTERM: exit $code in ${ms} ms"
check "the stop is logged" "${t}Arrêt de quorveld \(SIGTERM\)\.$" "$work/out"
echo "--- run's output:"; cat "$work/out"

# once: 0 for found, 2 for an unknown identifier, 1 for a server that cannot be reached.
"$quorveld" activate "$known"
"$quorveld" once >"$work/once" 2>&1; code=$?
[ $code -eq 0 ] && grep -Eq "${t}Identifiant mis à jour avec succès\.$" "$work/once" \
  && ok "once: found, status 0" || fail "once with a known identifier ($code)"
# The server given as a URL, as friends hand it out: the same as host:port.
QUORVEL_SERVER=http://127.0.0.1:$port/ "$quorveld" once >"$work/once" 2>&1; code=$?
[ $code -eq 0 ] && grep -Eq "${t}Quorvel Version 2\.0 - 127\.0\.0\.1:$port$" "$work/once" \
  && ok "QUORVEL_SERVER=http://127.0.0.1:port/: found, status 0" || fail "QUORVEL_SERVER as a URL ($code)"
"$quorveld" activate "$unknown"
"$quorveld" once >"$work/once" 2>"$work/err"; code=$?
[ $code -eq 2 ] && grep -qx "Cet identifiant n'existe pas !" "$work/err" \
  && ok "once: unknown identifier, status 2" || fail "once with an unknown identifier ($code)"
"$quorveld" status >/dev/null && ok "once leaves the store as it was (still on)" || fail "once changed the store"
QUORVEL_SERVER=127.0.0.1:1 "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
[ $code -eq 1 ] && grep -Eq "${t}Impossible de se connecter au serveur maitre\.$" "$work/once" \
  && ok "once: no server, status 1" || fail "once without a server ($code)"
grep -q "Retentera" "$work/once" && fail "once promises a retry" || ok "once promises no retry"
check "once: the reason after the failure lines" "^quorveld: 127\.0\.0\.1:1: Connection refused$" "$work/err"
QUORVEL_SERVER=name.invalid "$quorveld" once >/dev/null 2>"$work/err"
check "once: a name that does not resolve says so" "^quorveld: name\.invalid:80: name not found$" "$work/err"

# IPv6: a server on 127.0.0.1 and ::1 with one port, and a name with both addresses (nss_wrapper's
# hosts file: this machine's localhost may have no ::1). Each update then goes over both.
nss=$(ls /usr/lib/*/libnss_wrapper.so 2>/dev/null | head -n 1)
dual_port=$(python3 -c 'import socket
for _ in range(50):
    a = socket.socket(); a.bind(("127.0.0.1", 0)); p = a.getsockname()[1]
    b = socket.socket(socket.AF_INET6)
    try:
        b.bind(("::1", p)); print(p); break
    except OSError: pass')
if [ -z "$nss" ] || [ -z "$dual_port" ]; then
  echo "SKIP: IPv6 cases (no libnss_wrapper or no ::1)"
else
  dual=$("$update_server" add double --store "$work/dual.db" | tail -n 1)
  "$update_server" serve --listen 127.0.0.1:$dual_port --listen "[::1]:$dual_port" --store "$work/dual.db" \
    >"$work/dual.log" 2>&1 &
  server="$server $!"
  wait_for '^listening on http://\[::1\]:' "$work/dual.log" 5 || fail "the server listens on ::1"
  printf '127.0.0.1 dual.quorvel.test\n::1 dual.quorvel.test\n' >"$work/hosts"
  # The wrapper is preloaded; under AddressSanitizer, whose runtime then is not first, that is
  # allowed explicitly.
  nss_env=(env LD_PRELOAD="$nss" NSS_WRAPPER_HOSTS="$work/hosts"
           ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")
  dual_env=("${nss_env[@]}" QUORVEL_SERVER=dual.quorvel.test:$dual_port)
  # status's exit code tells the service's state (3: off), so its text is read from a file: in a
  # pipe, with pipefail, that code would count.
  "$quorveld" status >"$work/status6"
  grep -qx "IPv6: désactivé" "$work/status6" && ok "IPv6 is off by default" \
    || fail "IPv6 off by default: $(cat "$work/status6")"
  "${dual_env[@]}" "$quorveld" once >"$work/once" 2>&1
  grep -q "IPv6" "$work/once" && fail "IPv6 off: no IPv6 exchange" || ok "IPv6 off: no IPv6 exchange"
  "$quorveld" activate "$dual" --ipv6
  "$quorveld" activate "$dual"
  "$quorveld" status >"$work/status6"
  grep -qx "IPv6: activé" "$work/status6" && ok "activate keeps IPv6 on without --ipv6" \
    || fail "IPv6 kept: $(cat "$work/status6")"
  "${dual_env[@]}" "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
  [ $code -eq 0 ] && grep -Eq "${t}Identifiant mis à jour avec succès\.$" "$work/once" \
    && grep -Eq "${t}IPv6: Identifiant mis à jour avec succès\.$" "$work/once" \
    && ok "once --ipv6: found over IPv4 then IPv6, status 0" || fail "once over both families ($code)"
  "$update_server" list --store "$work/dual.db" | grep -Eq "^double 127\.0\.0\.1 ::1 " \
    && ok "the server recorded 127.0.0.1 and ::1" || fail "the server's record: $("$update_server" list --store "$work/dual.db")"
  # An IPv4 literal has no IPv6 address: one line, no failure.
  QUORVEL_SERVER=127.0.0.1:$dual_port "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
  [ $code -eq 0 ] && grep -Eq "${t}IPv6: 127\.0\.0\.1 n'a pas d'adresse IPv6\.$" "$work/once" \
    && ! grep -q "Impossible" "$work/once" && [ ! -s "$work/err" ] \
    && ok "no IPv6 address: said once, no failure" || fail "no IPv6 address ($code)"
  # A bracketed IPv6 address: the update goes there, once.
  QUORVEL_SERVER="[::1]:$dual_port" "$quorveld" once >"$work/once" 2>&1; code=$?
  [ $code -eq 0 ] && [ "$(grep -c "succès" "$work/once")" = 1 ] && grep -q "Version 2.0 - \[::1\]:$dual_port$" "$work/once" \
    && ok "QUORVEL_SERVER=[::1]:port: one update over IPv6" || fail "QUORVEL_SERVER=[::1]:port ($code)"
  # The first server listens on 127.0.0.1 only: the IPv6 exchange fails, the update stands.
  "$quorveld" activate "$known"
  "${nss_env[@]}" QUORVEL_SERVER=dual.quorvel.test:$port "$quorveld" once \
    >"$work/once" 2>"$work/err"; code=$?
  [ $code -eq 0 ] && grep -Eq "${t}IPv6: Impossible de se connecter au serveur maitre\.$" "$work/once" \
    && grep -qx "quorveld: IPv6: dual\.quorvel\.test:$port: Connection refused" "$work/err" \
    && ok "IPv6 refused: its own failure lines and reason, status still 0" || fail "IPv6 refused ($code)"
  # An identifier unknown over IPv6 only (another server, with no names, on ::1): unknown all
  # the same; `once` says so with status 2, `run` switches the service off.
  "$update_server" serve --create --listen "[::1]:$port" --store "$work/empty6.db" >"$work/empty6.log" 2>&1 &
  server="$server $!"
  if wait_for '^listening on http://\[::1\]:' "$work/empty6.log" 5; then
    "${nss_env[@]}" QUORVEL_SERVER=dual.quorvel.test:$port "$quorveld" once \
      >"$work/once" 2>&1; code=$?
    [ $code -eq 2 ] && grep -Eq "${t}Identifiant mis à jour avec succès\.$" "$work/once" \
      && grep -Eq "${t}IPv6: Cet identifiant n'existe pas ! Abbandon\.\.\.$" "$work/once" \
      && ok "once: unknown over IPv6 only, status 2" || fail "once unknown over IPv6 ($code)"
    "${nss_env[@]}" QUORVEL_SERVER=dual.quorvel.test:$port QUORVEL_TICK_MS=20 \
      "$quorveld" run >"$work/run6" 2>&1 &
    daemon=$!
    wait_for "${t}Service désactivé\.$" "$work/run6" 5 && { "$quorveld" status >/dev/null; [ $? -eq 3 ]; } \
      && ok "run: unknown over IPv6 only switches the service off" || fail "run: unknown over IPv6"
    kill -TERM "$daemon"; wait "$daemon"; daemon=""
  else
    fail "a server on [::1]:$port"
  fi
  "$quorveld" activate "$dual"
  # run: the timer's update goes over both too, and the service stays on.
  "${dual_env[@]}" QUORVEL_TICK_MS=20 "$quorveld" run >"$work/run6" 2>&1 &
  daemon=$!
  wait_for "${t}IPv6: Identifiant mis à jour avec succès\.$" "$work/run6" 5 \
    && ok "run --ipv6: the start's update goes over IPv6 too" || fail "run --ipv6"
  kill -TERM "$daemon"; wait "$daemon"; daemon=""
  "$quorveld" activate "$dual" --no-ipv6
  "$quorveld" status >"$work/status6"
  grep -qx "IPv6: désactivé" "$work/status6" && ok "--no-ipv6 clears it" || fail "--no-ipv6: $(cat "$work/status6")"
fi

# Refused before anything is stored or sent: identifiers that are blank, that hold a control
# character, or that the store could not read back; server values that are not host[:port].
"$quorveld" activate "$known" --interval 7
for id in "   " "$(printf 'a\r\nX-Evil: 1')" "$(head -c 1100 /dev/zero | tr '\0' a)"; do
  "$quorveld" activate "$id" 2>"$work/err"; code=$?
  [ $code -eq 2 ] && [ -s "$work/err" ] && ok "activate refuses '${id:0:12}': $(head -c 70 "$work/err")" \
    || fail "activate '${id:0:12}' ($code)"
done
"$quorveld" activate "$other"
"$quorveld" status >"$work/status"
check "activate without --interval keeps the stored one" "^Intervalle: 7 minutes$" "$work/status"
check "the refused identifiers left the store as it was" "^Identifiant: $other$" "$work/status"
for bad in 127.0.0.1:99999 host:8O80 http: "http://127.0.0.1:$port/update" "https://127.0.0.1:$port/update"; do
  QUORVEL_SERVER=$bad "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
  [ ! -s "$work/once" ] || fail "QUORVEL_SERVER=$bad: something was logged"
  [ $code -eq 2 ] && grep -q "QUORVEL_SERVER.*'$bad'" "$work/err" \
    && ok "QUORVEL_SERVER=$bad: status 2, named" || fail "QUORVEL_SERVER=$bad ($code)"
done

# https://: nginx in front of the same update server, with certificates of a CA the test makes;
# the identifier never crosses the network in clear, and a server that cannot prove who it is
# gets nothing.
if command -v nginx >/dev/null && command -v openssl >/dev/null; then
  # (The same proxy and relay as the window's https test.)
  source "$(dirname "${BASH_SOURCE[0]}")/../e2e/update_server.sh"
  start_tls_proxy "$work" "$port"
  tls=$work/tls
  start_relay "$p_good" "$tls/wire"
  export QUORVEL_CA_FILE=$tls/ca.pem
  updates() { grep -c "GET /update?ip_key=" "$work/server.log"; }
  before=$(updates)
  # A name (sent as SNI, matched against the DNS name) through the relay; an address, matched
  # against the IP address the certificate names.
  for url in "https://localhost:$p_relay" "https://127.0.0.1:$p_good/"; do
    QUORVEL_SERVER=$url "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
    [ $code -eq 0 ] && grep -Eq "${t}Identifiant mis à jour avec succès\.$" "$work/once" \
      && ok "once over $url: found, status 0" || fail "once over $url ($code): $(cat "$work/err")"
  done
  check "the banner names the https server" "^${t}Quorvel Version 2\.0 - https://127\.0\.0\.1:$p_good$" "$work/once"
  # TLS 1.3: the session tickets that come after the handshake, the reply and the close, all in
  # one read (a holding relay in front of nginx's TLS 1.3 port).
  wire_relay=$relay
  start_relay "$p_tls13" "$tls/wire13" hold
  hold_relay=$relay relay=$wire_relay
  QUORVEL_SERVER="https://localhost:$p_relay" timeout 10 "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
  kill $hold_relay; wait $hold_relay 2>/dev/null
  [ $code -eq 0 ] && grep -Eq "${t}Identifiant mis à jour avec succès\.$" "$work/once" \
    && ok "once over TLS 1.3 with session tickets: found, status 0" || fail "once over TLS 1.3 ($code): $(cat "$work/err")"
  [ "$(updates)" -eq $((before + 3)) ] && ok "the three https updates reached the server" || fail "https updates at the server"
  wire=$(stat -c %s "$tls/wire")
  if [ "$wire" -gt 1000 ] && ! grep -aq -- "$other" "$tls/wire" && ! grep -aq "ip_key" "$tls/wire"; then
    ok "the relay saw $wire bytes, no identifier and no request in them"
  else
    fail "the identifier or the request crossed the relay in clear ($wire bytes)"
  fi
  QUORVEL_SERVER="https://127.0.0.1:$p_good" "$quorveld" status >"$work/status"
  check "status names the https server" "^Serveur: https://127\.0\.0\.1:$p_good$" "$work/status"
  # The refusals: a CA nobody trusts here, a certificate for another name, a plain HTTP server
  # behind https:// (never a fall-back to it). Each is a failed update with its reason.
  before=$(updates)
  # (The plain server answers a TLS hello with an HTTP error or with its end, depending on
  # the hello's random bytes.)
  for refusal in "$p_untrusted;certificate.*issuer is unknown;a CA that is not trusted" \
    "$p_misnamed;certificate.*does not match;a certificate for another name" \
    "$port;(plain HTTP, not TLS|during the TLS handshake);a plain HTTP server behind https://"; do
    IFS=';' read -r p why what <<<"$refusal"
    QUORVEL_SERVER="https://127.0.0.1:$p" "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
    [ $code -eq 1 ] && grep -Eq "^quorveld: https://127\.0\.0\.1:$p: .*$why" "$work/err" \
      && grep -Eq "${t}Impossible de se connecter au serveur maitre\.$" "$work/once" \
      && ok "$what: status 1, '$(head -c 150 "$work/err")'" || fail "$what ($code): $(cat "$work/err")"
  done
  [ "$(updates)" -eq "$before" ] && ok "nothing reached the server from the refused ones" || fail "a refused update was sent"
  # The server's own TLS, no proxy: a second server on a copy of the store (one server per store).
  "$update_server" backup "$work/https.db" --store "$work/store.db" >/dev/null
  # The pair under a path of its own, as a renewal rewrites it in place.
  cp "$tls/good.pem" "$work/live.pem"; cp "$tls/good.key" "$work/live.key"
  "$update_server" serve --listen 127.0.0.1:0 --listen-https 127.0.0.1:0 --tls-cert "$work/live.pem" \
    --tls-key "$work/live.key" --store "$work/https.db" >"$work/https.log" 2>&1 &
  https_server=$!
  server="$server $https_server"
  if wait_for '^listening on https://127\.0\.0\.1:[0-9]+/$' "$work/https.log" 5; then
    hp=$(sed -n 's|^listening on https://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/https.log")
    QUORVEL_SERVER="https://127.0.0.1:$hp" "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
    [ $code -eq 0 ] && grep -Eq "${t}Identifiant mis à jour avec succès\.$" "$work/once" \
      && ok "once over the server's own TLS: found, status 0" || fail "once over --listen-https ($code): $(cat "$work/err")"
    QUORVEL_SERVER="127.0.0.1:$hp" "$quorveld" once >"$work/once" 2>"$work/err"; code=$?
    [ $code -eq 1 ] && ! grep -Eq "succès|existe pas" "$work/once" \
      && ok "plain HTTP to the TLS socket: no status word, status 1" || fail "plain HTTP to --listen-https ($code)"
    # A renewal: a new pair in place, SIGHUP, and the next connection gets the new certificate.
    # Then pairs that cannot be used (another certificate's key, no PEM, no file): each logged
    # with why, the renewed pair kept, the server still answering.
    served() { openssl s_client -connect "127.0.0.1:$hp" </dev/null 2>/dev/null | openssl x509 -noout -serial; }
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=renewed" \
      -keyout "$tls/renewed.key" -out "$tls/renewed.csr" 2>/dev/null
    openssl x509 -req -in "$tls/renewed.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
      -extfile <(printf 'subjectAltName=IP:127.0.0.1\n') -out "$tls/renewed.pem" 2>/dev/null
    old_serial=$(openssl x509 -noout -serial -in "$tls/good.pem") new_serial=$(openssl x509 -noout -serial -in "$tls/renewed.pem")
    [ "$(served)" = "$old_serial" ] && ok "--listen-https serves its certificate ($old_serial)" || fail "served: $(served)"
    hup() {  # EXPECTED-LOG-PATTERN: SIGHUP, then wait for the reload's line
      local from=$(($(wc -l <"$work/https.log") + 1))
      kill -HUP "$https_server"
      wait_for "$1" "$work/https.log" 5 "$from"
    }
    cp "$tls/renewed.pem" "$work/live.pem"; cp "$tls/renewed.key" "$work/live.key"
    hup "SIGHUP: TLS certificate reloaded: CN=renewed, serial" && [ "$(served)" = "$new_serial" ] \
      && ok "SIGHUP: the renewed certificate on the next connection ($new_serial)" \
      || fail "renewal: served $(served), log $(tail -n 2 "$work/https.log")"
    QUORVEL_SERVER="https://127.0.0.1:$hp" "$quorveld" once >"$work/once" 2>"$work/err" \
      && ok "once over the renewed certificate" || fail "once after the renewal: $(cat "$work/err")"
    for bad in "$tls/good.key;do not match;another certificate's key" "-;no PEM block;a key that is not PEM" \
      "none;cannot read it;no key file"; do
      IFS=';' read -r key why what <<<"$bad"
      case $key in -) echo "not a key" >"$work/live.key" ;; none) rm -f "$work/live.key" ;; *) cp "$key" "$work/live.key" ;; esac
      hup "SIGHUP: TLS certificate not reloaded, still serving CN=renewed.*: .*$why" && [ "$(served)" = "$new_serial" ] \
        && kill -0 "$https_server" && ok "SIGHUP with $what: logged, the renewed pair kept" \
        || fail "SIGHUP with $what: served $(served), log $(tail -n 2 "$work/https.log")"
    done
  else
    fail "no https line from --listen-https: $(cat "$work/https.log")"
  fi
  # A key that cannot be read refuses the start, and says which (a server that started anyway
  # is ended by the timeout, and fails the check).
  timeout 5 "$update_server" serve --listen 127.0.0.1:0 --listen-https 127.0.0.1:0 --tls-cert "$tls/good.pem" \
    --tls-key "$work/none.key" --store "$work/https.db" >"$work/https-bad.log" 2>&1; code=$?
  [ $code -ne 0 ] && grep -q -- "--tls-key $work/none.key: cannot read it" "$work/https-bad.log" \
    && ok "an unreadable --tls-key refuses the start, named" || fail "an unreadable --tls-key ($code): $(cat "$work/https-bad.log")"
  # A key of another certificate: GnuTLS's reason, then the server's refusal.
  timeout 5 "$update_server" serve --listen 127.0.0.1:0 --listen-https 127.0.0.1:0 --tls-cert "$tls/good.pem" \
    --tls-key "$tls/misnamed.key" --store "$work/https-pair.db" --create >"$work/https-bad.log" 2>&1; code=$?
  [ $code -ne 0 ] && grep -q "do not match" "$work/https-bad.log" && grep -q "cannot start the HTTPS server" "$work/https-bad.log" \
    && ok "a key that is not the certificate's refuses the start" || fail "a mismatched pair ($code): $(cat "$work/https-bad.log")"
  unset QUORVEL_CA_FILE
  QUORVEL_SERVER="https://127.0.0.1:$p_good" "$quorveld" once >/dev/null 2>"$work/err"; code=$?
  [ $code -eq 1 ] && grep -q "certificate" "$work/err" && ok "without QUORVEL_CA_FILE the test CA is not trusted" \
    || fail "the test CA trusted without QUORVEL_CA_FILE ($code)"
  QUORVEL_CA_FILE=$work/none QUORVEL_SERVER="https://127.0.0.1:$p_good" "$quorveld" once >/dev/null 2>"$work/err"; code=$?
  [ $code -eq 1 ] && grep -q "QUORVEL_CA_FILE" "$work/err" && ok "an unreadable QUORVEL_CA_FILE is named" \
    || fail "an unreadable QUORVEL_CA_FILE ($code)"
  kill $nginx $relay; wait $nginx $relay 2>/dev/null
  nginx="" relay=""
  # The plain path does not even load the TLS library.
  ! ldd "$quorveld" | grep -q gnutls && ok "quorveld is not linked with GnuTLS" || fail "quorveld linked with GnuTLS"
else
  echo "note: no nginx or openssl here; https:// is not tested"
fi

# once without an identifier: its message, status 1.
mkdir -p "$work/empty"
XDG_CONFIG_HOME=$work/empty "$quorveld" once >/dev/null 2>"$work/err"; code=$?
[ $code -eq 1 ] && grep -qx "Aucun identifiant valide" "$work/err" \
  && ok "once without an identifier: status 1" || fail "once without an identifier ($code)"

# Started with the service active: the first update within ten ticks (here of 100 ms), not a
# whole interval later.
"$quorveld" activate "$known" --interval 1
# A daemon started in the background empties its output files only once its shell runs: files
# used before are emptied first, so that a wait never reads the last run's lines.
: >"$work/out"
QUORVEL_TICK_MS=100 "$quorveld" run >"$work/out" 2>&1 &
daemon=$!
wait_for "${t}Démarrage du service, mise à jour dans 10 secondes\.$" "$work/out" 2 \
  && ok "an active start announces its early update" || fail "an active start announces its early update"
sleep 0.5
grep -q "succès" "$work/out" && fail "an active start updated at once" || ok "an active start waits its ten ticks"
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 5 \
  && ok "the first update ten ticks after the start" || fail "no update after the start"
kill "$daemon"; wait "$daemon"; daemon=""

# SIGTERM ends run within a second even while an update waits on a server that never answers.
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
print(s.getsockname()[1], flush=True); time.sleep(60)' >"$work/silent.port" &
silent=$!
wait_for '^[0-9]+$' "$work/silent.port" 5
: >"$work/out"
QUORVEL_SERVER=127.0.0.1:$(cat "$work/silent.port") "$quorveld" run >"$work/out" 2>&1 &
daemon=$!
wait_for "${t}Démarrage du service" "$work/out" 3 && kill -USR1 "$daemon"
wait_for "${t}Envoie de la requête effectué\.$" "$work/out" 3 || fail "an update to the silent server"
start=$(date +%s%N)
kill -TERM "$daemon"; wait "$daemon"; daemon=""
ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ $ms -lt 1000 ] && ok "SIGTERM during an unanswered update: ended in ${ms} ms" || fail "SIGTERM during an update took ${ms} ms"
kill "$silent"; wait "$silent" 2>/dev/null

# The store's edge cases: a FIFO, a file over the cap. Reported, never waited on, never
# rewritten.
store=$XDG_CONFIG_HOME/quorvel/settings
cp "$store" "$work/good"
rm "$store"; mkfifo "$store"
timeout 5 "$quorveld" status >/dev/null 2>"$work/err"; code=$?
[ $code -eq 4 ] && grep -q "not a regular file" "$work/err" && ok "a FIFO store: status 4, said" || fail "FIFO store: status $code"
timeout 5 "$quorveld" activate "$known" 2>"$work/err"; code=$?
[ $code -eq 1 ] && [ -p "$store" ] && grep -q "not a regular file" "$work/err" \
  && ok "a FIFO store: activate 1, the FIFO left" || fail "FIFO store: activate $code"
rm "$store"; { cat "$work/good"; head -c 1100000 /dev/zero | tr '\0' '#'; } >"$store"
size=$(stat -c %s "$store")
"$quorveld" deactivate 2>"$work/err"; code=$?
[ $code -eq 1 ] && [ "$(stat -c %s "$store")" -eq "$size" ] && grep -q "larger than" "$work/err" \
  && ok "an over-cap store: deactivate 1, the file untouched" || fail "over-cap store: deactivate $code"
: >"$work/out"; : >"$work/err"
"$quorveld" run >"$work/out" 2>"$work/err" &
daemon=$!
wait_for "larger than" "$work/err" 3 && ok "run reports an over-cap store" || fail "run reports an over-cap store"
cp "$work/good" "$store.new" && mv "$store.new" "$store"
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 4 \
  && ok "run follows the store once it is whole again" || { fail "run follows the store once whole again"; cat "$work/out" "$work/err"; }

# The store's lock: a command waits for a reader holding it, and gives up after 5 s.
flock -s "$XDG_CONFIG_HOME/quorvel" sleep 1 &
sleep 0.2
start=$(date +%s%N)
"$quorveld" activate "$other"; code=$?
ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ $code -eq 0 ] && [ $ms -ge 600 ] && ok "activate waits for a reader's lock (${ms} ms)" || fail "activate and a reader's lock ($code, ${ms} ms)"
flock -s "$XDG_CONFIG_HOME/quorvel" sleep 7 &
holder=$!
sleep 0.2
"$quorveld" deactivate 2>"$work/err"; code=$?
[ $code -eq 1 ] && grep -q "lock" "$work/err" && ok "a lock held too long: deactivate 1, said" || fail "a lock held too long ($code)"
kill "$holder"; wait "$holder"
kill "$daemon"; wait "$daemon"; daemon=""

# A reader that never reads (a 4 KiB pipe): the daemon goes on, commands complete, SIGTERM
# ends it, and the lines lost are counted once the output flows again.
python3 - "$quorveld" "$known" "$other" <<'PY' && ok "a stalled log reader freezes nothing" || fail "a stalled log reader"
import fcntl, os, signal, subprocess, sys, time
quorveld, ids = sys.argv[1], sys.argv[2:]
r, w = os.pipe()
fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ
daemon = subprocess.Popen([quorveld, "run"], stdout=w, stderr=subprocess.DEVNULL)
os.close(w)
try:
    time.sleep(0.3)
    # Each activation logs about 300 bytes: 200 of them, three times what the pipe and the
    # daemon's queue (20 KiB) hold. Every one stores something new, and each waits a moment
    # after the last, so that none is lost to the daemon reading two at once (on an idle
    # machine an activation takes 4 ms, and the daemon read only one in five). Under the
    # sanitizers the commands skip the leak check at their exit (the daemon keeps it): it is
    # most of a start's cost there.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    for i in range(200):
        start = time.time()
        subprocess.run([quorveld, "activate", ids[i % 2], "--interval", str(i % 59 + 1)],
                       check=True, timeout=5, env=env)
        assert time.time() - start < 2, "activate took %.1f s" % (time.time() - start)
        time.sleep(0.02)
    time.sleep(0.3)
    os.set_blocking(r, False)
    text, deadline = b"", time.time() + 5
    while b"lignes perdues" not in text and time.time() < deadline:
        try:
            text += os.read(r, 65536)
        except BlockingIOError:
            time.sleep(0.05)
    assert b"lignes perdues" in text, "no count of the lost lines"
    start = time.time()
    daemon.send_signal(signal.SIGTERM)
    daemon.wait(timeout=1)
finally:
    daemon.kill()
PY

# A new address on the machine (in a network namespace of its own, where the test may add
# one, with its own update server): after the start's update, the early update's line, then
# the update itself sixty ticks later.
if unshare -n true 2>/dev/null && command -v ip >/dev/null; then
  ns_id=$("$update_server" add maison --store "$work/ns.db" | tail -n 1)
  "$quorveld" activate "$ns_id" --interval 60
  unshare -n bash -c 'ip link set lo up
    "$2" serve --listen 127.0.0.1:0 --store "$4/ns.db" >"$4/server-ns.log" 2>&1 & s=$!
    sleep 0.3
    port=$(sed -n "1s|^listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p" "$4/server-ns.log")
    QUORVEL_TICK_MS=20 QUORVEL_SERVER=127.0.0.1:$port "$1" run >"$3" 2>&1 & d=$!
    sleep 0.5; ip addr add 192.0.2.7/32 dev lo; sleep 2; kill $d $s; wait $d' \
    _ "$quorveld" "$update_server" "$work/netns" "$work"
  check "a new address brings the update forward" "${t}Changement de réseau, mise à jour dans 60 secondes\.$" "$work/netns"
  n=$(grep -c "succès" "$work/netns")
  [ "$n" -eq 2 ] && ok "the early update is made" || fail "the early update is made ($n updates)"
else
  echo "note: no network namespace here; the address change is not tested"
fi
exit $status
