# Sourced by the end-to-end scripts: the native update server (quorvel-server) on a free
# loopback port, without DNS.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

# start_update_server SERVER WORK_DIR LABEL [SERVE_OPTION...]: adds the name LABEL and starts the
# server (with the options given, e.g. --max-updates-per-minute 0), its log in
# WORK_DIR/server.log and its store in WORK_DIR/store.db; sets $server (its pid), $port and
# $known (the identifier made for LABEL).
start_update_server() {
  local binary=$1 work=$2 label=$3
  shift 3
  if [ ! -x "$binary" ]; then
    echo "FAIL: no update server at '$binary' (configure with -DQUORVEL_UPDATE_SERVER=<native build>/server/quorvel-server)"
    exit 1
  fi
  known=$("$binary" add "$label" --store "$work/store.db" | tail -n 1)
  : >"$work/server.log"
  "$binary" serve --listen 127.0.0.1:0 --store "$work/store.db" "$@" >"$work/server.log" 2>&1 &
  server=$!
  port=$(server_port "$work/server.log" "$server")
  if [ -z "$port" ] || [ -z "$known" ]; then
    echo "FAIL: the update server did not start:"; cat "$work/server.log"; exit 1
  fi
}

stop_update_server() {
  if [ -n "${server:-}" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
}

# whole_signature CERT.pem: both integers of its ECDSA signature are the curve's 32 bytes (33
# with a sign byte). Wine's crypt32 refuses a signature whose r or s is shorter, as one in
# about 128 is ("refusé (0x80096004)", a bad signature); Windows takes them.
whole_signature() {
  local offset
  offset=$(openssl asn1parse -in "$1" | awk '/BIT STRING/ { o = $1 } END { print o + 0 }')
  openssl asn1parse -in "$1" -strparse "$offset" |
    awk '/INTEGER/ { if ($0 !~ /l= *3[23] /) short = 1; n++ } END { exit !(n == 2 && !short) }'
}

# start_tls_proxy WORK_DIR UPSTREAM_PORT: nginx in front of the update server with certificates
# of a test authority made here (WORK_DIR/tls/ca.pem, ca.der): "good" for localhost and
# 127.0.0.1, "misnamed" for other.example, "untrusted" from an authority nobody trusts; "good"
# again on a TLS 1.3 only port, where nginx sends two session tickets after the handshake. Sets
# $nginx (its pid), $p_good, $p_misnamed, $p_untrusted and $p_tls13.
start_tls_proxy() {
  local tls=$1/tls upstream=$2
  mkdir -p "$tls/tmp"
  local name ca
  # Each certificate signed again until its signature is whole, so that Wine judges the name
  # and the authority, not the signature's length.
  for name in ca stranger; do
    for _ in $(seq 50); do
      openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=Quorvel test $name" \
        -keyout "$tls/$name.key" -out "$tls/$name.pem" 2>/dev/null && whole_signature "$tls/$name.pem" && break
    done
  done
  openssl x509 -in "$tls/ca.pem" -outform der -out "$tls/ca.der"
  for site in "good ca IP:127.0.0.1,DNS:localhost" "misnamed ca DNS:other.example" \
    "untrusted stranger IP:127.0.0.1,DNS:localhost"; do
    set -- $site
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$1" \
      -keyout "$tls/$1.key" -out "$tls/$1.csr" 2>/dev/null
    for _ in $(seq 50); do
      openssl x509 -req -in "$tls/$1.csr" -CA "$tls/$2.pem" -CAkey "$tls/$2.key" -CAcreateserial -days 2 \
        -extfile <(printf 'subjectAltName=%s\n' "$3") -out "$tls/$1.pem" 2>/dev/null && whole_signature "$tls/$1.pem" && break
    done
  done
  read -r p_good p_misnamed p_untrusted p_tls13 < <(python3 -c 'import socket
socks = [socket.socket() for _ in range(4)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])')
  {
    echo "worker_processes 1; pid $tls/nginx.pid; events {}"
    echo "http { access_log off; client_body_temp_path $tls/tmp; proxy_temp_path $tls/tmp;"
    echo "  fastcgi_temp_path $tls/tmp; uwsgi_temp_path $tls/tmp; scgi_temp_path $tls/tmp;"
    for site in "good $p_good" "misnamed $p_misnamed" "untrusted $p_untrusted"; do
      set -- $site
      echo "  server { listen 127.0.0.1:$2 ssl; ssl_certificate $tls/$1.pem; ssl_certificate_key $tls/$1.key;"
      echo "    location / { proxy_pass http://127.0.0.1:$upstream; } }"
    done
    echo "  server { listen 127.0.0.1:$p_tls13 ssl; ssl_protocols TLSv1.3; ssl_certificate $tls/good.pem;"
    echo "    ssl_certificate_key $tls/good.key; location / { proxy_pass http://127.0.0.1:$upstream; } }"
    echo "}"
  } >"$tls/nginx.conf"
  nginx -p "$tls" -c "$tls/nginx.conf" -e "$tls/nginx.err" -g "daemon off; master_process off;" &
  nginx=$!
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p_untrusted") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "FAIL: nginx did not start:"; cat "$tls/nginx.err"; exit 1
}

stop_tls_proxy() {
  if [ -n "${nginx:-}" ]; then kill "$nginx" 2>/dev/null || true; wait "$nginx" 2>/dev/null || true; fi
}

# start_relay UPSTREAM_PORT RECORD [hold]: a loopback relay that writes every byte going either
# way to RECORD, what anyone on the path would see. With hold, the server's bytes are passed on
# only once it has been silent for 0.2 s or has ended, in one write: what it sends close
# together (TLS 1.3's session tickets, the reply, its close) reaches the client in one read.
# Sets $relay (its pid) and $p_relay.
start_relay() {
  p_relay=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  # (SIGTERM back to its default: a caller such as xvfb-run may hand it down ignored.)
  python3 -c 'import signal, socket, sys, threading
signal.signal(signal.SIGTERM, signal.SIG_DFL)
listener = socket.create_server(("127.0.0.1", int(sys.argv[1])))
record = open(sys.argv[3], "ab", buffering=0)
def pipe(a, b):
    while data := a.recv(65536):
        record.write(data); b.sendall(data)
    b.shutdown(socket.SHUT_WR)
def held(a, b):
    a.settimeout(0.2); pending = b""
    while True:
        try:
            data = a.recv(65536)
        except socket.timeout:
            if pending: b.sendall(pending); pending = b""
            continue
        if not data: break
        record.write(data); pending += data
    if pending: b.sendall(pending)
    b.shutdown(socket.SHUT_WR)
while True:
    client, _ = listener.accept()
    upstream = socket.create_connection(("127.0.0.1", int(sys.argv[2])))
    threading.Thread(target=pipe, args=(client, upstream), daemon=True).start()
    threading.Thread(target=held if sys.argv[4:] == ["hold"] else pipe, args=(upstream, client), daemon=True).start()' \
    "$p_relay" "$1" "$2" ${3:+"$3"} &
  relay=$!
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p_relay") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "FAIL: the relay did not start"; exit 1
}
