#!/usr/bin/env bash
# quorvel-server past one DNS server, with the configurations README shows (docs/knot/): a
# hidden primary knotd that signs the zone itself and sends NOTIFY, and a secondary knotd that
# transfers the change by IXFR and validates it. An update through quorvel-server is answered
# by the secondary, signed, within 5 s; its signature validates; a removal follows the same way.
#
# usage: server_dnssec.sh QUORVEL_SERVER
set -uo pipefail
server_bin=$1
here=$(cd "$(dirname "$0")" && pwd)
examples=$here/../../docs/knot
source "$here/../../scripts/knot-local.sh"
source "$here/checks.sh"

work=$(mktemp -d)
server="" primary="" secondary=""
cleanup() {
  local pid
  for pid in $server $secondary $primary; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

zone=dyn.example.org
p1=$(free_port)
p2=$(free_port)
while [ "$p2" = "$p1" ]; do p2=$(free_port); done
secret=$(head -c 32 /dev/urandom | base64)
user=$(id -un):$(id -gn)

# The documented file on loopback: the primary at 127.0.0.1@$p1, the secondary at
# 127.0.0.1@$p2 and ::1@$p2, the servers at 127.0.0.1; paths, user and secret this run's.
from_example() {  # NAME DIR
  local dir=$2
  mkdir -p "$dir/run" "$dir/db"
  sed -e "s|192\.0\.2\.1@53|127.0.0.1@$p1|g; s|192\.0\.2\.2@53|127.0.0.1@$p2|g; s|2001:db8::2@53|::1@$p2|g" \
      -e "s|192\.0\.2\.[0-9]*|127.0.0.1|g; s|2001:db8::[0-9]*|::1|g" \
      -e "s|\"/run/knot\"|\"$dir/run\"|; s|\"/var/lib/knot\"|\"$dir/db\"|g; s|knot:knot|$user|" \
      -e "s|target: syslog|target: \"$dir/knotd.log\"|; s|secret: .*|secret: $secret|" "$examples/$1.conf" >"$dir/knot.conf"
  # A line the mapping missed would leave this run's knotd pointing at the example's machines.
  if grep -nE '192\.0\.2\.|2001:db8|/var/lib/knot|/run/knot|knot:knot|@53\b|syslog' "$dir/knot.conf"; then
    fail "$1.conf: the lines above were not mapped to loopback"
  fi
}
from_example primary "$work/primary"
from_example secondary "$work/secondary"
for name in primary secondary; do
  out=$(knotc -c "$examples/$name.conf" conf-check 2>&1) && ok "docs/knot/$name.conf: knotc conf-check" ||
    fail "docs/knot/$name.conf: $out"
  out=$(knotc -c "$work/$name/knot.conf" conf-check 2>&1) && ok "  and on loopback" || fail "$name on loopback: $out"
done
printf 'key "quorvel-update" {\n\talgorithm hmac-sha256;\n\tsecret "%s";\n};\n' "$secret" >"$work/tsig.key"
cat >"$work/primary/db/$zone.zone" <<ZONE
\$ORIGIN $zone.
\$TTL 60
@       SOA   ns1 hostmaster 1 3600 600 604800 60
@       NS    ns1
ns1     A     127.0.0.1
ZONE

# soa_serial PORT: the serial that knotd serves.
soa_serial() { kdig @127.0.0.1 -p "$1" +short +time=1 +retry=0 "$zone." SOA 2>/dev/null | awk '{print $3}'; }
# answer PORT NAME TYPE
answer() { kdig @127.0.0.1 -p "$1" +short +time=1 +retry=0 "$2.$zone." "$3" 2>/dev/null | grep -v '^;'; }
# until_answer SECONDS WANT PORT NAME TYPE: waits for the answer; prints what it last got.
until_answer() {
  local limit=$1 want=$2 got="" i
  shift 2
  for ((i = 0; i < limit * 20; i++)); do
    got=$(answer "$@")
    [ "$got" = "$want" ] && break
    sleep 0.05
  done
  echo "$got"
}
start_knot() {  # NAME: sets the variable NAME to knotd's pid
  knotd -c "$work/$1/knot.conf" >>"$work/$1/knotd.out" 2>&1 &
  printf -v "$1" %s $!
}

start_knot primary
for _ in $(seq 100); do
  [ -n "$(kdig @127.0.0.1 -p "$p1" +short +time=1 +retry=0 "$zone." DNSKEY 2>/dev/null)" ] && break
  sleep 0.1
done
dnskey=$(kdig @127.0.0.1 -p "$p1" +short "$zone." DNSKEY 2>/dev/null)
[ -n "$dnskey" ] && ok "the primary made its key and signed the zone" ||
  { fail "no DNSKEY from the primary"; cat "$work/primary/knotd.out"; exit 1; }
start_knot secondary
for _ in $(seq 100); do
  [ -n "$(soa_serial "$p2")" ] && [ "$(soa_serial "$p2")" = "$(soa_serial "$p1")" ] && break
  sleep 0.1
done
expect "the secondary serves the primary's serial" "$(soa_serial "$p1")" "$(soa_serial "$p2")"

cat >"$work/server.conf" <<CONF
store = $work/store.db
zone = $zone
dns-server = 127.0.0.1:$p1
tsig-key = $work/tsig.key
ttl = 120
listen = 127.0.0.1:0
trusted-proxy = 127.0.0.1
CONF
id=$("$server_bin" add maison --config "$work/server.conf" | tail -n 1)
"$server_bin" serve --config "$work/server.conf" >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 100); do
  port=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/server.log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { fail "the server did not start"; cat "$work/server.log"; exit 1; }
update() { curl -s "http://127.0.0.1:$port/update?ip_key=$id" -H "X-Forwarded-For: $1" | tail -c 20 | sed 's/.*-->//'; }

# An update, through the primary, signed, to the secondary.
serial=$(soa_serial "$p2")
start_ns=$(date +%s%N)
expect "update through quorvel-server" found "$(update 192.0.2.80)"
got=$(until_answer 5 192.0.2.80 "$p2" maison A)
ms=$(ms_since "$start_ns")
expect "the secondary answers the new address" 192.0.2.80 "$got"
[ "$ms" -lt 5000 ] && ok "  within 5 s ($ms ms from the update)" || fail "  after $ms ms"
rrsig=$(kdig @127.0.0.1 -p "$p2" +dnssec +noall +answer "maison.$zone." A 2>/dev/null | awk '$4 == "RRSIG"')
# owner ttl IN RRSIG covered algorithm labels original-ttl expiration inception tag signer signature
expect "  with an RRSIG covering A" A "$(awk '{print $5}' <<<"$rrsig")"
expect "  by the zone's key (ECDSA P-256, the signer the zone)" "13 $zone." "$(awk '{print $6, $12}' <<<"$rrsig")"
kdig @127.0.0.1 -p "$p2" +noall +answer "$zone." DNSKEY >"$work/dnskey" 2>/dev/null
tag=$(ldns-key2ds -n -2 "$work/dnskey" 2>/dev/null | awk '{print $5}')
expect "  whose key tag is the DNSKEY's the secondary serves" "$tag" "$(awk '{print $11}' <<<"$rrsig")"

# The secondary's own copy (written at each transfer) validates as a whole; the same copy with
# the new address altered does not, so the check can tell.
copy=$work/secondary/db/$zone.zone
for _ in $(seq 50); do grep -q '192\.0\.2\.80' "$copy" 2>/dev/null && break; sleep 0.1; done
out=$(ldns-verify-zone "$copy" 2>&1) && ok "the secondary's zone validates (ldns-verify-zone)" || fail "ldns-verify-zone: $out"
sed 's/192\.0\.2\.80/192.0.2.99/' "$copy" >"$work/altered.zone"
ldns-verify-zone "$work/altered.zone" >/dev/null 2>&1 && fail "  an altered address validates too" ||
  ok "  and with the address altered it does not"

# A change, then a removal: each comes to the secondary as an increment.
expect "a change" found "$(update 192.0.2.81)"
expect "  reaches the secondary" 192.0.2.81 "$(until_answer 5 192.0.2.81 "$p2" maison A)"
"$server_bin" remove maison --config "$work/server.conf" >"$work/remove.out" 2>&1 ||
  { fail "remove failed"; cat "$work/remove.out"; }
expect "a removal reaches the secondary" "" "$(until_answer 5 "" "$p2" maison A)"
nsec=$(kdig @127.0.0.1 -p "$p2" +dnssec +noall +authority "maison.$zone." A 2>/dev/null | awk '$4 == "RRSIG" {print $5}' | sort -u | tr '\n' ' ')
[[ "$nsec" == *NSEC* ]] && ok "  its absence is signed (RRSIG over NSEC)" || fail "  the denial carries RRSIGs over: '$nsec'"
expect "the secondary ends at the primary's serial" "$(soa_serial "$p1")" "$(soa_serial "$p2")"
[ "$(soa_serial "$p2")" -gt "$serial" ] || fail "  the serial did not move"

log=$work/secondary/knotd.log
ixfr=$(grep -c "\[$zone.\] IXFR, incoming, remote 127.0.0.1@$p1, finished" "$log")
[ "${ixfr:-0}" -ge 3 ] && ok "the secondary took the three changes by IXFR ($ixfr in its log)" ||
  { fail "IXFR transfers in the secondary's log: ${ixfr:-0}"; grep -i xfr "$log"; }
grep -q "\[$zone.\] AXFR, incoming, remote 127.0.0.1@$p1, finished" "$log" && ok "  the whole zone once, at its first start (AXFR)" ||
  fail "  no first AXFR in its log"
expect "  each validated by the secondary before it served it" "$ixfr" "$(grep -c "\[$zone.\] DNSSEC, incremental validation successful" "$log")"
grep -qi "fallback to AXFR" "$log" && fail "  an IXFR fell back to AXFR" || ok "  no IXFR fell back to AXFR"

kill "$server"; wait "$server"; code=$?; server=""
expect "the server: SIGTERM, status 0" 0 "$code"
grep -q -E 'Sanitizer|runtime error' "$work/server.log" && fail "a sanitizer report in the server's log"

[ $status -eq 0 ] || { echo "--- server log"; cat "$work/server.log"; echo "--- secondary"; cat "$log"; }
exit $status
