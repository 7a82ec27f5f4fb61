#!/usr/bin/env bash
# Two quorvel-server processes on one PostgreSQL store, the same zone and key, one knotd:
# (1) the same names updated alternately through both, all at once, end at their last address
#     in the store, in both servers' memory and in DNS;
# (2) a name added, then removed, with the commands is taken, then refused, by both within 1 s;
# (3) one server killed (-9) with DNS work pending while the primary is down: the other one
#     carries it out once the primary is back;
# (4) PostgreSQL stopped under the running servers: a change is denied (nothing recorded), an
#     unchanged address still found; started again, both take changes and see each other's.
#
# usage: server_two_servers.sh QUORVEL_SERVER
# A PostgreSQL of its own (tests/support/postgres.sh), since (4) stops and starts it.
set -uo pipefail
server_bin=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/knot-local.sh"
source "$here/../support/postgres.sh"
source "$here/checks.sh"

work=$(mktemp -d)
chmod 711 "$work"  # the postgres user reaches its own folder in it
declare -A pid=() port=()
pg_folder=$work/pg
cleanup() {
  local s
  for s in "${pid[@]}"; do kill "$s" 2>/dev/null; wait "$s" 2>/dev/null; done
  knot_stop
  postgres_clean "$pg_folder"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/knot" "$work/pg"
knot_start "$work/knot" || { echo "FAIL: knotd did not start"; exit 1; }
postgres_start "$pg_folder" || { echo "FAIL: PostgreSQL did not start"; exit 1; }
zone=$KNOT_ZONE
cat >"$work/server.conf" <<CONF
store = postgresql:///quorvel?host=$pg_folder
zone = $zone
dns-server = $KNOT_SERVER
tsig-key = $KNOT_KEYFILE
listen = 127.0.0.1:0
trusted-proxy = 127.0.0.1
max-updates-per-minute = 0
max-failures-per-hour = 0
CONF
qs() { "$server_bin" "$@" --config "$work/server.conf"; }

start_server() {  # NAME: starts serve, its log in $work/NAME.log; sets pid[NAME] and port[NAME]
  local p=""
  "$server_bin" serve --config "$work/server.conf" >"$work/$1.log" 2>&1 &
  pid[$1]=$!
  for _ in $(seq 100); do
    p=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/$1.log" | tail -n 1)
    [ -n "$p" ] && break
    sleep 0.05
  done
  [ -n "$p" ] || { echo "FAIL: server $1 did not start:"; cat "$work/$1.log"; exit 1; }
  port[$1]=$p
}
# update SERVER ID ADDRESS: the word the server answers.
update() {
  curl -s "http://127.0.0.1:${port[$1]}/update?ip_key=$2" -H "X-Forwarded-For: $3" | tail -c 20 | sed 's/.*-->//'
}
metric() { curl -s "http://127.0.0.1:${port[$1]}/metrics" | awk -v m="$2" '$1 == m {print $2}'; }

# The store is made by the first add; both servers then serve it.
first=$(qs add premier 2>"$work/add.err" | tail -n 1)
[ -n "$first" ] || { echo "FAIL: add on PostgreSQL:"; cat "$work/add.err"; exit 1; }
start_server a
start_server b

# (1) 50 names, each updated six times, alternately through a and b, every name at once.
n=50
for i in $(seq "$n"); do qs add "$(printf 'n%02d' "$i")" | tail -n 1; done >"$work/ids"
expect "50 names added" "$n" "$(grep -c . "$work/ids")"
i=0
clients=()
while read -r id; do
  i=$((i + 1))
  (
    for r in 1 2 3 4 5 6; do
      if (( (r + i) % 2 )); then s=a; else s=b; fi
      echo "$(update "$s" "$id" "10.0.$r.$i")"
    done >"$work/answers.$i"
  ) &
  clients+=($!)
done <"$work/ids"
wait "${clients[@]}"
expect "300 updates through both servers at once, all found" 300 "$(cat "$work"/answers.* | grep -cx found)"
want=$(for i in $(seq "$n"); do printf 'n%02d 10.0.6.%d\n' "$i" "$i"; done)
expect "list: every name at its last address" "$want" "$(qs list | awk '/^n[0-9]/ {print $1, $2}' | sort)"
for s in a b; do
  for _ in $(seq 100); do [ "$(metric "$s" quorvel_dns_pending)" = 0 ] && break; sleep 0.05; done
done
expect "DNS: every name at its last address" "$want" \
  "$(until_equal 10 "$want" bash -c "source '$here/../../scripts/knot-local.sh'; knot_records A | sed 's/\\.$zone\\. / /' | grep '^n[0-9]' | sort")"
# Each server's memory holds the last address too, whichever server recorded it: sent again to
# the other one, it is unchanged and nothing goes to DNS.
serial=$(knot_serial)
i=0
while read -r id; do
  i=$((i + 1))
  if (( (6 + i) % 2 )); then s=b; else s=a; fi
  update "$s" "$id" "10.0.6.$i" >/dev/null
done <"$work/ids"
expect "  the last address sent again to the other server: unchanged, 50 times" "$n" \
  "$(cat "$work/a.log" "$work/b.log" | grep -c 'found, unchanged 10\.0\.6\.')"
sleep 0.3
expect "  and no UPDATE (the SOA serial stays)" "$serial" "$(knot_serial)"

# (2) A name added is taken by both servers within 1 s; removed, refused by both within 1 s.
start_ns=$(date +%s%N)
id=$(qs add neuf | tail -n 1)
for s in a b; do
  expect "added by the command: server $s takes it within 1 s" found "$(until_equal 1 found update "$s" "$id" 192.0.2.7)"
done
echo "   (both after $(ms_since "$start_ns") ms)"
start_ns=$(date +%s%N)
qs remove neuf >/dev/null 2>&1
for s in a b; do
  expect "removed by the command: server $s refuses it within 1 s" notfound "$(until_equal 1 notfound update "$s" "$id" 192.0.2.8)"
done
echo "   (both after $(ms_since "$start_ns") ms)"
rid=$(qs add autre | tail -n 1)
nid=$(qs rekey autre | tail -n 1)
expect "rekeyed: the old identifier refused by a" notfound "$(until_equal 1 notfound update a "$rid" 192.0.2.9)"
expect "  and by b" notfound "$(until_equal 1 notfound update b "$rid" 192.0.2.9)"
expect "  the new one taken by b" found "$(until_equal 1 found update b "$nid" 192.0.2.9)"

# (3) The primary down, changes through a, a killed -9 with its work pending: b carries it out.
expect "the store's DNS work done before" 0 "$(until_equal 5 0 metric b quorvel_dns_pending)"
knot_stop
for i in 1 2 3; do
  expect "with DNS down, a change through a ($i)" found "$(update a "$(sed -n "${i}p" "$work/ids")" "198.51.100.$i")"
done
for _ in $(seq 40); do [ "$(metric a quorvel_dns_pending)" = 3 ] && break; sleep 0.05; done
expect "  a holds 3 names as pending" 3 "$(metric a quorvel_dns_pending)"
kill -9 "${pid[a]}"
wait "${pid[a]}" 2>/dev/null
unset 'pid[a]'
# b held still while the primary comes back, so that the zone is read before b can push.
kill -STOP "${pid[b]}"
knot_again || { echo "FAIL: knotd did not start again"; exit 1; }
expect "  before: the zone still has n01's old address" 10.0.6.1 "$(knot_query n01 A)"
kill -CONT "${pid[b]}"
start_ns=$(date +%s%N)
expect "  b pushes a's pending work once the primary is back" 198.51.100.3 "$(until_equal 10 198.51.100.3 knot_query n03 A)"
ms=$(ms_since "$start_ns")
[ "$ms" -lt 5000 ] && ok "  within a few seconds ($ms ms)" || fail "  after $ms ms"
expect "  after: n01" 198.51.100.1 "$(knot_query n01 A)"
expect "  and n02" 198.51.100.2 "$(knot_query n02 A)"
for _ in $(seq 40); do [ "$(metric b quorvel_dns_pending)" = 0 ] && break; sleep 0.05; done
expect "  nothing pending" 0 "$(metric b quorvel_dns_pending)"

# (4) PostgreSQL away under both servers, then back.
start_server a
postgres_stop "$pg_folder"
expect "PostgreSQL stopped: a change through a is denied" denied "$(update a "$(sed -n 4p "$work/ids")" 198.51.100.40)"
expect "  an unchanged address through b is still found" found "$(update b "$(sed -n 4p "$work/ids")" 10.0.6.4)"
postgres_start "$pg_folder" || { echo "FAIL: PostgreSQL did not start again"; exit 1; }
start_ns=$(date +%s%N)
expect "PostgreSQL back: a change through a is found again" found \
  "$(until_equal 8 found update a "$(sed -n 4p "$work/ids")" 198.51.100.41)"
echo "   (after $(ms_since "$start_ns") ms)"
# b learns it from the change feed, which it reads again once it is back (one probe only: a
# probe of b before that would record the address itself).
expect "  b says PostgreSQL is back" 1 "$(until_equal 8 1 grep -c 'store: PostgreSQL is back' "$work/b.log")"
sleep 1.2
update b "$(sed -n 4p "$work/ids")" 198.51.100.41 >/dev/null
sleep 0.2
grep -q 'found, unchanged 198.51.100.41 for n04' "$work/b.log" && ok "  and has a's change (the same address through b: unchanged)" ||
  { fail "  b did not have a's change"; grep n04 "$work/b.log" | tail -3; }
expect "  and DNS" 198.51.100.41 "$(until_equal 8 198.51.100.41 knot_query n04 A)"
expect "  the denied change was never recorded" "" "$(qs list | awk '$2 == "198.51.100.40"')"

# Both end cleanly, and (under the sanitizers) said nothing of their own memory.
for s in a b; do
  kill "${pid[$s]}"; wait "${pid[$s]}"; code=$?; unset "pid[$s]"
  expect "server $s: SIGTERM, status 0" 0 "$code"
done
grep -l -E 'Sanitizer|runtime error' "$work"/a.log "$work"/b.log && fail "a sanitizer report in the logs above"

[ $status -eq 0 ] || { for s in a b; do echo "--- server $s"; cat "$work/$s.log"; done; }
exit $status
