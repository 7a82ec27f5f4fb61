#!/usr/bin/env bash
# Builds quorveld for release and its Debian package, build/dist/quorveld_VERSION-1_ARCH.deb,
# then checks the package with dpkg-deb and lintian (errors fail the script; warnings are
# printed).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
need_packages cmake make g++ dpkg-dev lintian gzip

root=$(realpath -m "${QUORVEL_BUILD_DIR:-build}")
build=$root/deb
dist=$root/dist
stage=$build/stage

say "building quorveld (size-optimised, hardened)"
# The preset says how; the folder is this script's.
cmake --preset quorveld-deb -B "$build" >/dev/null
cmake --build "$build" -j "${QUORVEL_JOBS:-2}" --target quorveld >/dev/null

rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --strip >/dev/null
# The compiler's version notes are of no use in an installed program.
objcopy --remove-section=.comment "$stage/usr/bin/quorveld"
version=$("$stage/usr/bin/quorveld" --version | awk '{print $2}')
arch=$(dpkg --print-architecture)
gzip -9n "$stage/usr/share/man/man1/quorveld.1"

doc=$stage/usr/share/doc/quorveld
mkdir -p "$doc" "$stage/DEBIAN"
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
quorveld ($version-1) unstable; urgency=medium

  * quorveld: the Quorvel update service as a Linux daemon.

 -- Quorvel maintainers <maintainers@quorvel.fr>  $(date -R -d @"${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}")
TEXT

cat >"$doc/README.Debian" <<'TEXT'
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

Removing: `sudo systemctl disable --now quorveld`, `sudo apt purge quorveld`, then
`sudo rm -rf /var/lib/private/quorveld` (system) or `rm -rf ~/.config/quorvel
~/.local/state/quorvel` (user) for the settings.
TEXT

# The system service is a systemd unit on purpose: its user exists only while it runs
# (DynamicUser) and its sandbox is systemd's. Without systemd, `quorveld run` works as is.
mkdir -p "$stage/usr/share/lintian/overrides"
echo "quorveld: package-supports-alternative-init-but-no-init.d-script [usr/lib/systemd/system/quorveld.service]" \
  >"$stage/usr/share/lintian/overrides/quorveld"

# The shared libraries the program needs, as Debian names them.
shlibs=$(mktemp -d)
trap 'rm -rf "$shlibs"' EXIT
mkdir -p "$shlibs/debian"
printf 'Source: quorveld\n\nPackage: quorveld\nArchitecture: any\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O "$stage/usr/bin/quorveld" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')

cat >"$stage/DEBIAN/control" <<TEXT
Package: quorveld
Version: $version-1
Architecture: $arch
Maintainer: Quorvel maintainers <maintainers@quorvel.fr>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
Section: net
Priority: optional
Homepage: https://www.quorvel.fr/
Description: keeps a machine's address up to date with the Quorvel service
 quorveld is the Quorvel client for machines without a desktop: a home server,
 a NAS, a small board. While the service is active it sends the stored
 identifier to the update server at the chosen interval, and logs each step.
 It runs as a system service under a dynamic user of its own
 (systemctl enable --now quorveld) or as a user service
 (systemctl --user enable --now quorveld).
TEXT

mkdir -p "$dist"
deb=$dist/quorveld_${version}-1_${arch}.deb
find "$stage" -type d -exec chmod 755 {} +
# Each installed file's checksum, as dpkg --verify and debsums read them.
(cd "$stage" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
say "package: $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
say "lintian"
lintian_out=$(lintian -I --pedantic --tag-display-limit 0 "$deb" 2>&1 || true)
printf '%s\n' "$lintian_out"
if printf '%s\n' "$lintian_out" | grep -q '^E: '; then
  echo "lintian found errors"
  exit 1
fi
