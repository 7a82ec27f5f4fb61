#!/usr/bin/env bash
# server_install.sh BUILD_DIR SERVER [DIST]: installs the build under a temporary prefix and
# checks what quorvel-server's operator gets; with DIST, the folder that holds the built .deb
# files, also installs them into scratch roots and runs the server's unit as systemd would
# (needs root: a mount and network namespace, a chroot, another uid).
set -euo pipefail
build=$1
server=$2
dist=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }
unit=$prefix/lib/systemd/system/quorvel-server.service
conf=$prefix/etc/quorvel/server.conf
man=$prefix/share/man/man1/quorvel-server.1
for f in "$prefix/bin/quorvel-server" "$unit" "$conf" "$man"; do
  [ -f "$f" ] || fail "not installed: ${f#"$prefix"/}"
done
[ -x "$prefix/bin/quorvel-server" ] || fail "the program is not executable"

# The unit starts the installed program with the installed configuration, and hands it the
# key from beside that configuration.
grep -qx "ExecStart=$prefix/bin/quorvel-server serve --config $prefix/etc/quorvel/server.conf --tsig-key \${CREDENTIALS_DIRECTORY}/tsig.key" "$unit" ||
  fail "ExecStart does not name the installed program and configuration: $(grep ^ExecStart "$unit")"
grep -qx "LoadCredential=tsig.key:$prefix/etc/quorvel/tsig.key" "$unit" || fail "LoadCredential: $(grep ^LoadCredential "$unit")"
# Without DNS there is no key file: a placeholder credential in its place, or the unit would not start.
grep -qx "SetCredential=tsig.key:none" "$unit" || fail "no tsig.key credential to fall back on"
if command -v systemd-analyze >/dev/null && systemd-analyze verify "$unit" 2>&1 | grep -i "invalid\|ignoring"; then
  fail "systemd ignores a line of the unit"
fi
if grep -n '@[A-Z_]*@' "$unit"; then fail "the unit keeps placeholders"; fi
grep -q '^DynamicUser=yes$' "$unit" || fail "the unit has no DynamicUser"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "systemctl reload does not send SIGHUP"
grep -q '^AmbientCapabilities=CAP_NET_BIND_SERVICE$' "$unit" || fail "the unit cannot bind port 80"

# The sandbox stays tight: systemd rates it 2.0 or better ("OK").
if command -v systemd-analyze >/dev/null; then
  systemd-analyze security --offline=true --threshold=20 "$unit" >"$tmp/security.txt" 2>&1 ||
    fail "systemd-analyze security: $(grep Overall "$tmp/security.txt")"
fi

# Every example of the configuration is an option the program takes: all of them uncommented
# (paths made local) must satisfy `list`.
key=$tmp/tsig.key
printf 'key "test" {\n\talgorithm hmac-sha256;\n\tsecret "%s";\n};\n' "$(head -c 32 /dev/urandom | base64)" >"$key"
sed -e 's/^#\([a-z-]* = \)/\1/' -e "s|^store = .*|store = $tmp/store.db|" -e "s|^tsig-key = .*|tsig-key = $key|" \
  "$conf" >"$tmp/all.conf"
examples=$(grep -c '^[a-z-]* = ' "$tmp/all.conf")
[ "$examples" -ge 10 ] || fail "only $examples options in the example configuration"
"$server" add probe --store "$tmp/store.db" >/dev/null  # list makes no store
"$server" list --config "$tmp/all.conf" >"$tmp/list.txt" 2>&1 || fail "the example configuration is refused: $(cat "$tmp/list.txt")"

# Every option the program names in its usage is in the configuration and in the man page.
for option in $("$server" --help | grep -o -- '--[a-z-]*' | sort -u); do
  name=${option#--}
  grep -q -- "\\\\-\\\\-${name//-/\\\\-}" "$man" || fail "the man page does not document $option"
  [ "$name" = config ] || grep -q "^#\?$name = " "$conf" || fail "server.conf has no example of $name"
done

# The man page renders without warnings.
if command -v groff >/dev/null; then
  warnings=$(groff -man -ww -z "$man" 2>&1 || true)
  [ -z "$warnings" ] || fail "groff: $warnings"
fi

# The store's folder may be reached through a link (systemd's StateDirectory under
# DynamicUser); the store file itself may not be a link.
mkdir "$tmp/private"
ln -s private "$tmp/state"
"$server" add maison --store "$tmp/state/linked.db" >"$tmp/add.txt" 2>&1 || fail "a store in a linked folder: $(cat "$tmp/add.txt")"
[ -f "$tmp/private/linked.db" ] && [ ! -L "$tmp/private/linked.db" ] || fail "the store is not in the link's target"
echo precious >"$tmp/victim"
ln -s ../victim "$tmp/private/planted.db"
if "$server" list --store "$tmp/state/planted.db" >"$tmp/list.txt" 2>&1; then fail "a store that is a link is opened"; fi
[ "$(cat "$tmp/victim")" = precious ] || fail "the link's target was written"

# deb_of NAME: the newest NAME_*.deb in DIST.
deb_of() { ls -t "$dist/$1"_*.deb 2>/dev/null | head -n 1; }

# The packages as built, taken apart: what they hold, their dependencies, their scripts.
check_deb() {  # NAME LIBRARY...: the package holds the program NAME, depends on each LIBRARY
  local name=$1 deb root=$tmp/root-$1 library
  shift
  deb=$(deb_of "$name")
  [ -n "$deb" ] || { fail "no $name .deb in $dist"; return 1; }
  echo "checking $deb"
  dpkg-deb -x "$deb" "$root"
  dpkg-deb -e "$deb" "$root/DEBIAN"
  # The program is the one the package is named after (its usage names it).
  "$root/usr/bin/$name" --help 2>&1 | head -n 1 | grep -q "^usage: $name " ||
    fail "$name.deb's /usr/bin/$name is another program: $("$root/usr/bin/$name" --help 2>&1 | head -n 1)"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libc6 "$@"; do
    [[ "$depends" == *"$library"* ]] || fail "$name.deb does not depend on $library: Depends: $depends"
  done
  local script
  for script in postinst prerm postrm; do
    [ -x "$root/DEBIAN/$script" ] && sh -n "$root/DEBIAN/$script" || fail "$name.deb has no $script"
  done
  local unit=$root/usr/lib/systemd/system/$name.service
  [ -f "$unit" ] || fail "$name.deb has no system unit"
  grep -q "^ExecStart=/usr/bin/$name " "$unit" || fail "$name.service does not start /usr/bin/$name"
}

# maintainer SCRIPT ARGS...: runs the server package's maintainer script in a mount namespace
# where /run, /var/lib and /etc/systemd/system are scratch folders, systemctl and
# deb-systemd-invoke stubs that write what they were asked; prints the calls, then what of the
# state is left.
maintainer() {
  unshare -m bash -s -- "$@" <<SCRIPT
set -e
for d in /run /var/lib /etc/systemd/system; do mount -t tmpfs none "\$d"; done
mkdir -p /run/systemd/system /var/lib/private/quorvel-server /etc/systemd/system/multi-user.target.wants
ln -s private/quorvel-server /var/lib/quorvel-server
touch /var/lib/private/quorvel-server/quorvel-server.db /etc/systemd/system/multi-user.target.wants/quorvel-server.service
export PATH=$tmp/stubs:\$PATH
: >$tmp/calls
sh $tmp/root-quorvel-server/DEBIAN/"\$@"
cat $tmp/calls
[ ! -L /var/lib/quorvel-server ] || echo "link /var/lib/quorvel-server"
find /var/lib/private /etc/systemd/system/multi-user.target.wants -mindepth 1 -maxdepth 1 -printf '%f\n'
SCRIPT
}

if [ -n "$dist" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "FAIL: the package checks need root (namespaces, chroot, another uid)"; exit 1; }
  check_deb quorveld
  # quorveld's https:// needs GnuTLS, which it loads only then.
  [[ "$(dpkg-deb -f "$(deb_of quorveld)" Recommends)" == libgnutls30* ]] ||
    fail "quorveld.deb does not recommend libgnutls30"
  check_deb quorvel-server libmicrohttpd libldns libsqlite3 libpq5
  echo "--- $(deb_of quorvel-server)"
  dpkg-deb -I "$(deb_of quorvel-server)"
  dpkg-deb -c "$(deb_of quorvel-server)"

  # Maintainer scripts: reload on install, restart on upgrade, stop on removal, state dropped
  # only on purge.
  mkdir -p "$tmp/stubs"
  for stub in systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>%s\n' "$stub" "$tmp/calls" >"$tmp/stubs/$stub"
    chmod 755 "$tmp/stubs/$stub"
  done
  nl=$'\n'
  kept="link /var/lib/quorvel-server${nl}quorvel-server${nl}quorvel-server.service"  # the state, the enabled unit
  expect_calls() {  # WHAT EXPECTED SCRIPT ARGS...
    local what=$1 want=$2 got
    shift 2
    got=$(maintainer "$@" 2>&1)
    [ "$got" = "$want" ] || fail "$what: expected${nl}$want${nl}got${nl}$got"
  }
  expect_calls "first install" "systemctl --system daemon-reload${nl}$kept" postinst configure
  expect_calls "upgrade" "systemctl --system daemon-reload${nl}deb-systemd-invoke try-restart quorvel-server.service${nl}$kept" \
    postinst configure 2.00-1
  expect_calls "prerm on upgrade" "$kept" prerm upgrade 2.02-1
  expect_calls "prerm on removal" "deb-systemd-invoke stop quorvel-server.service${nl}$kept" prerm remove
  expect_calls "postrm on removal keeps the state" "systemctl --system daemon-reload${nl}$kept" postrm remove
  expect_calls "postrm on purge drops it" "systemctl --system daemon-reload" postrm purge

  # The unit as systemd runs it: in a mount and network namespace, the scratch root made the
  # root (chroot) with only the host's shared libraries and /dev bound into it, the exact
  # ExecStart with the unit's Environment= and what systemd adds (credentials, state folder),
  # in its WorkingDirectory, as an unprivileged uid. /var/lib/quorvel-server is laid out as
  # DynamicUser does: a link to private/quorvel-server, private/ being 0700 root on disk and
  # seen through a tmpfs that holds the service's folder alone. In place of the unit's
  # AmbientCapabilities=CAP_NET_BIND_SERVICE, port 80 is opened to every uid in the namespace.
  root=$tmp/root-quorvel-server
  unit=$root/usr/lib/systemd/system/quorvel-server.service
  uid=61234
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  workdir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
  mapfile -t environment < <(sed -n 's/^Environment=//p' "$unit")
  mkdir -p "$root/var/lib/private/quorvel-server" "$root/run/credentials/quorvel-server.service" "$root/dev"
  chmod 700 "$root/var/lib/private" "$root/var/lib/private/quorvel-server"
  chown "$uid:$uid" "$root/var/lib/private/quorvel-server"
  ln -s private/quorvel-server "$root/var/lib/quorvel-server"
  # First as packaged (no zone, the credential as SetCredential= leaves it), then with
  # the operator's settings as README's guide writes them (no DNS server answers here: the
  # changes stay pending).
  cp "$root/etc/quorvel/server.conf" "$root/etc/quorvel/server.conf.dns"
  printf '%s\n' "zone = dyn.example.org" "dns-server = 127.0.0.1:53" "tsig-key = /etc/quorvel/tsig.key" \
    "allow-host = ddns.example.org" "trusted-proxy = 127.0.0.1" >>"$root/etc/quorvel/server.conf.dns"
  cp "$key" "$root/etc/quorvel/tsig.key"
  printf none >"$root/run/credentials/quorvel-server.service/tsig.key"
  chown -R "$uid:$uid" "$root/run/credentials/quorvel-server.service"
  chmod 400 "$root/run/credentials/quorvel-server.service/tsig.key"
  systemd_env=(CREDENTIALS_DIRECTORY=/run/credentials/quorvel-server.service STATE_DIRECTORY=/var/lib/quorvel-server
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin USER=quorvel-server HOME=/ LANG=C.UTF-8)
  for pair in "${systemd_env[@]}"; do
    exec_start=${exec_start//"\${${pair%%=*}}"/${pair#*=}}
  done
  [[ "$exec_start" != *'$'* ]] || fail "ExecStart keeps a variable systemd would not set: $exec_start"
  echo "ExecStart as run: $exec_start (uid $uid, in $workdir)"
  libraries=$(ldd "$root/usr/bin/quorvel-server" | grep -o '/[^ ]*' | xargs -n 1 dirname | sort -u)
  unshare -m -n env "tmp=$tmp" "root=$root" "uid=$uid" "workdir=$workdir" "libraries=$libraries" \
    bash -s -- env -i "${systemd_env[@]}" "${environment[@]}" unshare --root="$root" --wd="$workdir" \
    --setgid="$uid" --setuid="$uid" -- $exec_start >"$tmp/unit.txt" 2>&1 <<'SCRIPT' || fail "the unit's run: $(cat "$tmp/unit.txt")"
set -euo pipefail
ip link set lo up
sysctl -q -w net.ipv4.ip_unprivileged_port_start=80
for d in $libraries; do mkdir -p "$root$d" && mount --bind -o ro "$d" "$root$d"; done
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=755 none "$root/var/lib/private"
mkdir -m 700 "$root/var/lib/private/quorvel-server"
chown "$uid:$uid" "$root/var/lib/private/quorvel-server"
# The store is made by the first name (serve makes none): by root, as the guide does, given to
# the service's user.
first=$(unshare --root="$root" -- /usr/bin/quorvel-server add premier --config /etc/quorvel/server.conf | tail -n 1)
"$@" >"$tmp/serve.log" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q 'name(s) in' "$tmp/serve.log" && break; sleep 0.1; done
echo "packaged: $(grep -o 'name(s) in .*' "$tmp/serve.log") $(curl -s "http://127.0.0.1/update?ip_key=$first" | tail -c 20 | sed 's/.*-->//')"
kill "$pid"
wait "$pid" || true
cat "$tmp/serve.log"
# Then with DNS: the key handed over as a credential.
mv "$root/etc/quorvel/server.conf.dns" "$root/etc/quorvel/server.conf"
cp "$root/etc/quorvel/tsig.key" "$root/run/credentials/quorvel-server.service/tsig.key"
: >"$tmp/serve.log"  # emptied now, not when the child gets to it: the wait below reads it at once
"$@" >>"$tmp/serve.log" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q 'name(s) in' "$tmp/serve.log" && break; sleep 0.1; done
grep -E '^(Uid|Gid|Groups|CapEff):' "/proc/$pid/status" | sed 's/[[:space:]]\+/ /g; s/ $//'
# The operator's first name, added as root beside the running service, as the guide does.
id=$(unshare --root="$root" -- /usr/bin/quorvel-server add maison --config /etc/quorvel/server.conf | tail -n 1)
for _ in $(seq 30); do
  answer=$(curl -s "http://127.0.0.1/update?ip_key=$id" | tail -c 20 | sed 's/.*-->//')
  [ "$answer" = found ] && break
  sleep 0.1
done
echo "answer: $answer"
echo "answer over IPv6: $(curl -s -g "http://[::1]/update?ip_key=$id" | tail -c 20 | sed 's/.*-->//')"
stat -c 'store: %n %u %a' "$root/var/lib/private/quorvel-server/quorvel-server.db"
echo "not the service's: $(find "$root/var/lib/private/quorvel-server" -mindepth 1 ! -uid "$uid" | wc -l)"
kill "$pid"
wait "$pid"
echo "stopped: $?"
cat "$tmp/serve.log"
SCRIPT
  cat "$tmp/unit.txt"
  grep -q " 1 name(s) in /var/lib/quorvel-server/quorvel-server.db; DNS: zone dyn.example.org" "$tmp/unit.txt" || fail "the unit's store is not the packaged one"
  for want in "packaged: name(s) in /var/lib/quorvel-server/quorvel-server.db; no --zone: addresses are recorded only found" \
    "not the service's: 0" "Uid: $uid $uid $uid $uid" "Gid: $uid $uid $uid $uid" "Groups:" "CapEff: 0000000000000000" \
    "answer: found" "answer over IPv6: found" "store: $root/var/lib/private/quorvel-server/quorvel-server.db $uid 600" \
    "stopped: 0"; do
    grep -qxF -- "$want" "$tmp/unit.txt" || fail "the unit's run does not show '$want'"
  done
  if grep -q "unable to open\|cannot open" "$tmp/unit.txt"; then fail "the store did not open through the unit's path"; fi
fi

[ "$failures" -eq 0 ] && echo "server install: all checks passed"
exit "$failures"
