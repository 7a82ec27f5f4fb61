# A real Knot DNS server on a free loopback port, for tests, the demo and the benchmark.
# Source it, then:
#   knot_start DIR [ZONE]   starts knotd in DIR (an existing, empty temporary folder), serving
#                           ZONE (default dyn.example.test) on 127.0.0.1 and ::1, with a TSIG key
#                           that may update the zone. Sets KNOT_PORT, KNOT_PID, KNOT_ZONE,
#                           KNOT_KEYNAME, KNOT_KEYFILE (BIND's tsig-keygen format), KNOT_SERVER
#                           (127.0.0.1:PORT), KNOT_DIR. Returns non-zero if knotd never answered.
#   knot_serial             prints the zone's SOA serial as knotd serves it
#   knot_query NAME TYPE    prints the record's data (+short), NAME relative to the zone or full
#   knot_records TYPE       prints "NAME DATA" for each record of TYPE in the zone (AXFR)
#   knot_update LINES...    sends one signed update (knsupdate commands, e.g. "update add ...")
#   knot_stop               ends knotd and waits for it (DIR is left to the caller)
#   knot_again              after knot_stop, knotd once more on the same port and DIR, its zone
#                           as it was left. Returns non-zero if knotd never answered.
#   free_port               prints a TCP and UDP port that nothing on this machine uses now
# knotd runs as whoever calls this (root in CI): the config names that user, its own rundir and
# an existing database folder, without which every update fails.
# Optional: KNOT_ZONEFILE_SYNC (default 0: the zone file is written after each update; -1 keeps
# changes in the journal only, for the benchmark).
# Needs the Debian packages in KNOT_PACKAGES (scripts/common.sh's need_packages installs them).

KNOT_PACKAGES=(knot knot-dnsutils)

free_port() {
  local port used
  used=$(ss -Htuan 2>/dev/null | awk '{print $5}' | sed 's/.*[:\]]//' | sort -u)
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 40000))
    grep -qx "$port" <<<"$used" || { echo "$port"; return 0; }
  done
  return 1
}

_knot_write_config() {
  local dir=$1 zone=$2 port=$3 secret=$4
  cat >"$dir/knot.conf" <<CONF
server:
    rundir: "$dir/run"
    user: $(id -un):$(id -gn)
    listen: [ 127.0.0.1@$port, ::1@$port ]
    udp-workers: 2
    tcp-workers: 2
    background-workers: 1

database:
    storage: "$dir/db"

log:
  - target: "$dir/knotd.log"
    any: info

key:
  - id: $KNOT_KEYNAME
    algorithm: hmac-sha256
    secret: $secret

acl:
  - id: update-by-key
    key: $KNOT_KEYNAME
    action: update
  - id: transfer-to-loopback
    address: [ 127.0.0.0/8, ::1 ]
    action: transfer

template:
  - id: default
    storage: "$dir/zones"
    zonefile-sync: ${KNOT_ZONEFILE_SYNC:-0}

zone:
  - domain: $zone
    file: "$zone.zone"
    acl: [ update-by-key, transfer-to-loopback ]
CONF
}

_knot_write_zone() {
  local dir=$1 zone=$2
  cat >"$dir/zones/$zone.zone" <<ZONE
\$ORIGIN $zone.
\$TTL 60
@       SOA   ns hostmaster 1 3600 600 604800 60
@       NS    ns
ns      A     127.0.0.1
ns      AAAA  ::1
ZONE
}

knot_start() {
  local dir zone secret
  dir=$(realpath -m "$1")
  zone=${2:-dyn.example.test}
  zone=${zone%.}
  KNOT_DIR=$dir
  KNOT_ZONE=$zone
  KNOT_KEYNAME=quorvel-update
  KNOT_KEYFILE=$dir/tsig.key
  mkdir -p "$dir/run" "$dir/db" "$dir/zones"
  secret=$(head -c 32 /dev/urandom | base64)
  printf 'key "%s" {\n\talgorithm hmac-sha256;\n\tsecret "%s";\n};\n' "$KNOT_KEYNAME" "$secret" >"$KNOT_KEYFILE"
  # knsupdate reads its own format (ALG:NAME:SECRET), not BIND's.
  printf 'hmac-sha256:%s:%s\n' "$KNOT_KEYNAME" "$secret" >"$dir/tsig.knsupdate"
  chmod 600 "$KNOT_KEYFILE" "$dir/tsig.knsupdate"
  _knot_write_zone "$dir" "$zone"
  # Another program may take the port between the choice and the bind: try a few.
  local attempt
  for attempt in 1 2 3 4 5; do
    KNOT_PORT=$(free_port) || return 1
    KNOT_SERVER=127.0.0.1:$KNOT_PORT
    _knot_write_config "$dir" "$zone" "$KNOT_PORT" "$secret"
    knotd -c "$dir/knot.conf" >>"$dir/knotd.out" 2>&1 &
    KNOT_PID=$!
    local _
    for _ in $(seq 100); do
      if ! kill -0 "$KNOT_PID" 2>/dev/null; then
        break
      fi
      if [ -n "$(knot_serial)" ] && [ -n "$(kdig @::1 -p "$KNOT_PORT" +short +time=1 +retry=0 "$zone." SOA 2>/dev/null)" ]; then
        export KNOT_DIR KNOT_ZONE KNOT_KEYNAME KNOT_KEYFILE KNOT_PORT KNOT_SERVER KNOT_PID
        return 0
      fi
      sleep 0.1
    done
    knot_stop
  done
  echo "knotd did not answer; its log:" >&2
  tail -n 20 "$dir/knotd.log" "$dir/knotd.out" >&2 2>/dev/null
  return 1
}

knot_stop() {
  [ -n "${KNOT_PID:-}" ] || return 0
  kill "$KNOT_PID" 2>/dev/null || true
  wait "$KNOT_PID" 2>/dev/null || true
  KNOT_PID=
}

knot_again() {
  knotd -c "$KNOT_DIR/knot.conf" >>"$KNOT_DIR/knotd.out" 2>&1 &
  KNOT_PID=$!
  local _
  for _ in $(seq 100); do [ -n "$(knot_serial)" ] && return 0; sleep 0.1; done
  return 1
}

knot_serial() {
  kdig @127.0.0.1 -p "$KNOT_PORT" +short +time=1 +retry=0 "$KNOT_ZONE." SOA 2>/dev/null | awk '{print $3}'
}

knot_query() {
  local name=$1
  case "$name" in
    *.) ;;
    "$KNOT_ZONE") name=$name. ;;
    *."$KNOT_ZONE") name=$name. ;;
    *) name=$name.$KNOT_ZONE. ;;
  esac
  kdig @127.0.0.1 -p "$KNOT_PORT" +short +time=1 +retry=0 "$name" "$2" 2>/dev/null
}

# knot_records TYPE: the zone's records of that type (a zone transfer), "NAME DATA" a line.
knot_records() {
  kdig @127.0.0.1 -p "$KNOT_PORT" +tcp +time=5 "$KNOT_ZONE." AXFR 2>/dev/null |
    awk -v t="$1" '$4 == t {print $1, $5}'
}

knot_update() {
  {
    echo "server 127.0.0.1 $KNOT_PORT"
    echo "zone $KNOT_ZONE."
    echo "origin $KNOT_ZONE."
    printf '%s\n' "$@"
    echo "send"
  } | knsupdate -k "$KNOT_DIR/tsig.knsupdate"
}
