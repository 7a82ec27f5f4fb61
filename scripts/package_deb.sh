#!/usr/bin/env bash
# Builds quorveld and quorvel-server for release and their Debian packages,
# build/dist/quorveld_VERSION-1_ARCH.deb and build/dist/quorvel-server_VERSION-1_ARCH.deb, then
# checks each with dpkg-deb and lintian (errors fail the script; warnings are printed).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
need_packages cmake make g++ pkg-config dpkg-dev lintian gzip libmicrohttpd-dev libldns-dev libsqlite3-dev libpq-dev

root=$(realpath -m "${QUORVEL_BUILD_DIR:-build}")
build=$root/deb
dist=$root/dist
stage=$build/stage

say "building quorveld and quorvel-server (size-optimised, hardened)"
# The preset says how; the folder is this script's.
cmake --preset quorveld-deb -B "$build" >/dev/null
cmake --build "$build" -j "${QUORVEL_JOBS:-2}" --target quorveld quorvel-server >/dev/null

# Everything installed once; each package takes its own files from there.
rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --strip >/dev/null
# The compiler's version notes are of no use in an installed program. (objcopy takes one
# input and one output: each program on its own.)
for program in quorveld quorvel-server; do
  objcopy --remove-section=.comment "$stage/usr/bin/$program"
done
version=$("$stage/usr/bin/quorveld" --version | awk '{print $2}')
arch=$(dpkg --print-architecture)
shlibs=$(mktemp -d)
trap 'rm -rf "$shlibs"' EXIT
mkdir -p "$dist"

mkdir -p "$stage/usr/share/doc/quorveld"
cat >"$stage/usr/share/doc/quorveld/README.Debian" <<'TEXT'
quorveld for Debian
===================

Two ways to run it; pick one.

As a system service (a server, a router, a board): the daemon runs under a user made for it
at each start (systemd's DynamicUser), with its settings and last update in /var/lib/quorveld.

  sudo quorveld --system activate YOUR-IDENTIFIER [--interval MINUTES]
  sudo systemctl enable --now quorveld
  sudo quorveld --system status
  journalctl -u quorveld

As your own user service (a desktop, a laptop): settings in ~/.config/quorvel.

  quorveld activate YOUR-IDENTIFIER
  systemctl --user enable --now quorveld
  journalctl --user -u quorveld

An identifier is made on https://www.quorvel.fr/. The log is in French; the README's glossary
and quorveld(1) say what each line means. `systemctl kill -s USR1 quorveld` updates now;
`systemctl reload quorveld` reads the settings again.

Removing: `sudo apt remove quorveld` stops the system service and keeps its settings;
`sudo apt purge quorveld` also deletes them (/var/lib/private/quorveld). A user's own
settings stay until `rm -rf ~/.config/quorvel ~/.local/state/quorvel`.
TEXT

# The system service is a systemd unit on purpose: its user exists only while it runs
# (DynamicUser) and its sandbox is systemd's. Without systemd, `quorveld run` works as is.
mkdir -p "$stage/usr/share/lintian/overrides"
echo "quorveld: package-supports-alternative-init-but-no-init.d-script [usr/lib/systemd/system/quorveld.service]" \
  >"$stage/usr/share/lintian/overrides/quorveld"

# maintainer_scripts ROOT UNIT: postinst, prerm and postrm for the system unit UNIT.service,
# whose state is systemd's StateDirectory=UNIT (/var/lib/private/UNIT under DynamicUser).
# The unit is not enabled by the package: the operator does that once it is configured.
maintainer_scripts() {
  local root=$1 unit=$2
  cat >"$root/DEBIAN/postinst" <<SCRIPT
#!/bin/sh
set -e
# An upgrade replaces the program: the running one is restarted to be the new one.
if [ -d /run/systemd/system ]; then
	systemctl --system daemon-reload >/dev/null || true
	if [ "\$1" = configure ] && [ -n "\$2" ]; then
		deb-systemd-invoke try-restart $unit.service >/dev/null || true
	fi
fi
SCRIPT
  cat >"$root/DEBIAN/prerm" <<SCRIPT
#!/bin/sh
set -e
# Removed, not upgraded: the program goes, so does the running service.
if [ -d /run/systemd/system ] && [ "\$1" = remove ]; then
	deb-systemd-invoke stop $unit.service >/dev/null || true
fi
SCRIPT
  cat >"$root/DEBIAN/postrm" <<SCRIPT
#!/bin/sh
set -e
if [ -d /run/systemd/system ]; then
	systemctl --system daemon-reload >/dev/null || true
fi
# The names, identifiers and addresses are kept on removal, dropped only on purge.
if [ "\$1" = purge ]; then
	rm -rf /var/lib/private/$unit /var/lib/$unit
	rm -f /etc/systemd/system/multi-user.target.wants/$unit.service
fi
SCRIPT
  chmod 755 "$root/DEBIAN/postinst" "$root/DEBIAN/prerm" "$root/DEBIAN/postrm"
}

# deb NAME UNIT SUMMARY DESCRIPTION FILE...: build/dist/NAME_VERSION-1_ARCH.deb with the
# staged FILEs (paths under /) and the maintainer scripts of the system unit UNIT, checked by
# dpkg-deb and lintian (errors fail the script). Files under etc/ are the package's conffiles.
deb() {
  local name=$1 unit=$2 summary=$3 description=$4
  shift 4
  local root=$build/pkg-$name file
  rm -rf "$root"
  for file in "$@"; do
    mkdir -p "$root/$(dirname "$file")"
    cp -a "$stage/$file" "$root/$file"
  done
  find "$root/usr/share/man" -name '*.[1-8]' -exec gzip -9n {} +

  local doc=$root/usr/share/doc/$name
  mkdir -p "$doc" "$root/DEBIAN"
  cat >"$doc/copyright" <<'TEXT'
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: quorvel
Upstream-Contact: Quorvel maintainers <maintainers@quorvel.fr>

Files: *
Copyright: 2026 the Quorvel authors
License: all-rights-reserved
 No licence has been published for Quorvel yet; all rights are reserved by its authors.
TEXT
  cat <<TEXT | gzip -9n >"$doc/changelog.Debian.gz"
$name ($version-1) unstable; urgency=medium

  * $name: $summary.

 -- Quorvel maintainers <maintainers@quorvel.fr>  $(date -R -d @"${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}")
TEXT

  # The shared libraries the program needs, as Debian names them.
  rm -rf "${shlibs:?}"/*
  mkdir -p "$shlibs/debian"
  printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$name" "$name" >"$shlibs/debian/control"
  local depends
  depends=$(cd "$shlibs" && dpkg-shlibdeps -O "$root/usr/bin/$name" | sed -n 's/^shlibs:Depends=//p')
  [ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependency for $name"; exit 1; }
  # quorveld loads GnuTLS only for an https:// server, so the linker names it nowhere.
  local recommends=""
  [ "$name" != quorveld ] || recommends="Recommends: libgnutls30 (>= 3.7.0)"$'\n'
  maintainer_scripts "$root" "$unit"

  if [ -d "$root/etc" ]; then
    (cd "$root" && find etc -type f | sed 's|^|/|' | sort) >"$root/DEBIAN/conffiles"
  fi
  cat >"$root/DEBIAN/control" <<TEXT
Package: $name
Version: $version-1
Architecture: $arch
Maintainer: Quorvel maintainers <maintainers@quorvel.fr>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
${recommends}Section: net
Priority: optional
Homepage: https://www.quorvel.fr/
Description: $summary
$description
TEXT

  local package=$dist/${name}_${version}-1_${arch}.deb
  find "$root" -type d -exec chmod 755 {} +
  # Each installed file's checksum, as dpkg --verify and debsums read them.
  (cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 md5sum) \
    >"$root/DEBIAN/md5sums"
  chmod 644 "$root/DEBIAN/md5sums"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$package" >/dev/null
  say "package: $package"
  dpkg-deb --info "$package"
  dpkg-deb --contents "$package"
  say "lintian $name"
  local lintian_out
  lintian_out=$(lintian -I --pedantic --tag-display-limit 0 "$package" 2>&1 || true)
  printf '%s\n' "$lintian_out"
  if printf '%s\n' "$lintian_out" | grep -q '^E: '; then
    echo "lintian found errors in $package"
    exit 1
  fi
}

deb quorveld quorveld "keeps a machine's address up to date with the Quorvel service" \
" quorveld is the Quorvel client for machines without a desktop: a home server,
 a NAS, a small board. While the service is active it sends the stored
 identifier to the update server at the chosen interval, and logs each step.
 It runs as a system service under a dynamic user of its own
 (systemctl enable --now quorveld) or as a user service
 (systemctl --user enable --now quorveld)." \
  usr/bin/quorveld usr/lib/systemd/user/quorveld.service usr/lib/systemd/system/quorveld.service \
  usr/share/man/man1/quorveld.1 usr/share/doc/quorveld/README.Debian \
  usr/share/lintian/overrides/quorveld

deb quorvel-server quorvel-server "Quorvel update server, publishing clients' addresses in DNS" \
" quorvel-server answers Quorvel, quorveld and dyndns2 clients (routers,
 ddclient, inadyn), keeps names and identifiers in SQLite, and publishes each
 client's address into a DNS zone by dynamic updates signed with TSIG
 (RFC 2136), sent to the zone's primary server (Knot, BIND, ...).
 It runs as a sandboxed system service with a dynamic user
 (systemctl enable --now quorvel-server); see /etc/quorvel/server.conf." \
  usr/bin/quorvel-server usr/lib/systemd/system/quorvel-server.service etc/quorvel/server.conf \
  usr/share/man/man1/quorvel-server.1
