#!/usr/bin/env bash
# Builds what users download into build/dist/: the Windows installer, the portable zip and
# SHA256SUMS, and the Debian packages of quorveld and quorvel-server (scripts/package_deb.sh). quorvel.exe is
# built twice, from two copies of the sources in two folders, and must come out byte for byte
# the same. With QUORVEL_SIGN_PKCS12 (and QUORVEL_SIGN_PASSWORD)
# set, the program, the uninstaller and the installer are signed (Authenticode, SHA-256).
# One function per artefact; main at the end. It ends with the sizes of what it made and the
# time each step took (the README points here rather than copying figures that drift).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

root=$(realpath -m "${QUORVEL_BUILD_DIR:-build}")
jobs=${QUORVEL_JOBS:-2}
work=$root/package
dist=$root/dist
# Fixed times for the zip: the commit's time, unless the caller gives one.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}

# build_program SOURCE BUILD: the release quorvel.exe, without the tests (the source's preset,
# in the folder given).
build_program() {
  cmake -S "$1" --preset windows-release -B "$2" >/dev/null
  cmake --build "$2" -j "$jobs" --target quorvel quorvel-serveur >/dev/null
}

# copy_sources DIR: the files of this checkout, in another folder.
copy_sources() {
  rm -rf "$1" && mkdir -p "$1"
  if git rev-parse --git-dir >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$1"
  else
    tar --exclude=./build -cf - . | tar -xf - -C "$1"
  fi
}

# program: quorvel.exe built in two folders, checked identical, staged in $work/stage.
program() {
  say "quorvel.exe, built twice in two folders"
  build_program "$PWD" "$work/a"
  copy_sources "$work/source-b"
  build_program "$work/source-b" "$work/b"
  local a b
  a=$(sha256sum <"$work/a/window/quorvel.exe" | cut -d' ' -f1)
  b=$(sha256sum <"$work/b/window/quorvel.exe" | cut -d' ' -f1)
  if [ "$a" != "$b" ]; then
    echo "FAIL: quorvel.exe is not reproducible: $a in $work/a, $b in $work/b" >&2
    exit 1
  fi
  echo "reproducible: both builds of quorvel.exe have SHA-256 $a"
  version=$(sed -n 's/^!define VERSION "\(.*\)"$/\1/p' "$work/a/window/generated/version.nsh")
  rm -rf "$work/stage" && mkdir -p "$work/stage"
  cp "$work/a/window/quorvel.exe" "$work/stage/quorvel.exe"
  [ -z "$sign" ] || with_password "$sign" "$work/stage/quorvel.exe"
}

# portable_zip: the program and its French note, fixed times, fixed order, no extra fields.
portable_zip() {
  say "quorvel-$version-win64.zip"
  sed 's/$/\r/' "$work/a/window/generated/LISEZMOI.txt" >"$work/stage/LISEZMOI.txt"
  touch -d "@$SOURCE_DATE_EPOCH" "$work/stage/quorvel.exe" "$work/stage/LISEZMOI.txt"
  rm -f "$dist/quorvel-$version-win64.zip"
  (cd "$work/stage" && TZ=UTC zip -X -q -9 "$dist/quorvel-$version-win64.zip" LISEZMOI.txt quorvel.exe)
}

# installer: the per-user installer over the staged program.
installer() {
  say "quorvel-$version-setup.exe"
  local signing=()
  [ -z "$sign" ] || signing=("-DSIGN=$sign")
  with_password makensis -V2 -INPUTCHARSET UTF8 "-DGENERATED=$work/a/window/generated" "-DPROGRAM=$work/stage/quorvel.exe" \
    "-DCHECKER=$work/a/window/quorvel-serveur.exe" "-DOUTFILE=$dist/quorvel-$version-setup.exe" "${signing[@]}" "$PWD/window/installer.nsi"
}

checksums() {
  (cd "$dist" && sha256sum "quorvel-$version-setup.exe" "quorvel-$version-win64.zip" >SHA256SUMS)
  say "in $dist"
  (cd "$dist" && ls -l --time-style=+ SHA256SUMS "quorvel-$version-setup.exe" "quorvel-$version-win64.zip" && cat SHA256SUMS)
}

# The signing password is in no build step's environment and in no file: the steps that sign
# get it on descriptor 3, a pipe that gives it once per signature.
password=${QUORVEL_SIGN_PASSWORD:-}
unset QUORVEL_SIGN_PASSWORD
with_password() {
  if [ -z "$sign" ]; then
    "$@"
  else
    "$@" 3< <(while printf '%s\n' "$password" 2>/dev/null; do :; done)
  fi
}

need_packages "${BUILD_PACKAGES[@]}" nsis zip osslsigncode
mkdir -p "$work" "$dist"
if [ -n "${QUORVEL_SIGN_PKCS12:-}" ]; then
  sign=$PWD/scripts/sign.sh
  echo "signing with $QUORVEL_SIGN_PKCS12"
else
  sign=""
  echo "unsigned: QUORVEL_SIGN_PKCS12 is not set, the files are not signed"
fi
# step NAME COMMAND...: runs one step and keeps its time for the summary.
times=()
step() {
  local began=$SECONDS
  "${@:2}"
  times+=("$1: $((SECONDS - began)) s")
}
began=$SECONDS
step "quorvel.exe (twice)" program
step "zip" portable_zip
step "installer" installer
step "checksums" checksums
# The Linux daemon, for machines without a desktop.
step "Debian packages" scripts/package_deb.sh
say "sizes (bytes)"
(cd "$dist" && for f in "quorvel-$version-setup.exe" "quorvel-$version-win64.zip" SHA256SUMS *.deb; do
  [ -e "$f" ] && printf '%10d  %s\n' "$(stat -c %s "$f")" "$f"
done)
printf '%10d  quorvel.exe (in both)\n' "$(stat -c %s "$work/stage/quorvel.exe")"
say "times"
printf '  %s\n' "${times[@]}" "all: $((SECONDS - began)) s"
