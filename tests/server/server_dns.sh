#!/usr/bin/env bash
# quorvel-server against a real knotd on loopback: A and AAAA follow the updates, a change
# replaces the record in one UPDATE, an unchanged address sends nothing (the SOA serial
# stays), the primary down then back, pending work across a restart, removal (also while
# the primary is down), the flood rule, X-Forwarded-For trusted and not, dyndns2 from the
# real ddclient and inadyn, and SIGTERM.
#
# usage: server_dns.sh QUORVEL_SERVER
set -uo pipefail
server_bin=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/knot-local.sh"
source "$here/checks.sh"

work=$(mktemp -d)
server=""
cleanup() {
  [ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; }
  knot_stop
  rm -rf "$work"
}
trap cleanup EXIT

# in_log PATTERN: the server writes its log from its own thread, a moment after it answers.
in_log() {
  local i
  for ((i = 0; i < 40; i++)); do grep -q -- "$1" "$work/server.log" && return 0; sleep 0.05; done
  return 1
}

mkdir -p "$work/knot"
knot_start "$work/knot" || { echo "FAIL: knotd did not start"; exit 1; }
zone=$KNOT_ZONE
cat >"$work/server.conf" <<CONF
# the same options as the command line
store = $work/store.db
zone = $zone
dns-server = $KNOT_SERVER
tsig-key = $KNOT_KEYFILE
ttl = 120
listen = 127.0.0.1:0
listen = [::1]:0
CONF
qs() { "$server_bin" "$@" --config "$work/server.conf"; }

start_server() {  # [OPTIONS...]: sets $server, $port, $port6
  : >"$work/server.log"
  "$server_bin" serve "$@" --config "$work/server.conf" >>"$work/server.log" 2>&1 &
  server=$!
  local i
  for ((i = 0; i < 100; i++)); do
    port=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/server.log")
    port6=$(sed -n 's|^listening on http://\[::1\]:\([0-9]*\)/$|\1|p' "$work/server.log")
    [ -n "$port" ] && [ -n "$port6" ] && return 0
    sleep 0.05
  done
  echo "FAIL: the server did not start:"; cat "$work/server.log"; exit 1
}
stop_server() {
  kill "$server"; wait "$server"; local code=$?; server=""; return $code
}
update() { curl -s -g "http://${2:-127.0.0.1:$port}/update?ip_key=$1" "${@:3}" | tail -c 20 | sed 's/.*-->//'; }
metric() { curl -s "http://127.0.0.1:$port/metrics" | awk -v m="$1" '$1 == m {print $2}'; }

# A key that cannot sign is refused at start, not at the first push.
for secret in c2VjcmV0c2VjcmV0c2VjcmV0c2VjcmV0YQ 'c2Vj=mV0'; do
  printf 'key "%s" {\n\talgorithm hmac-sha256;\n\tsecret "%s";\n};\n' "$KNOT_KEYNAME" "$secret" >"$work/bad.key"
  out=$(timeout 5 "$server_bin" serve --create --config "$work/server.conf" --tsig-key "$work/bad.key" 2>&1)
  code=$?
  [ $code -eq 1 ] && [[ "$out" == *"bad.key: the key's secret is not base64"* ]] &&
    ok "a secret that is not base64 ($secret): serve refuses to start" || fail "secret $secret: status $code, said: $out"
done

id=$(qs add maison | tail -n 1)
id2=$(qs add bureau | tail -n 1)
[[ "$id" =~ ^[A-Za-z0-9_-]{16,32}$ ]] && ok "add prints the identifier on its last line" || fail "add printed '$id'"

# A key the primary does not hold (another secret): said as such; the work stays pending.
printf 'key "%s" {\n\talgorithm hmac-sha256;\n\tsecret "%s";\n};\n' "$KNOT_KEYNAME" "$(head -c 32 /dev/urandom | base64)" >"$work/other.key"
cp "$work/other.key" "$work/live.key"
start_server --tsig-key "$work/live.key"
expect "with a key the primary refuses, the update is found" found "$(update "$id")"
in_log "dns: push failed, 1 name(s) kept as pending (key refused by the primary 127.0.0.1:$KNOT_PORT (NOTAUTH))" &&
  ok "  the log says the key is refused" || { fail "  no key-refused line"; grep dns: "$work/server.log"; }
# SIGHUP: a key that does not read is logged and the running one kept; the right key is taken
# at once, without a restart, and the pending work reaches the zone.
echo "not a key" >"$work/live.key"
kill -HUP "$server"
in_log "SIGHUP: not reloaded, the running configuration kept: $work/live.key holds no key" &&
  ok "SIGHUP with a key that does not read: logged, the old one kept" || fail "  no not-reloaded line"
cp "$KNOT_KEYFILE" "$work/live.key"
kill -HUP "$server"
in_log "SIGHUP: configuration reloaded; TSIG key $KNOT_KEYNAME, ttl 120" && ok "SIGHUP with the right key: reloaded" ||
  fail "  no reloaded line"
expect "  the pending update reaches the zone with it" 127.0.0.1 "$(until_equal 5 127.0.0.1 knot_query maison A)"
kill -0 "$server" && ok "  the server runs on" || fail "  the server ended"
stop_server
start_server

# A from an IPv4 peer, AAAA from an IPv6 one; each keeps the other.
expect "update over IPv4 is found" found "$(update "$id")"
expect "the A record follows at once" 127.0.0.1 "$(until_equal 3 127.0.0.1 knot_query maison A)"
expect "update over IPv6 is found" found "$(update "$id" "[::1]:$port6")"
expect "the AAAA record follows" ::1 "$(until_equal 3 ::1 knot_query maison AAAA)"
expect "the A record is kept beside it" 127.0.0.1 "$(knot_query maison A)"
expect "the TTL is the configured one" 120 "$(kdig @127.0.0.1 -p "$KNOT_PORT" +noall +answer maison.$zone. A | awk '{print $2}')"

# Unchanged: nothing sent, the serial stays.
serial=$(knot_serial)
for _ in 1 2 3; do update "$id" >/dev/null; done
sleep 0.5
expect "unchanged updates send no UPDATE: the SOA serial stays" "$serial" "$(knot_serial)"
in_log "found, unchanged 127.0.0.1 for maison" && ok "the log says unchanged" || fail "no unchanged line"

# Replacement, through a trusted proxy's X-Forwarded-For: one A record, the new one.
expect "X-Forwarded-For from an untrusted peer is ignored" found "$(update "$id2" "" -H 'X-Forwarded-For: 198.51.100.1')"
expect "  bureau gets the peer's address" 127.0.0.1 "$(until_equal 3 127.0.0.1 knot_query bureau A)"
stop_server && ok "SIGTERM: status 0" || fail "SIGTERM status"
start_server --trusted-proxy 127.0.0.1
expect "from a trusted proxy, its last entry is the address" found "$(update "$id2" "" -H 'X-Forwarded-For: 10.9.9.9, 198.51.100.7')"
expect "  the A record is replaced, not added to" 198.51.100.7 "$(until_equal 3 198.51.100.7 knot_query bureau A)"
expect "  an IPv6 entry goes to AAAA" found "$(update "$id2" "" -H 'X-Forwarded-For: 2001:db8::7')"
expect "  AAAA" 2001:db8::7 "$(until_equal 3 2001:db8::7 knot_query bureau AAAA)"
expect "  and A is kept" 198.51.100.7 "$(knot_query bureau A)"

# An address changed while the previous change is on its way to DNS (the primary holds its
# answer): the newer one ends in DNS, not the one the primary was answering about.
kill -STOP "$KNOT_PID"
update "$id2" "" -H 'X-Forwarded-For: 198.51.100.21' >/dev/null
sleep 0.3
update "$id2" "" -H 'X-Forwarded-For: 198.51.100.22' >/dev/null
sleep 0.3
kill -CONT "$KNOT_PID"
expect "a change made while the previous one is on its way ends in DNS" 198.51.100.22 \
  "$(until_equal 5 198.51.100.22 knot_query bureau A)"
in_log "dns: pushed bureau A 198.51.100.21" && ok "  after the one on its way" || fail "  the first change was not pushed"

# The flood: 10 updates a minute per name, the 11th denied; nothing written for it.
for i in $(seq 1 10); do update "$id" >/dev/null; done  # this run's first ten
word=$(update "$id")
[ "$word" = denied ] && ok "more than 10 updates of one name within a minute: denied" || fail "flood answered '$word'"
in_log "denied, more than 10 updates of maison" && ok "  the log says so" || fail "  no denied line"
expect "  another name is not held back" found "$(update "$id2")"

# The primary down: answered at once, kept as pending, carried out when it is back.
knot_stop
start_ms=$(date +%s%N)
expect "with DNS down, an update is still found" found "$(update "$id2" "" -H 'X-Forwarded-For: 198.51.100.8')"
ms=$(( ($(date +%s%N) - start_ms) / 1000000 ))
[ $ms -lt 1000 ] && ok "  answered without waiting for DNS (${ms} ms)" || fail "  the reply took ${ms} ms"
sleep 0.5
in_log "dns: push failed, 1 name(s) kept as pending" && ok "  the log says the push failed" || fail "  no failure line"
expect "  metrics count it pending" 1 "$(metric quorvel_dns_pending)"
[ "$(metric 'quorvel_dns_pushes_total{result="failed"}')" -ge 1 ] && ok "  and the failed push" ||
  fail "  failed pushes: $(metric 'quorvel_dns_pushes_total{result="failed"}')"
# ...and across a restart of the server.
stop_server && ok "SIGTERM with pending work: status 0" || fail "SIGTERM status with pending"
in_log "stopped, 1 name(s) with DNS work kept" && ok "  the work is kept" || fail "  no kept line"
expect "remove while DNS is down succeeds" 0 "$(qs remove maison >"$work/remove.out" 2>&1; echo $?)"
grep -q "kept as pending" "$work/remove.out" && ok "  and keeps the removal as pending work" || { fail "  remove said:"; cat "$work/remove.out"; }
knot_again || { echo "FAIL: knotd did not start again"; exit 1; }
start_server
expect "after the restart, the pending change reaches DNS" 198.51.100.8 "$(until_equal 5 198.51.100.8 knot_query bureau A)"
expect "  and the pending removal too" "" "$(knot_query maison A)"
in_log "dns: pushed.*bureau A 198.51.100.8" && ok "  the log says it is done" || fail "  no pushed line"
expect "  nothing pending" 0 "$(metric quorvel_dns_pending)"
expect "the removed name's identifier is notfound" notfound "$(update "$id")"

# DNS down then back while the server runs: retried until it is done.
knot_stop
expect "update with DNS down" found "$(update "$id2" "[::1]:$port6")"
sleep 2.5
failed=$(metric 'quorvel_dns_pushes_total{result="failed"}')
[ "$failed" -ge 2 ] && ok "  each failed push is counted ($failed)" || fail "  failed pushes counted: $failed"
expect "  the failure is logged once for the outage" 1 "$(grep -c 'dns: push failed' "$work/server.log")"
knot_again || { echo "FAIL: knotd did not start again"; exit 1; }
expect "the pending AAAA is carried out once the primary is back" ::1 "$(until_equal 10 ::1 knot_query bureau AAAA)"
in_log "dns: the primary takes updates again, after [2-9] failed push(es) in [0-9]* s" && ok "  its return is logged" ||
  fail "  no return line"

# remove while the primary answers: both records go at once.
qs remove bureau >"$work/remove.out" 2>&1
grep -q "the A and AAAA records of bureau.$zone are deleted" "$work/remove.out" && ok "remove deletes A and AAAA" || { fail "remove said:"; cat "$work/remove.out"; }
expect "  no A" "" "$(knot_query bureau A)"
expect "  no AAAA" "" "$(knot_query bureau AAAA)"

# Names the zone already holds: add refuses them (reserved, or asked of the primary). One added
# while the primary could not be asked is published only if its name is unused there (an RFC
# 2136 prerequisite), so a record the operator put in the zone is never overwritten; a new name
# in the same message is published once the message is split.
knot_update "update add site.$zone. 60 A 192.0.2.80" >/dev/null
out=$(qs add site 2>&1); code=$?
[ $code -eq 1 ] && [[ "$out" == *"the name site is the zone's own: the zone's primary holds records named site.$zone"* ]] &&
  ok "add refuses a name the zone holds" || fail "add site: status $code, said: $out"
out=$(qs add ns 2>&1); code=$?
[ $code -eq 1 ] && [[ "$out" == *"reserved (reserved-labels ns)"* ]] && ok "  and a reserved one" || fail "add ns: $code $out"
out=$(qs add site --dns-server 127.0.0.1:1 2>&1)
[[ "$out" == *"note: the primary could not be asked whether the zone holds site"* ]] && ok "  the primary unreachable: added, with a note" ||
  fail "add site with no primary said: $out"
site_id=$(echo "$out" | tail -n 1)
neuf_id=$(qs add neuf | tail -n 1)
knot_stop
expect "the first update of a name the zone holds is found" found "$(update "$site_id")"
expect "  and of a new name" found "$(update "$neuf_id")"
knot_again || { echo "FAIL: knotd did not start again"; exit 1; }
expect "  the new name is published" 127.0.0.1 "$(until_equal 10 127.0.0.1 knot_query neuf A)"
in_log "dns: site set aside, its records are not published (the zone already holds records named site.$zone (YXDOMAIN))" &&
  ok "  the other, refused by the primary, is set aside" || { fail "  no set-aside line for site"; grep dns: "$work/server.log"; }
expect "  the operator's record is untouched" 192.0.2.80 "$(knot_query site A)"
expect "  its next change is found" found "$(update "$site_id" "[::1]:$port6")"
expect "  and set aside again, the name still unpublished" 2 \
  "$(until_equal 5 2 bash -c "grep -c 'dns: site set aside' '$work/server.log'")"
expect "  no AAAA added under the operator's name" "" "$(knot_query site AAAA)"
expect "  nothing pending" 0 "$(metric quorvel_dns_pending)"

# dyndns2 from the real clients.
rid=$(qs add routeur | tail -n 1)
cat >"$work/ddclient.conf" <<CONF
ssl=no
usev4=ipv4
ipv4=192.0.2.44
protocol=dyndns2
server=127.0.0.1:$port
login=routeur
password=$rid
routeur.$zone
CONF
chmod 600 "$work/ddclient.conf"
ddclient -daemon=0 -foreground -force -file "$work/ddclient.conf" -cache "$work/ddclient.cache" >"$work/ddclient.out" 2>&1
expect "ddclient's update reaches DNS" 192.0.2.44 "$(until_equal 3 192.0.2.44 knot_query routeur A)"
in_log "dyndns2 good 192.0.2.44 for routeur" && ok "  answered good" || { fail "  ddclient:"; cat "$work/ddclient.out"; }
mkdir -p "$work/inadyn-cache"
cat >"$work/inadyn.conf" <<CONF
period = 600
custom test@dyndns2 {
    checkip-command = "/bin/echo 192.0.2.45"
    ssl = false
    ddns-server = 127.0.0.1:$port
    ddns-path = "/nic/update?hostname=%h&myip=%i"
    username = routeur.$zone
    password = $rid
    hostname = routeur.$zone
}
CONF
inadyn -1 --force -n --no-pidfile -f "$work/inadyn.conf" --cache-dir "$work/inadyn-cache" -l info >"$work/inadyn.out" 2>&1
expect "inadyn's update (the full name as user) reaches DNS" 192.0.2.45 "$(until_equal 3 192.0.2.45 knot_query routeur A)"
in_log "dyndns2 good 192.0.2.45 for routeur" && ok "  answered good" || { fail "  inadyn:"; cat "$work/inadyn.out"; }
serial=$(knot_serial)
sed -i 's/192.0.2.44/192.0.2.45/' "$work/ddclient.conf"
ddclient -daemon=0 -foreground -force -file "$work/ddclient.conf" -cache "$work/ddclient.cache2" >/dev/null 2>&1
in_log "dyndns2 nochg 192.0.2.45 for routeur" && ok "the same address again: nochg" || fail "no nochg"
sleep 0.3
expect "  and no UPDATE" "$serial" "$(knot_serial)"

# SIGTERM ends serve with 0 within a second.
start_ns=$(date +%s%N)
stop_server; code=$?
ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
[ $code -eq 0 ] && [ $ms -lt 1000 ] && ok "SIGTERM: status 0 in ${ms} ms" || fail "SIGTERM: status $code after ${ms} ms"

# A store whose addresses were recorded without DNS: served into a zone the first time, every
# recorded address is published; the next start publishes nothing again.
pid=$("$server_bin" add ailleurs --store "$work/plain.db" | tail -n 1)
"$server_bin" serve --listen 127.0.0.1:0 --store "$work/plain.db" >"$work/plain.log" 2>&1 &
plain=$!
for _ in $(seq 50); do pport=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/plain.log"); [ -n "$pport" ] && break; sleep 0.1; done
expect "recorded without DNS" found "$(update "$pid" "127.0.0.1:$pport")"
kill "$plain"; wait "$plain"
start_server --store "$work/plain.db"
expect "served into the zone, the recorded address is published" 127.0.0.1 "$(until_equal 5 127.0.0.1 knot_query ailleurs A)"
in_log "dns: first run into $zone: 1 recorded name(s) to publish" && ok "  the log says so" || fail "  no first-run line"
stop_server
start_server --store "$work/plain.db"
sleep 0.3
in_log "first run into" && fail "published again on the next start" || ok "  once only"
stop_server

# Hundreds of names with 63-character labels, A and AAAA, all to publish at once (a store
# served into the zone for the first time): one UPDATE message would be too large to sign,
# so they go in several, and all reach the zone. In front of knotd, a primary that cannot read
# messages over 8000 bytes, nor any that holds the name n013 (it answers FORMERR, unsigned, as
# a primary that could not read the message does): the messages are halved until they pass,
# and n013, refused alone, is set aside. So is a name whose records cannot be encoded (an
# address the store should never hold). Both are logged and counted; the rest go on.
front=$(free_port)
python3 - "$front" "$KNOT_PORT" 8000 n013- <<'PY' &
import socket, struct, sys, threading
port, knot, limit, marker = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4].encode()
def read(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data
def serve(client):
    upstream = socket.create_connection(("127.0.0.1", knot))
    try:
        while True:
            size, = struct.unpack("!H", read(client, 2))
            message = read(client, size)
            if size > limit or marker in message:
                client.sendall(struct.pack("!HHHHHHH", 12, struct.unpack("!H", message[:2])[0], 0x8000 | 5 << 11 | 1, 0, 0, 0, 0))
            else:
                upstream.sendall(struct.pack("!H", size) + message)
                n, = struct.unpack("!H", read(upstream, 2))
                client.sendall(struct.pack("!H", n) + read(upstream, n))
    except (EOFError, OSError):
        pass
    finally:
        client.close()
        upstream.close()
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(8)
while True:
    threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()
PY
front_pid=$!
many=$work/many.db
long=$(printf 'x%.0s' $(seq 58))
for i in $(seq 300); do
  "$server_bin" add "$(printf 'n%03d-%s' "$i" "$long")" --store "$many" | tail -n 1
done >"$work/many.ids"
"$server_bin" serve --listen 127.0.0.1:0 --listen '[::1]:0' --store "$many" >"$work/plain.log" 2>&1 &
plain=$!
for _ in $(seq 50); do grep -q '^listening on http://\[' "$work/plain.log" && break; sleep 0.1; done
pport=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/plain.log")
pport6=$(sed -n 's|^listening on http://\[::1\]:\([0-9]*\)/$|\1|p' "$work/plain.log")
sed "s|.*|url = \"http://127.0.0.1:$pport/update?ip_key=&\"|" "$work/many.ids" >"$work/many.curl"
sed "s|.*|url = \"http://[::1]:$pport6/update?ip_key=&\"|" "$work/many.ids" >>"$work/many.curl"
expect "600 updates of 300 names recorded" 600 "$(curl -s -g -K "$work/many.curl" | grep -o -- '-->found' | wc -l)"
kill "$plain"; wait "$plain"
python3 -c 'import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.execute("UPDATE names SET ipv4 = ? WHERE label LIKE ?", ("300.1.2.3", "n007-%")); c.commit()' "$many"
start_server --store "$many" --dns-server "127.0.0.1:$front"
for _ in $(seq 100); do [ "$(metric quorvel_dns_pending)" = 0 ] && break; sleep 0.1; done
expect "all 300 handled, nothing pending" 0 "$(metric quorvel_dns_pending)"
expect "  298 A records in the zone" 298 "$(knot_records A | grep -c '^n[0-9]')"
expect "  298 AAAA records" 298 "$(knot_records AAAA | grep -c '^n[0-9]')"
messages=$(grep -c 'dns: pushed' "$work/server.log")
[ "$messages" -ge 12 ] && ok "  in $messages messages" || fail "  in $messages message(s)"
in_log "dns: [0-9]* name(s) in one message refused (the primary could not read a message of [0-9]* bytes (FORMERR)); sent again in messages of at most 16384 bytes" &&
  ok "  a message the primary cannot read is sent again in halves" || fail "  no halving line"
in_log "dns: n007-x*x set aside, its records are not published (its records cannot be encoded)" &&
  ok "  the name that cannot be encoded is set aside" || fail "  no set-aside line for n007"
in_log "dns: n013-x*x set aside, its records are not published (the primary could not read" &&
  ok "  the name the primary refuses alone is set aside" || fail "  no set-aside line for n013"
expect "  both counted" 2 "$(metric quorvel_dns_set_aside_total)"
expect "  their records are not touched" "" "$(knot_query "n007-$long" AAAA)$(knot_query "n013-$long" AAAA)"
stop_server && ok "  the server ran on (SIGTERM: status 0)" || fail "  the server did not end with 0"
kill "$front_pid"

[ $status -eq 0 ] || { echo "--- server log"; cat "$work/server.log"; }
exit $status
