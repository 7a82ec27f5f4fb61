#!/usr/bin/env bash
# Signs one Windows program file in place: Authenticode, SHA-256, no time-stamp server, with
# the certificate and key of QUORVEL_SIGN_PKCS12. The password is one line read from descriptor
# 3 when package.sh opens it (a pipe), else QUORVEL_SIGN_PASSWORD. Called by package.sh for
# quorvel.exe and by makensis for the installer and its uninstaller.
set -euo pipefail
file=$1
: "${QUORVEL_SIGN_PKCS12:?set QUORVEL_SIGN_PKCS12 to a PKCS#12 file}"
if [ -e /dev/fd/3 ]; then
  IFS= read -r password <&3 || password=""
else
  password=${QUORVEL_SIGN_PASSWORD:-}
fi
unset QUORVEL_SIGN_PASSWORD
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The password reaches osslsigncode through a pipe: never a file, nor its command line or
# environment, which others can list.
osslsigncode sign -pkcs12 "$QUORVEL_SIGN_PKCS12" -readpass <(printf '%s' "$password") -h sha256 -n Quorvel \
  -in "$file" -out "$tmp/signed" >/dev/null
mv "$tmp/signed" "$file"
