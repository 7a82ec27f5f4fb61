#!/usr/bin/env python3
"""quorveld beside inadyn and ddclient, all against one loopback server that answers each its
own protocol: one forced update in one-shot mode (wall, CPU, peak memory; medians of
interleaved runs), the same over HTTPS through nginx in front of that server (quorveld against
curl, the floor of one TLS exchange from a fresh process, and inadyn, whose ssl = true is its
default), then the daemons running (resident and anonymous memory after start and,
for quorveld, after many updates; CPU used while idle). Prints a Markdown table.

usage: daemons.py QUORVELD SPAWN_USAGE FLOOR_CLIENT   (run by bench/daemons.sh)
"""
import http.server
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

RUNS = int(os.environ.get("BENCH_RUNS", "15"))
UPDATES = int(os.environ.get("BENCH_UPDATES", "1000"))
IDLE = int(os.environ.get("BENCH_IDLE_SECONDS", "60"))
MARKER = "<!-- OSKEL_START_HTML -->"

hits = {"quorvel": 0, "dyndns2": 0}
hits_lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        if self.path.startswith("/update?ip_key="):
            kind, body = "quorvel", "<html>" + MARKER + "found"
        elif self.path.startswith("/nic/update"):
            kind, body = "dyndns2", "good 127.0.0.1"
        else:
            self.send_error(404)
            return
        with hits_lock:
            hits[kind] += 1
        data = body.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


def start_server():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_tls_front(work, upstream, cert, key):
    """nginx terminating TLS (1.2 and 1.3) in front of the loopback server: a TLS server as the
    clients meet it, which counts nothing itself. Returns (process, port)."""
    port = free_port()
    os.makedirs(f"{work}/nginx/tmp", exist_ok=True)
    with open(f"{work}/nginx/nginx.conf", "w") as f:
        f.write(f"""pid {work}/nginx/nginx.pid;
events {{}}
http {{
  access_log off;
  client_body_temp_path {work}/nginx/tmp; proxy_temp_path {work}/nginx/tmp;
  fastcgi_temp_path {work}/nginx/tmp; uwsgi_temp_path {work}/nginx/tmp; scgi_temp_path {work}/nginx/tmp;
  server {{
    listen 127.0.0.1:{port} ssl;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    location / {{ proxy_pass http://127.0.0.1:{upstream}; }}
  }}
}}
""")
    proc = subprocess.Popen(["nginx", "-p", f"{work}/nginx", "-c", f"{work}/nginx/nginx.conf", "-e",
                             f"{work}/nginx/error.log", "-g", "daemon off; master_process off;"])
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            time.sleep(0.05)
    sys.exit("nginx did not start: " + open(f"{work}/nginx/error.log").read())


def make_certificates(work):
    """A test authority and a certificate for 127.0.0.1 signed by it (ECDSA P-256)."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
        "-subj", "/CN=bench CA", "-keyout", f"{work}/ca.key", "-out", f"{work}/ca.pem")
    run("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=127.0.0.1",
        "-keyout", f"{work}/server.key", "-out", f"{work}/server.csr")
    with open(f"{work}/san.ext", "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    run("x509", "-req", "-in", f"{work}/server.csr", "-CA", f"{work}/ca.pem", "-CAkey", f"{work}/ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", f"{work}/san.ext", "-out", f"{work}/server.pem")
    return f"{work}/server.pem", f"{work}/server.key", f"{work}/ca.pem"


def libraries_loaded(cmd, env):
    """The shared libraries the dynamic loader opened for one run (LD_DEBUG=libs)."""
    run = subprocess.run(cmd, env=dict(env, LD_DEBUG="libs"), stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=False)
    return sorted({line.split("file=")[1].split()[0] for line in run.stderr.splitlines()
                   if "file=" in line and "[0];  needed by" not in line and "calling init" not in line})


def timed(cmd, env):
    """Wall seconds, CPU seconds and peak resident kB of one run, taken by the spawn helper."""
    out = subprocess.run([SPAWN] + cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         check=True).stdout.split()
    wall, user, system, peak, status = (int(x) for x in out[-5:])
    if status != 0:
        sys.exit(f"{cmd[0]} failed with status {status}")
    return wall / 1e9, (user + system) / 1e6, peak


def status_kb(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                fields[key] = int(value.split()[0])
    return fields["VmRSS"], fields["RssAnon"]


def cpu_ns(pid):
    """CPU time of every thread of the process, from the scheduler (nanoseconds)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])
    return total


def wait_hits(kind, count, timeout):
    end = time.time() + timeout
    while time.time() < end:
        with hits_lock:
            if hits[kind] >= count:
                return True
        time.sleep(0.02)
    return False


def write_inadyn_config(path, port, ca=None):
    """inadyn's custom dyndns2 provider for bench.example at 127.0.0.1:port: over HTTPS, checking
    the certificate against the authority ca, when ca is given, else over plain HTTP. The
    address is lo's, so it never asks a check-ip server on the Internet."""
    trust = f"ca-trust-file = {ca}\n" if ca else ""
    with open(path, "w") as f:
        f.write(f"""iface = lo
verify-address = false
period = 600
{trust}custom bench@dyndns2 {{
    ssl = {"true" if ca else "false"}
    ddns-server = 127.0.0.1:{port}
    ddns-path = "/nic/update?hostname=%h&myip=%i"
    username = bench
    password = bench
    hostname = bench.example
}}
""")


def main():
    global SPAWN
    quorveld = os.path.abspath(sys.argv[1])
    SPAWN = os.path.abspath(sys.argv[2])
    floor = os.path.abspath(sys.argv[3])
    port = start_server()
    work = tempfile.mkdtemp(prefix="quorvel-daemons-")
    cert, key, ca = make_certificates(work)
    nginx, tls_port = start_tls_front(work, port, cert, key)
    base = dict(os.environ, QUORVEL_SERVER=f"127.0.0.1:{port}", XDG_CONFIG_HOME=f"{work}/q",
                XDG_STATE_HOME=f"{work}/state", LC_ALL="C")

    # inadyn: the custom provider over plain HTTP to the loopback server.
    write_inadyn_config(f"{work}/inadyn.conf", port)
    # ddclient: dyndns2 to the loopback server, a fixed address, no TLS.
    with open(f"{work}/ddclient.conf", "w") as f:
        f.write(f"""ssl=no
usev4=ipv4
ipv4=127.0.0.1
protocol=dyndns2
server=127.0.0.1:{port}
login=bench
password=bench
bench.example
""")
    os.chmod(f"{work}/ddclient.conf", 0o600)
    # inadyn over HTTPS, its default, checking the certificate against the bench's authority.
    write_inadyn_config(f"{work}/inadyn-tls.conf", tls_port, ca)
    os.makedirs(f"{work}/inadyn-cache", exist_ok=True)

    subprocess.run([quorveld, "activate", "bench-id", "--interval", "1"], env=base, check=True)
    # The others remember the last update; a forced one-shot update each time.
    oneshot = {
        "floor": [floor, str(port), "bench-id"],
        "quorveld": [quorveld, "once"],
        "inadyn": ["inadyn", "-1", "--force", "-n", "--no-pidfile", "-f", f"{work}/inadyn.conf",
                   "--cache-dir", f"{work}/inadyn-cache", "-l", "err"],
        "ddclient": ["ddclient", "-daemon=0", "-foreground", "-force", "-quiet",
                     "-file", f"{work}/ddclient.conf", "-cache", f"{work}/ddclient.cache"],
    }
    names = list(oneshot)
    samples = {name: [] for name in names}
    for name in names:  # warm the page cache once
        timed(oneshot[name], base)
    before = dict(hits)
    for _ in range(RUNS):
        for name in names:
            samples[name].append(timed(oneshot[name], base))
    if hits["quorvel"] - before["quorvel"] != 2 * RUNS or hits["dyndns2"] - before["dyndns2"] != 2 * RUNS:
        sys.exit(f"the server did not see one update per run: {hits} before {before}")

    rows = {}
    for name in names:
        wall = statistics.median(s[0] for s in samples[name]) * 1000
        cpu = statistics.median(s[1] for s in samples[name]) * 1000
        peak = statistics.median(s[2] for s in samples[name]) / 1024
        rows[name] = {"wall": wall, "cpu": cpu, "peak": peak}

    floor_row = rows.pop("floor")
    names.remove("floor")

    # The same update over HTTPS, a fresh process and a full handshake each time.
    tenv = dict(base, QUORVEL_SERVER=f"https://127.0.0.1:{tls_port}", QUORVEL_CA_FILE=ca)
    os.makedirs(f"{work}/inadyn-tls-cache", exist_ok=True)
    tls_oneshot = {
        "curl": ["curl", "-sf", "-o", "/dev/null", "--cacert", ca,
                 f"https://127.0.0.1:{tls_port}/update?ip_key=bench-id"],
        "quorveld": [quorveld, "once"],
        "inadyn": ["inadyn", "-1", "--force", "-n", "--no-pidfile", "-f", f"{work}/inadyn-tls.conf",
                   "--cache-dir", f"{work}/inadyn-tls-cache", "-l", "err"],
    }
    tls_samples = {name: [] for name in tls_oneshot}
    for cmd in tls_oneshot.values():
        timed(cmd, tenv)
    before = dict(hits)
    for _ in range(RUNS):
        for name, cmd in tls_oneshot.items():
            tls_samples[name].append(timed(cmd, tenv))
    if hits["quorvel"] - before["quorvel"] != 2 * RUNS or hits["dyndns2"] - before["dyndns2"] != RUNS:
        sys.exit(f"the TLS server did not see one update per run: {hits} before {before}")
    tls_rows = {name: {"wall": statistics.median(s[0] for s in samples_) * 1000,
                       "cpu": statistics.median(s[1] for s in samples_) * 1000,
                       "peak": statistics.median(s[2] for s in samples_) / 1024}
                for name, samples_ in tls_samples.items()}

    # The plain run must not even load the TLS library; the https one does.
    plain_libs = libraries_loaded([quorveld, "once"], base)
    tls_libs = libraries_loaded([quorveld, "once"], tenv)

    # The daemons, each after its first update.
    running = {}
    qenv = dict(base, XDG_CONFIG_HOME=f"{work}/qd")
    subprocess.run([quorveld, "deactivate"], env=qenv, check=True)
    start = {
        "quorveld": ([quorveld, "run"], qenv, "quorvel"),
        "inadyn": (["inadyn", "-n", "--no-pidfile", "-f", f"{work}/inadyn.conf",
                    "--cache-dir", f"{work}/inadyn-cache-d", "-l", "err"], base, "dyndns2"),
        "ddclient": (["ddclient", "-foreground", "-daemon=300", "-force", "-quiet",
                      "-file", f"{work}/ddclient.conf", "-cache", f"{work}/ddclient-d.cache"],
                     base, "dyndns2"),
    }
    os.makedirs(f"{work}/inadyn-cache-d", exist_ok=True)
    for name in names:
        cmd, env, kind = start[name]
        seen = hits[kind]
        proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if name == "quorveld":
            time.sleep(0.3)
            subprocess.run([quorveld, "activate", "bench-id", "--interval", "60"], env=env, check=True)
        if not wait_hits(kind, seen + 1, 30):
            sys.exit(f"{name} made no update after its start")
        time.sleep(1)
        running[name] = proc
        rows[name]["rss"], rows[name]["anon"] = status_kb(proc.pid)
        if name == "quorveld":
            with open(f"/proc/{proc.pid}/maps") as f:
                mapped = f.read()
            if "gnutls" in mapped:
                sys.exit("quorveld run has GnuTLS mapped for a plain server")

    # Idle: the same minute for all three, no update due.
    first = {name: cpu_ns(p.pid) for name, p in running.items()}
    time.sleep(IDLE)
    for name, proc in running.items():
        rows[name]["idle"] = (cpu_ns(proc.pid) - first[name]) / (IDLE * 1e9) * 100
    for proc in running.values():
        proc.terminate()
        proc.wait()

    # quorveld through many updates: a shortened tick (bench only) makes each one-minute
    # countdown last 60 ms.
    fenv = dict(base, XDG_CONFIG_HOME=f"{work}/qf", QUORVEL_TICK_MS="1")
    subprocess.run([quorveld, "activate", "bench-id", "--interval", "1"], env=fenv, check=True)
    seen = hits["quorvel"]
    proc = subprocess.Popen([quorveld, "run"], env=fenv, stdout=subprocess.DEVNULL)
    if not wait_hits("quorvel", seen + 1, 30):
        sys.exit("quorveld made no update with the short tick")
    time.sleep(0.01)
    after_one = status_kb(proc.pid)
    if not wait_hits("quorvel", seen + UPDATES // 2, UPDATES * 0.2 + 60):
        sys.exit("quorveld did not make the updates")
    half_way = status_kb(proc.pid)
    if not wait_hits("quorvel", seen + UPDATES, UPDATES * 0.2 + 60):
        sys.exit("quorveld did not make the updates")
    after_many = status_kb(proc.pid)
    proc.terminate()
    proc.wait()

    nginx.terminate()
    nginx.wait()

    def mb(kb):
        return f"{kb / 1024:.1f}"

    print(f"| one update, one-shot (median of {RUNS}) | floor (static C) | quorveld | inadyn | ddclient |")
    print("|---|---|---|---|---|")
    for key, label in (("wall", "wall time (ms)"), ("cpu", "CPU time (ms)"), ("peak", "peak resident (MB)")):
        print(f"| {label} | {floor_row[key]:.1f} | " + " | ".join(f"{rows[n][key]:.1f}" for n in names) + " |")
    print("| **running daemon** | | | | |")
    print("| resident after start and one update (MB) | | " + " | ".join(mb(rows[n]['rss']) for n in names) + " |")
    print("| anonymous after start and one update (MB) | | " + " | ".join(mb(rows[n]['anon']) for n in names) + " |")
    print(f"| CPU while idle for {IDLE} s (% of a core) | | " + " | ".join(f"{rows[n]['idle']:.4f}" for n in names) + " |")
    print()
    print(f"| one update over HTTPS, one-shot (median of {RUNS}) | floor (curl --cacert) | quorveld | inadyn |")
    print("|---|---|---|---|")
    for key, label in (("wall", "wall time (ms)"), ("cpu", "CPU time (ms)"), ("peak", "peak resident (MB)")):
        print(f"| {label} | " + " | ".join(f"{tls_rows[n][key]:.1f}" for n in tls_oneshot) + " |")
    print()
    print(f"quorveld's one-shot wall time over HTTPS is {tls_rows['quorveld']['wall'] / tls_rows['curl']['wall']:.2f}x "
          f"curl's (target 1.2x), {tls_rows['quorveld']['wall'] / tls_rows['inadyn']['wall']:.2f}x inadyn's")
    print("quorveld run, plain server: no libgnutls in /proc/PID/maps")
    print(f"libraries loaded by quorveld once, plain: {' '.join(plain_libs) or 'none'}")
    print(f"libraries loaded by quorveld once, https: {' '.join(tls_libs)}")
    if any("gnutls" in lib for lib in plain_libs) or not any("gnutls" in lib for lib in tls_libs):
        sys.exit("GnuTLS loaded for a plain server, or not for an https one")
    print()
    print(f"quorveld's one-shot wall time is {rows['quorveld']['wall'] / floor_row['wall']:.2f}x the floor's "
          "(target 1.5x)")
    print()
    print(f"quorveld over {UPDATES} updates (1 ms tick, bench only), kB after 1, {UPDATES // 2} and "
          f"{UPDATES}: resident {after_one[0]}, {half_way[0]}, {after_many[0]}; "
          f"anonymous {after_one[1]}, {half_way[1]}, {after_many[1]}")


if __name__ == "__main__":
    main()
