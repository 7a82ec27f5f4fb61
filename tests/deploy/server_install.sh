#!/usr/bin/env bash
# server_install.sh BUILD_DIR SERVER: installs the build under a temporary prefix and checks
# what quorvel-server's operator gets.
set -euo pipefail
build=$1
server=$2
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
if grep -n '@[A-Z_]*@' "$unit"; then fail "the unit keeps placeholders"; fi
grep -q '^DynamicUser=yes$' "$unit" || fail "the unit has no DynamicUser"
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

[ "$failures" -eq 0 ] && echo "server install: all checks passed"
exit "$failures"
