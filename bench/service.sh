#!/usr/bin/env bash
# The update server under load on this machine, everything on loopback, in one run:
#   (a) the floor: nginx serving a static page as large as the server's update reply;
#   (b) quorvel-server answering updates that change nothing, for 10,000 names;
#   (c) updates that change the address, with a real knotd in the loop: changes reaching DNS
#       per second;
#   (d) over HTTPS, a new TLS connection (a full handshake) for each request: unchanged updates
#       from quorvel-server's own TLS (--listen-https) against nginx serving the same page with
#       the same certificate (the floor). ab makes both loads (it sends one URL, so the flood
#       rule is lifted for this server); the server side's processor time a request is the
#       figure that does not depend on the one-threaded client.
#   (e) the same store moved into PostgreSQL (migrate): (b) again on it, then (c) through two
#       servers sharing it, their memory before and after; both stores side by side at the end.
# Each load is 64 clients at once, HTTP/1.0, one request per connection, as Quorvel's clients
# send them. ab sends one URL only, and the server refuses an 11th update of one name within a
# minute (the flood rule), so the names are spread by bench/loadgen.c, which works as ab does
# (one thread, epoll) but takes each request from the next line of a file; ab measures the
# floor too, beside it. The ratios compare loadgen with loadgen.
# The server's resident memory is sampled through (b) and (c).
#
#   bench/service.sh          (about five minutes; not part of ./test.sh)
#
# QUORVEL_BUILD_DIR   build root (default build); the server is built in $QUORVEL_BUILD_DIR/bench-server
# BENCH_NAMES         names in the store (default 10000)
# BENCH_REQUESTS      requests of (a) and (b) (default 100000)
# BENCH_CHANGES       address changes of (c) (default 30000: three per name)
# BENCH_CLIENTS       clients at once (default 64)
# BENCH_TLS_REQUESTS  requests of (d), each its own handshake (default 10000)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
source scripts/knot-local.sh
source tests/support/postgres.sh
need_packages cmake make g++ pkg-config python3 procps libmicrohttpd-dev libldns-dev libsqlite3-dev libgnutls28-dev libpq-dev apache2-utils openssl \
  nginx-light curl "${KNOT_PACKAGES[@]}" postgresql

names=${BENCH_NAMES:-10000}
requests=${BENCH_REQUESTS:-100000}
changes=${BENCH_CHANGES:-30000}
clients=${BENCH_CLIENTS:-64}
tls_requests=${BENCH_TLS_REQUESTS:-10000}
build=$(realpath -m "${QUORVEL_BUILD_DIR:-build}/bench-server")
server_bin=$build/server/quorvel-server

say "building quorvel-server (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j "${QUORVEL_JOBS:-2}" --target quorvel-server >"$build.log" 2>&1 || { tail -30 "$build.log"; exit 1; }
gcc -O2 -o "$build/loadgen" bench/loadgen.c

work=$(mktemp -d)
server_pid="" nginx_pid="" sampler_pid=""
second_pid="" second_sampler=""
cleanup() {
  for pid in $sampler_pid $second_sampler $server_pid $second_pid $nginx_pid; do kill "$pid" 2>/dev/null || true; done
  knot_stop
  [ -z "${pg_folder:-}" ] || postgres_clean "$pg_folder"
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

say "machine"
echo "$(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(free -g | awk '/^Mem:/{print $2}') GiB, kernel $(uname -r)"
echo "nginx $(nginx -v 2>&1 | sed 's|.*/||'), knotd $(knotd --version | awk '{print $NF}'), $(ab -V | sed -n 's/.*Version \([0-9.]*\).*/ApacheBench \1/p')"
echo "commit $(git rev-parse --short HEAD), $(date -u +%FT%TZ); load generator, server and knotd share the cores"

# --- names and identifiers ---------------------------------------------------------------
# A reference server's text store: an identifier, the address last recorded and when, a line.
# The labels import gives them are read back from `list`.
say "$names names"
python3 - "$work" "$names" <<'PY'
import secrets, string, sys
work, n = sys.argv[1], int(sys.argv[2])
alphabet = string.ascii_letters + string.digits
with open(f"{work}/ids.txt", "w") as f:
    for i in range(n):
        f.write("".join(secrets.choice(alphabet) for _ in range(22)) + "\t127.0.0.1\t2026-01-01T00:00:00Z\n")
PY

# serve_start STORE ARGS...: starts the server on a free loopback port, sets server_pid and
# server_url; its log goes to $work/server.log.
serve_start() {
  local store=$1
  shift
  local log=${server_log:-$work/server.log}
  "$server_bin" serve --listen 127.0.0.1:0 --store "$store" --max-per-peer 4096 \
    --max-connections 4096 "$@" >>"$log" 2>&1 &
  server_pid=$!
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$log" | tail -1)
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "quorvel-server did not start:" >&2
    tail -20 "$log" >&2
    exit 1
  fi
  server_url=http://127.0.0.1:$port
  server_https_port=$(sed -n 's|^listening on https://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/server.log" | tail -1)
}

serve_stop() {
  kill "$server_pid"
  wait "$server_pid" || true
  server_pid=""
  sed -i 's/^listening on/was listening on/' "$work/server.log"
}

# metric NAME: the sum of the server's samples of NAME (all labels).
metric() {
  curl -s "$server_url/metrics" | awk -v m="$1" '$1 == m || index($1, m "{") == 1 {s += $NF} END {printf "%d\n", s}'
}

# outcomes: the updates answered so far, by outcome, on one line.
outcomes() {
  curl -s "$server_url/metrics" | sed -n 's/^quorvel_updates_total{.*outcome="\([a-z_]*\)"} \([0-9]*\)$/\1=\2/p' | tr '\n' ' '
}

# cpu_ticks PID...: the processes' user and system time so far, in clock ticks.
cpu_ticks() {
  local pid total=0
  for pid in "$@"; do
    total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
  done
  echo "$total"
}

# cpu_per_request TICKS REQUESTS: microseconds of processor time per request.
cpu_per_request() { calc "$1 * 1000000 / $(getconf CLK_TCK) / $2"; }

# buckets FILE: the server's request-duration histogram now, "LE COUNT" a line.
buckets() {
  curl -s "$server_url/metrics" |
    sed -n 's/^quorvel_request_duration_seconds_bucket{le="\([^"]*\)"} \([0-9]*\)$/\1 \2/p' >"$1"
}

# server_quantiles BEFORE AFTER: the bucket bounds under which 50 % and 99 % of the requests
# between the two histograms were answered, as the server measures them.
server_quantiles() {
  paste -d' ' "$1" "$2" | awk '
    function ms(le) { return le == "+Inf" ? "inf" : le * 1000 }
    {le[NR] = $1; d[NR] = $4 - $2}
    END {n = d[NR]; for (i = 1; i <= NR; i++) {
           if (a == "" && d[i] >= 0.5 * n) a = ms(le[i])
           if (b == "" && d[i] >= 0.99 * n) b = ms(le[i])}
         printf "p50 <= %s ms, p99 <= %s ms\n", a, b}'
}

# sample_memory FILE [PID]: the server's resident memory (kB) every quarter second, until killed.
sample_memory() {
  local pid=${2:-$server_pid}
  while kill -0 "$pid" 2>/dev/null; do
    awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || true
    sleep 0.25
  done >"$1"
}

# memory_summary FILE: the samples at the start, a quarter, half, three quarters and the end
# of the run, in MB, and the highest.
memory_summary() {
  awk '{v[NR] = $1; if ($1 > m) m = $1}
       END {for (q = 0; q <= 4; q++) printf "%.1f ", v[int(1 + q * (NR - 1) / 4)] / 1024
            printf "MB; highest %.1f MB (%d samples)", m / 1024, NR}' "$1"
}

# run_start TAG: a measured run begins: the server's histogram so far into hist-TAG0.txt, its
# memory sampled into rss-TAG.txt until run_stop, its processor time so far in $ticks.
run_start() {
  buckets "$work/hist-${1}0.txt"
  sample_memory "$work/rss-$1.txt" &
  sampler_pid=$!
  ticks=$(cpu_ticks "$server_pid")
}

# run_stop: the memory samplers end (the second one too, where a run has two servers).
run_stop() {
  kill $sampler_pid $second_sampler 2>/dev/null || true
  wait $sampler_pid $second_sampler 2>/dev/null || true
  sampler_pid="" second_sampler=""
}

# run_quantiles TAG: the histogram after the run into hist-TAG1.txt; prints the run's p50 and
# p99 as the server measures them.
run_quantiles() {
  buckets "$work/hist-${1}1.txt"
  server_quantiles "$work/hist-${1}0.txt" "$work/hist-${1}1.txt"
}

# run_summary TAG [NOTE]: the outcomes before ($before) and after, the SOA serial before
# ($serial_before) and after, and the server's memory over the run.
run_summary() {
  echo "outcomes before: $before"
  echo "outcomes after:  $(outcomes)"
  echo "SOA serial: $serial_before before, $(knot_serial) after${2:+ $2}"
  echo "memory (0, 25, 50, 75, 100 % of the run): $(memory_summary "$work/rss-$1.txt")"
}

# load URL FILE COUNT: COUNT requests from FILE's lines, $clients at once; prints the result.
load() {
  local port=${1##*:}
  "$build/loadgen" 127.0.0.1 "$port" "$2" "$3" "$clients"
}

# calc EXPRESSION: floating-point arithmetic.
calc() { awk "BEGIN {print $1}"; }

# field NAME LINE: one value of a RESULT line.
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

say "knotd and the store"
KNOT_ZONEFILE_SYNC=60 knot_start "$work/knot" dyn.example.test
"$server_bin" import "$work/ids.txt" --store "$work/b.db" >/dev/null
cut -f1 "$work/ids.txt" >"$work/id-only.txt"
"$server_bin" list --store "$work/b.db" | awk '{print $1}' >"$work/labels.txt"
echo "imported $(wc -l <"$work/labels.txt") names"

dns=(--zone "$KNOT_ZONE" --dns-server "$KNOT_SERVER" --tsig-key "$KNOT_KEYFILE" --trusted-proxy 127.0.0.1)
serve_start "$work/b.db" "${dns[@]}"

# The update reply's size, from an identifier outside the set (it counts for no name).
probe="notaknownidentifier0"
reply_bytes=$(curl -s "$server_url/update?ip_key=$probe" | wc -c)
echo "update reply: $reply_bytes bytes of body"

# --- (a) the floor -------------------------------------------------------------------------
say "(a) nginx, a static page of $reply_bytes bytes"
mkdir -p "$work/nginx/www" "$work/nginx/tmp"
head -c "$reply_bytes" /dev/zero | tr '\0' 'x' >"$work/nginx/www/update"
nginx_port=$(free_port)
nginx_tls_port=$(free_port)
# One certificate for both HTTPS servers of (d): ECDSA P-256, as a Let's Encrypt one may be.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1" -keyout "$work/tls.key" -out "$work/tls.pem" 2>/dev/null
user_line=""
[ "$(id -u)" -ne 0 ] || user_line="user root root;"
cat >"$work/nginx/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  default_type text/html;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/nginx/www;
  }
  server {
    listen 127.0.0.1:$nginx_tls_port ssl;
    ssl_protocols TLSv1.2 TLSv1.3;  # nginx 1.22 leaves 1.3 out by default; the server offers it
    ssl_certificate $work/tls.pem;
    ssl_certificate_key $work/tls.key;
    root $work/nginx/www;
  }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$nginx_port/update" >/dev/null && break; sleep 0.1; done

# The same paths the server gets in (b): nginx serves its page whatever the query.
awk '{printf "/update?ip_key=%s\n", $1}' "$work/id-only.txt" >"$work/unchanged.txt"
ab -q -c "$clients" -n "$requests" -e "$work/ab.csv" "http://127.0.0.1:$nginx_port/update?ip_key=x" >"$work/ab.txt" 2>&1
ab_rps=$(sed -n 's/^Requests per second: *\([0-9.]*\).*/\1/p' "$work/ab.txt")
ab_failed=$(sed -n 's/^Failed requests: *\([0-9]*\).*/\1/p' "$work/ab.txt")
ab_p50=$(awk -F, '$1 == 50 {print $2}' "$work/ab.csv")
ab_p99=$(awk -F, '$1 == 99 {print $2}' "$work/ab.csv")
echo "ab:  $ab_rps requests/s, p50 $ab_p50 ms, p99 $ab_p99 ms, $ab_failed failed"
workers=$(ps --ppid "$nginx_pid" -o pid= | tr '\n' ' ')
ticks=$(cpu_ticks $workers)
floor=$(load "http://127.0.0.1:$nginx_port" "$work/unchanged.txt" "$requests")
floor_cpu=$(cpu_per_request "$(($(cpu_ticks $workers) - ticks))" "$requests")
echo "loadgen: $floor"
echo "nginx's processor time: $floor_cpu µs a request"

# abtls URL: $tls_requests requests over HTTPS, a new connection and handshake each; sets
# tls_rps, tls_p50, tls_p99, tls_failed and tls_protocol.
abtls() {
  ab -q -c "$clients" -n "$tls_requests" -e "$work/abtls.csv" "$1" >"$work/abtls.txt" 2>&1 || { cat "$work/abtls.txt"; exit 1; }
  tls_rps=$(sed -n 's/^Requests per second: *\([0-9.]*\).*/\1/p' "$work/abtls.txt")
  tls_failed=$(sed -n 's/^Failed requests: *\([0-9]*\).*/\1/p' "$work/abtls.txt")
  tls_p50=$(awk -F, '$1 == 50 {print $2}' "$work/abtls.csv")
  tls_p99=$(awk -F, '$1 == 99 {print $2}' "$work/abtls.csv")
  tls_protocol=$(sed -n 's/^SSL\/TLS Protocol: *//p' "$work/abtls.txt")
}
say "(d) floor: nginx, the same page over HTTPS, a handshake a request"
ticks=$(cpu_ticks $workers)
abtls "https://127.0.0.1:$nginx_tls_port/update?ip_key=x"
tls_floor_cpu=$(cpu_per_request "$(($(cpu_ticks $workers) - ticks))" "$tls_requests")
tls_floor="$tls_rps $tls_p50 $tls_p99"
echo "ab: $tls_rps requests/s, p50 $tls_p50 ms, p99 $tls_p99 ms, $tls_failed failed ($tls_protocol)"
echo "nginx's processor time: $tls_floor_cpu µs a request"
kill "$nginx_pid"
wait "$nginx_pid" || true
nginx_pid=""

# --- (b) unchanged updates -----------------------------------------------------------------
say "(b) quorvel-server, unchanged updates over $names names"
# The store was imported with 127.0.0.1 recorded for every name: each update changes nothing.
# Whatever DNS work the import left is done first.
while [ "$(metric quorvel_dns_pending)" != 0 ]; do sleep 0.1; done
before=$(outcomes)
serial_before=$(knot_serial)
run_start b
unchanged=$(load "$server_url" "$work/unchanged.txt" "$requests")
unchanged_cpu=$(cpu_per_request "$(($(cpu_ticks "$server_pid") - ticks))" "$requests")
run_stop
echo "loadgen: $unchanged"
echo "the server's processor time: $unchanged_cpu µs a request"
server_b=$(run_quantiles b)
echo "as the server measures it (request line to reply): $server_b"
run_summary b "(unchanged updates send nothing)"

# The same below saturation: 8 clients at once, on a fresh server (the flood rule's minute
# starts again), half the requests (five a name).
serve_stop
serve_start "$work/b.db" "${dns[@]}"
light=$(clients=8 load "$server_url" "$work/unchanged.txt" $((requests / 2)))
echo "8 clients: $light"

# --- (c) changed updates -------------------------------------------------------------------
say "(c) quorvel-server, $changes address changes with knotd in the loop"
# A fresh server again; each request comes through the
# trusted proxy with a new address for its name: pass P gives name I the address 10.P.I/256.I%256.
serve_stop
serve_start "$work/b.db" "${dns[@]}"
awk -v n="$names" -v total="$changes" 'NR == FNR {id[NR - 1] = $1; next} END {
  for (k = 0; k < total; k++) {
    i = k % n; p = int(k / n) + 1
    printf "/update?ip_key=%s 10.%d.%d.%d\n", id[i], p, int(i / 256) % 256, i % 256
  }}' "$work/id-only.txt" /dev/null >"$work/changed.txt"
serial_before=$(knot_serial)
pushed_before=$(metric quorvel_dns_changes_pushed_total)
run_start c
knot_ticks=$(cpu_ticks "$KNOT_PID")
start=$(date +%s.%N)
changed=$(load "$server_url" "$work/changed.txt" "$changes")
http_s=$(calc "$(date +%s.%N) - $start")
while [ "$(metric quorvel_dns_pending)" != 0 ]; do sleep 0.02; done
dns_s=$(calc "$(date +%s.%N) - $start")
changed_cpu=$(cpu_per_request "$(($(cpu_ticks "$server_pid") - ticks))" "$changes")
knot_cpu=$(cpu_per_request "$(($(cpu_ticks "$KNOT_PID") - knot_ticks))" "$changes")
run_stop
pushed=$(($(metric quorvel_dns_changes_pushed_total) - pushed_before))
serial_after=$(knot_serial)
echo "loadgen: $changed"
echo "processor time a change: the server $changed_cpu µs, knotd $knot_cpu µs"
server_c=$(run_quantiles c)
echo "as the server measures it: $server_c"
echo "outcomes: $(outcomes)"
echo "HTTP done after ${http_s}s; DNS work done after ${dns_s}s: $pushed name changes pushed in $((serial_after - serial_before)) UPDATE messages (SOA serial $serial_before -> $serial_after)"
last_pass=$(( (changes - 1) / names + 1 ))
in_dns=$(knot_records A | awk -v p="10.$last_pass." 'index($2, p) == 1' | wc -l)
echo "records in the zone with the last pass's address (10.$last_pass.x.y): $in_dns of $(( changes - (last_pass - 1) * names < names ? changes - (last_pass - 1) * names : names ))"
echo "memory (0, 25, 50, 75, 100 % of the run): $(memory_summary "$work/rss-c.txt")"
echo "server log: $(wc -l <"$work/server.log") lines"

# --- (d) unchanged updates over HTTPS --------------------------------------------------------
say "(d) quorvel-server's own TLS, unchanged updates, a handshake a request"
serve_stop
serve_start "$work/b.db" "${dns[@]}" --listen-https 127.0.0.1:0 --tls-cert "$work/tls.pem" --tls-key "$work/tls.key" \
  --max-updates-per-minute 0
one_id=$(head -1 "$work/id-only.txt")
before=$(outcomes)
ticks=$(cpu_ticks "$server_pid")
abtls "https://127.0.0.1:$server_https_port/update?ip_key=$one_id"
tls_cpu=$(cpu_per_request "$(($(cpu_ticks "$server_pid") - ticks))" "$tls_requests")
echo "ab: $tls_rps requests/s, p50 $tls_p50 ms, p99 $tls_p99 ms, $tls_failed failed ($tls_protocol)"
echo "the server's processor time: $tls_cpu µs a request"
echo "outcomes before: $before"
echo "outcomes after:  $(outcomes)"
read -r tf_rps tf_p50 tf_p99 <<<"$tls_floor"

# --- (e) the PostgreSQL store --------------------------------------------------------------
say "(e) the PostgreSQL store: the same $names names, migrated from SQLite"
serve_stop
chmod 711 "$work"  # the postgres user reaches its folder in it
pg_folder=$work/pg
postgres_start "$pg_folder" || { echo "PostgreSQL did not start" >&2; exit 1; }
PG_URI="postgresql:///quorvel?host=$pg_folder"
# The tests' cluster gives up durability for speed; the bench measures PostgreSQL as it is
# installed: every commit flushed to disk.
postgres_as "$(postgres_bindir)/psql" -q -h "$pg_folder" -U postgres -d postgres -c "ALTER SYSTEM SET fsync = on" \
  -c "ALTER SYSTEM SET synchronous_commit = on" -c "ALTER SYSTEM SET full_page_writes = on" -c "SELECT pg_reload_conf()" >/dev/null
# pg_pids: the cluster's processes (the postmaster and its children), for their processor time.
pg_pids() {
  local main
  main=$(head -n 1 "$pg_folder/data/postmaster.pid")
  echo "$main" $(ps --ppid "$main" -o pid=)
}
echo "$("$(postgres_bindir)/postgres" --version) on a unix socket, $(postgres_as "$(postgres_bindir)/psql" -h "$pg_folder" -U postgres -d postgres -tAc "SELECT 'fsync ' || current_setting('fsync') || ', synchronous_commit ' || current_setting('synchronous_commit')")"
start=$(date +%s.%N)
"$server_bin" migrate --from "$work/b.db" --store "$PG_URI" >"$work/migrate.txt" 2>&1 || { cat "$work/migrate.txt"; exit 1; }
echo "migrate: $(tail -n 1 "$work/migrate.txt") ($(calc "$(date +%s.%N) - $start") s)"

# (e1) unchanged updates, one server on PostgreSQL: every name sends the address (c) left it.
serve_start "$PG_URI" "${dns[@]}"
while [ "$(metric quorvel_dns_pending)" != 0 ]; do sleep 0.1; done
awk -v n="$names" -v total="$changes" 'NR == FNR {id[NR - 1] = $1; next} END {
  for (i = 0; i < n; i++) {
    p = int((total - 1 - i) / n) + 1   # the last pass that reached name i
    if (total <= i) printf "/update?ip_key=%s\n", id[i]
    else printf "/update?ip_key=%s 10.%d.%d.%d\n", id[i], p, int(i / 256) % 256, i % 256
  }}' "$work/id-only.txt" /dev/null >"$work/unchanged-pg.txt"
before=$(outcomes)
serial_before=$(knot_serial)
run_start e
pg_ticks=$(cpu_ticks $(pg_pids))
pg_unchanged=$(load "$server_url" "$work/unchanged-pg.txt" "$requests")
pg_unchanged_cpu=$(cpu_per_request "$(($(cpu_ticks "$server_pid") - ticks))" "$requests")
pg_unchanged_db=$(cpu_per_request "$(($(cpu_ticks $(pg_pids)) - pg_ticks))" "$requests")
run_stop
echo "loadgen: $pg_unchanged"
echo "processor time a request: the server $pg_unchanged_cpu µs, PostgreSQL $pg_unchanged_db µs"
server_d1=$(run_quantiles e)
echo "as the server measures it: $server_d1"
run_summary e
serve_stop

# (e2) changes through two servers on the one store: the names split between them by parity
# (a client sticks to the address it resolved), both pushers sharing the pending work.
serve_start "$PG_URI" "${dns[@]}"
first_pid=$server_pid first_url=$server_url
server_log=$work/server2.log serve_start "$PG_URI" "${dns[@]}"
second_pid=$server_pid second_url=$server_url
server_pid=$first_pid server_url=$first_url
awk -v n="$names" -v total="$changes" -v from="$last_pass" -v out="$work/changed-pg" 'NR == FNR {id[NR - 1] = $1; next} END {
  for (k = 0; k < total; k++) {
    i = k % n; p = int(k / n) + 1 + from
    printf "/update?ip_key=%s 10.%d.%d.%d\n", id[i], p, int(i / 256) % 256, i % 256 >(out "." (i % 2))
  }}' "$work/id-only.txt" /dev/null
serial_before=$(knot_serial)
pushed_before=$(( $(metric quorvel_dns_changes_pushed_total) + $(server_url=$second_url metric quorvel_dns_changes_pushed_total) ))
sample_memory "$work/rss-d2a.txt" "$first_pid" &
sampler_pid=$!
sample_memory "$work/rss-d2b.txt" "$second_pid" &
second_sampler=$!
ticks=$(cpu_ticks "$first_pid" "$second_pid")
pg_ticks=$(cpu_ticks $(pg_pids))
knot_ticks=$(cpu_ticks "$KNOT_PID")
start=$(date +%s.%N)
load "$first_url" "$work/changed-pg.0" "$(grep -c . "$work/changed-pg.0")" >"$work/load-d2a.txt" &
load_a=$!
load "$second_url" "$work/changed-pg.1" "$(grep -c . "$work/changed-pg.1")" >"$work/load-d2b.txt"
wait "$load_a"
pg_http_s=$(calc "$(date +%s.%N) - $start")
while [ "$(metric quorvel_dns_pending)" != 0 ] || [ "$(server_url=$second_url metric quorvel_dns_pending)" != 0 ]; do
  sleep 0.02
done
pg_dns_s=$(calc "$(date +%s.%N) - $start")
pg_changed_cpu=$(cpu_per_request "$(($(cpu_ticks "$first_pid" "$second_pid") - ticks))" "$changes")
pg_changed_db=$(cpu_per_request "$(($(cpu_ticks $(pg_pids)) - pg_ticks))" "$changes")
pg_knot_cpu=$(cpu_per_request "$(($(cpu_ticks "$KNOT_PID") - knot_ticks))" "$changes")
run_stop
pg_pushed=$(( $(metric quorvel_dns_changes_pushed_total) + $(server_url=$second_url metric quorvel_dns_changes_pushed_total) - pushed_before ))
serial_after=$(knot_serial)
echo "server 1: $(cat "$work/load-d2a.txt")"
echo "server 2: $(cat "$work/load-d2b.txt")"
echo "processor time a change: the servers $pg_changed_cpu µs, PostgreSQL $pg_changed_db µs, knotd $pg_knot_cpu µs"
echo "outcomes: $(outcomes) | $(server_url=$second_url outcomes)"
echo "HTTP done after ${pg_http_s}s; DNS work done after ${pg_dns_s}s: $pg_pushed name changes pushed in $((serial_after - serial_before)) UPDATE messages (SOA serial $serial_before -> $serial_after)"
pg_last=$(( (changes - 1) / names + 1 + last_pass ))
in_dns=$(knot_records A | awk -v p="10.$pg_last." 'index($2, p) == 1' | wc -l)
echo "records in the zone with the last pass's address (10.$pg_last.x.y): $in_dns"
echo "memory, server 1 (0, 25, 50, 75, 100 %): $(memory_summary "$work/rss-d2a.txt")"
echo "memory, server 2 (0, 25, 50, 75, 100 %): $(memory_summary "$work/rss-d2b.txt")"
kill "$second_pid"
wait "$second_pid" || true
second_pid=""

# --- table ---------------------------------------------------------------------------------
say "table"
f_rps=$(field rps "$floor")
u_rps=$(field rps "$unchanged")
c_rps=$(field rps "$changed")
printf '| measure | requests/s | p50 ms | p99 ms | against the floor | CPU µs a request | in the server |\n|---|---:|---:|---:|---:|---:|---|\n'
printf '| (a) floor, nginx static page, ab | %.0f | %s | %s | | | |\n' "$ab_rps" "$ab_p50" "$ab_p99"
printf '| (a) floor, nginx static page, loadgen | %s | %s | %s | 1 | %.0f | |\n' "$f_rps" "$(field p50_ms "$floor")" "$(field p99_ms "$floor")" "$floor_cpu"
printf '| (b) unchanged updates, %s names | %s | %s | %s | %.2f× | %.0f | %s |\n' "$names" "$u_rps" \
  "$(field p50_ms "$unchanged")" "$(field p99_ms "$unchanged")" "$(calc "$u_rps / $f_rps")" "$unchanged_cpu" "$server_b"
printf '| (b) the same, 8 clients at once | %s | %s | %s | | | |\n' "$(field rps "$light")" \
  "$(field p50_ms "$light")" "$(field p99_ms "$light")"
printf '| (c) changed updates (HTTP) | %s | %s | %s | %.2f× | %.0f (+ knotd %.0f) | %s |\n' "$c_rps" \
  "$(field p50_ms "$changed")" "$(field p99_ms "$changed")" "$(calc "$c_rps / $f_rps")" "$changed_cpu" "$knot_cpu" "$server_c"
printf '| (d) floor over HTTPS, nginx static page, ab, a handshake a request | %.0f | %s | %s | 1 | %.0f | |\n' \
  "$tf_rps" "$tf_p50" "$tf_p99" "$tls_floor_cpu"
printf '| (d) unchanged updates over HTTPS (--listen-https), ab, a handshake a request | %.0f | %s | %s | %.2f× | %.0f | |\n' \
  "$tls_rps" "$tls_p50" "$tls_p99" "$(calc "$tls_rps / $tf_rps")" "$tls_cpu"
printf '\n(c) changes reaching DNS: %.0f a second (%s changes, %.2f s from the first request to the last push)\n' \
  "$(calc "$pushed / $dns_s")" "$pushed" "$dns_s"

# Both stores side by side: the same names, the same load generator, the same knotd.
first_last() { awk 'NR == 1 {a = $1} {b = $1} END {printf "%.1f -> %.1f MB", a / 1024, b / 1024}' "$1"; }
pg_rps=$(field rps "$pg_unchanged")
pg_changed_rps=$(calc "($(field rps "$(cat "$work/load-d2a.txt")") + $(field rps "$(cat "$work/load-d2b.txt")"))")
printf '\n| measure | SQLite, one server | PostgreSQL |\n|---|---:|---:|\n'
printf '| unchanged updates a second (against the floor) | %s (%.2f×) | %s (%.2f×), one server |\n' "$u_rps" "$(calc "$u_rps / $f_rps")" \
  "$pg_rps" "$(calc "$pg_rps / $f_rps")"
printf '| unchanged: p50 / p99 ms (loadgen) | %s / %s | %s / %s |\n' "$(field p50_ms "$unchanged")" "$(field p99_ms "$unchanged")" \
  "$(field p50_ms "$pg_unchanged")" "$(field p99_ms "$pg_unchanged")"
printf '| unchanged: processor µs a request | %.0f | %.0f (+ PostgreSQL %.0f) |\n' "$unchanged_cpu" "$pg_unchanged_cpu" "$pg_unchanged_db"
printf '| changes reaching DNS a second | %.0f, one server | %.0f, two servers |\n' "$(calc "$pushed / $dns_s")" "$(calc "$pg_pushed / $pg_dns_s")"
printf '| changed updates answered a second (HTTP) | %s | %.0f (both servers) |\n' "$c_rps" "$pg_changed_rps"
printf '| changes: processor µs a change | %.0f (+ knotd %.0f) | %.0f (+ PostgreSQL %.0f, knotd %.0f) |\n' "$changed_cpu" "$knot_cpu" \
  "$pg_changed_cpu" "$pg_changed_db" "$pg_knot_cpu"
printf '| server memory, unchanged run, start -> end | %s | %s |\n' "$(first_last "$work/rss-b.txt")" "$(first_last "$work/rss-e.txt")"
printf '| server memory, changes run, start -> end | %s | %s and %s |\n' "$(first_last "$work/rss-c.txt")" \
  "$(first_last "$work/rss-d2a.txt")" "$(first_last "$work/rss-d2b.txt")"
