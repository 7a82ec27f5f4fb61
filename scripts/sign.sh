#!/usr/bin/env bash
# Signs one Windows program file in place: Authenticode, SHA-256, no time-stamp server, with
# the certificate and key of QUORVEL_SIGN_PKCS12 (password QUORVEL_SIGN_PASSWORD). Called by
# package.sh for quorvel.exe and by makensis for the installer and its uninstaller.
set -euo pipefail
file=$1
: "${QUORVEL_SIGN_PKCS12:?set QUORVEL_SIGN_PKCS12 to a PKCS#12 file}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The password goes through a file, not the command line that others can list.
(umask 077 && printf '%s' "${QUORVEL_SIGN_PASSWORD:-}" >"$tmp/password")
osslsigncode sign -pkcs12 "$QUORVEL_SIGN_PKCS12" -readpass "$tmp/password" -h sha256 -n Quorvel \
  -in "$file" -out "$tmp/signed" >/dev/null
mv "$tmp/signed" "$file"
