#!/usr/bin/env bash
# The real quorveld against the update server (quorvel-server): a running `quorveld run` follows
# `activate` (an update at once, the success line), an unknown identifier (the service off,
# the message on standard error, still running), a new activation, `deactivate` and SIGTERM;
# then `once` with each of its exit statuses, and a start with the service active. The test
# has its own settings folder.
#
# usage: quorveld_e2e.sh QUORVELD UPDATE_SERVER
set -uo pipefail
quorveld=$1 update_server=$2

work=$(mktemp -d)
server="" daemon=""
cleanup() {
  for p in $daemon $server; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config

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
"$update_server" serve --listen 127.0.0.1:0 --store "$work/store.db" >"$work/server.log" 2>&1 &
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
check "the server answered the update from 127.0.0.1" \
  "\"GET /update\?ip_key=${known:0:4}\*\*\* HTTP/1\.0\" 200 found, recorded 127\.0\.0\.1 for maison$" "$work/server.log"

"$quorveld" activate "$unknown"
wait_for "${t}Service désactivé\.$" "$work/out" 4 || fail "an unknown identifier switches the service off"
check "the unknown identifier's message on standard error" "^Cet identifiant n'existe pas !$" "$work/err"
sleep 0.5
kill -0 "$daemon" 2>/dev/null && ok "run goes on after an unknown identifier" || fail "run ended"
"$quorveld" status >"$work/status"
check "the store shows the service off" "^Le service est désactivé\.$" "$work/status"

# A new activation is followed again, then a deactivation.
from=$(($(wc -l <"$work/out") + 1))
"$quorveld" activate "$known"
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 4 "$from" \
  && ok "a new activation after the unknown identifier" || fail "a new activation after the unknown identifier"
from=$(($(wc -l <"$work/out") + 1))
"$quorveld" deactivate
wait_for "${t}Désactivation du service\.\.\.$" "$work/out" 4 "$from" \
  && ok "run follows deactivate" || fail "run follows deactivate"

start=$(date +%s%N)
kill -TERM "$daemon"; wait "$daemon"; code=$?; daemon=""
ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ $code -eq 0 ] && [ $ms -lt 1000 ] && ok "SIGTERM: exit 0 in ${ms} ms" || fail "SIGTERM: exit $code in ${ms} ms"
echo "--- run's output:"; cat "$work/out"

# once: 0 for found, 2 for an unknown identifier, 1 for a server that cannot be reached.
"$quorveld" activate "$known"
"$quorveld" once >"$work/once" 2>&1; code=$?
[ $code -eq 0 ] && grep -Eq "${t}Identifiant mis à jour avec succès\.$" "$work/once" \
  && ok "once: found, status 0" || fail "once with a known identifier ($code)"
"$quorveld" activate "$unknown"
"$quorveld" once >"$work/once" 2>"$work/err"; code=$?
[ $code -eq 2 ] && grep -qx "Cet identifiant n'existe pas !" "$work/err" \
  && ok "once: unknown identifier, status 2" || fail "once with an unknown identifier ($code)"
QUORVEL_SERVER=127.0.0.1:1 "$quorveld" once >"$work/once" 2>&1; code=$?
[ $code -eq 1 ] && grep -Eq "${t}Impossible de se connecter au serveur maitre\.$" "$work/once" \
  && ok "once: no server, status 1" || fail "once without a server ($code)"

# Started with the service active: no update at once, the first when the stored interval has
# counted down (one minute, here of 20 ms ticks).
"$quorveld" activate "$known" --interval 1
QUORVEL_TICK_MS=20 "$quorveld" run >"$work/out" 2>&1 &
daemon=$!
sleep 0.5
grep -q "succès" "$work/out" && fail "an active start updated at once" || ok "an active start waits for its countdown"
wait_for "${t}Identifiant mis à jour avec succès\.$" "$work/out" 5 \
  && ok "the first update when the countdown ends" || fail "no update after the countdown"
kill "$daemon"; wait "$daemon"; daemon=""

# A new address on the machine (in a network namespace of its own, where the test may add
# one): the early update's line, then the update itself ten ticks later (no server there).
if unshare -n true 2>/dev/null && command -v ip >/dev/null; then
  "$quorveld" activate "$known" --interval 60
  unshare -n bash -c 'ip link set lo up
    QUORVEL_TICK_MS=20 QUORVEL_SERVER=127.0.0.1:1 "$1" run >"$2" 2>&1 & d=$!
    sleep 0.5; ip addr add 192.0.2.7/32 dev lo; sleep 1; kill $d; wait $d' _ "$quorveld" "$work/netns"
  check "a new address brings the update forward" "${t}Changement de réseau, mise à jour dans 10 secondes\.$" "$work/netns"
  check "the early update is made" "${t}Impossible de se connecter au serveur maitre\.$" "$work/netns"
else
  echo "note: no network namespace here; the address change is not tested"
fi
exit $status
