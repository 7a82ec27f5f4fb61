# Shared by run.sh and test.sh: installing what is missing, and the Wine prefix.

say() { printf '== %s\n' "$*"; }

# need_packages PKG...: installs the Debian packages that are not installed yet.
need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# libgnutls28-dev: quorveld's TLS engine is built against its headers (the library is opened
# at run time, only for an https:// server). libpq-dev: the update server's PostgreSQL store.
BUILD_PACKAGES=(cmake make g++ googletest libgtest-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  pkg-config libmicrohttpd-dev libldns-dev libsqlite3-dev libgnutls28-dev libpq-dev)
# What the update server's tests drive: a real knotd and its tools, the dyndns2 clients, curl;
# nss_wrapper gives a test name both an IPv4 and an IPv6 loopback address. quorveld's https://
# test puts nginx in front of the update server, with certificates openssl makes. postgresql:
# the servers' shared store, a throwaway cluster started by the tests (tests/support/postgres.sh).
# ldnsutils: ldns-verify-zone checks the signed zone a secondary serves.
SERVER_TEST_PACKAGES=(knot knot-dnsutils ldnsutils ddclient inadyn curl python3 libnss-wrapper nginx-light openssl postgresql)
WINE_PACKAGES=(wine wine64 xvfb xauth)

# wine_prefix DIR [unmanaged]: a throwaway Wine prefix, started once, its server kept up.
# "unmanaged": its windows are not handed to a window manager. On a display without one (Xvfb),
# Wine would wait two seconds for it at every window hidden or closed.
wine_prefix() {
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEARCH=win64
  # No prompts for Mono or Gecko: the program needs neither.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # Wine's helpers inherit the first program's output; give them /dev/null, not a pipe.
  wineboot --init </dev/null >/dev/null 2>&1 || true
  # Before the server that stays up: Wine's desktop process reads it once, at its start.
  if [ "${2:-}" = unmanaged ]; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  fi
  # The server that wineboot started ends seconds after the last program, and the next one pays
  # for starting it and Wine's services again (3 s a test program). Once it has saved the prefix
  # and ended, one is started that stays up. (With one still running, -p changes nothing.)
  wineserver -w </dev/null >/dev/null 2>&1 || true
  wineserver -p </dev/null >/dev/null 2>&1 || true
}

# with_display CMD...: runs CMD on the current display, or on a virtual one if none.
with_display() {
  if [ -n "${DISPLAY:-}" ]; then
    "$@"
  else
    xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
  fi
}

# server_port LOG PID: waits for the update server's first line ("listening on
# http://127.0.0.1:PORT/") and prints the port; prints nothing if the server ended or never said.
server_port() {
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n '1s|^listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$1")
    [ -n "$port" ] && break
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  echo "$port"
}
