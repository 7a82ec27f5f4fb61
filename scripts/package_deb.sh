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
 It runs as a systemd user service (systemctl --user enable --now quorveld).
TEXT

mkdir -p "$dist"
deb=$dist/quorveld_${version}-1_${arch}.deb
find "$stage" -type d -exec chmod 755 {} +
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
say "package: $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
say "lintian"
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
printf '%s\n' "$lintian_out"
if printf '%s\n' "$lintian_out" | grep -q '^E: '; then
  echo "lintian found errors"
  exit 1
fi
