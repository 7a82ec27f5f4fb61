#!/usr/bin/env bash
# The installer's life cycle on a fresh Wine prefix of its own: a silent install puts the
# program, the Start menu shortcut and the Uninstall entry in place, and stores the update
# server given as /SERVER= (a URL whole; one Quorvel would refuse fails the install); Quorvel
# started from there and activated writes its quoted path as the autostart value; a second
# silent install while it runs closes it, replaces the file, keeps the values and starts it
# again (not once it is switched off); a silent uninstall removes everything
# but the settings; an autostart value naming another folder survives the uninstall.
# Run by CTest in the Windows build.
#
# usage: installer_life_cycle.sh UPDATE_SERVER DRIVER_EXE SETUP_EXE QUORVEL_EXE
set -euo pipefail
update_server=$1 driver=$2 setup=$3 quorvel=$4
here=$(dirname "$0")
source "$here/update_server.sh"  # and scripts/common.sh

work=$(mktemp -d)
server=""
cleanup() {
  stop_update_server
  WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
start_update_server "$update_server" "$work" installer
id=$known

# The prefix of this test alone, so that the install starts from a user who never had Quorvel;
# no menu entries for the Linux desktop.
wine_prefix "$work/prefix"
# Throwaway: the driver may clear the settings here.
touch "$work/prefix/quorvel-test-prefix"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

status=0
ok() { echo "ok: $1"; }
fail() { echo "FAIL: $1"; status=1; }
check() { if eval "$2"; then ok "$1"; else fail "$1"; fi; }  # WHAT CONDITION

dir='C:\Outils\Quorvel'
unix_dir=$WINEPREFIX/drive_c/Outils/Quorvel
shortcut=$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Quorvel.lnk
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
settings_key='HKCU\Software\Quorvel'

# query KEY [VALUE]: what "reg query" prints, without carriage returns; fails when absent.
query() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }
# value KEY NAME: the data of one value, or nothing.
value() { query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
silent_install() { wine "$setup" /S "$@" "/D=$dir"; }
# The uninstaller copies itself to the temp folder and returns at once: wait for its last step,
# the removal of the folder.
silent_uninstall() {
  wine "$unix_dir/uninstall.exe" /S
  for _ in $(seq 300); do [ -e "$unix_dir" ] || return 0; sleep 0.2; done
  fail "the uninstaller did not remove $unix_dir within 60 s"
}

started=$SECONDS
silent_install "/SERVER=http://127.0.0.1:$port/"
check "/SERVER= takes a URL whole, stored as the serveur value" \
  '[ "$(value "$settings_key" serveur)" = "http://127.0.0.1:$port/" ]'
silent_install "/SERVER=https://127.0.0.1:$port"
check "/SERVER= takes an https:// server, stored as given" \
  '[ "$(value "$settings_key" serveur)" = "https://127.0.0.1:$port" ]'
code=0
wine "$setup" /S "/SERVER=https://127.0.0.1:$port/update" "/D=$dir" || code=$?
check "a server Quorvel refuses (a path) fails the silent install with status 2 ($code), the value unchanged" \
  '[ $code -eq 2 ] && [ "$(value "$settings_key" serveur)" = "https://127.0.0.1:$port" ]'
silent_install "/SERVER=127.0.0.1:$port"
check "/SERVER= is stored as the serveur value" '[ "$(value "$settings_key" serveur)" = "127.0.0.1:$port" ]'
check "the silent install writes quorvel.exe, the same bytes as the build's" 'cmp -s "$unix_dir/quorvel.exe" "$quorvel"'
check "the silent install writes the uninstaller" '[ -f "$unix_dir/uninstall.exe" ]'
check "the Start menu shortcut \"Quorvel\" is there" '[ -f "$shortcut" ]'
entry=$(query "$uninstall_key" || true)
echo "$entry"
for expected in "DisplayName REG_SZ Quorvel" "DisplayVersion REG_SZ 2.01" "Publisher REG_SZ Quorvel" \
    "DisplayIcon REG_SZ $dir\\quorvel.exe,0" "InstallLocation REG_SZ $dir" \
    "UninstallString REG_SZ \"$dir\\uninstall.exe\"" "QuietUninstallString REG_SZ \"$dir\\uninstall.exe\" /S"; do
  check "the Uninstall entry has $expected" 'tr -s " " <<<"$entry" | grep -qxF " $expected"'
done
size=$(value "$uninstall_key" EstimatedSize)
check "the Uninstall entry's EstimatedSize is Quorvel's two files in KiB ($size)" \
  '[ -n "$size" ] && [ $((size)) -eq $(( ($(stat -c %s "$unix_dir/quorvel.exe") + $(stat -c %s "$unix_dir/uninstall.exe") + 1023) / 1024 )) ]'

# An old time on the installed file shows whether the second install writes it again.
touch -d 2001-01-01 "$unix_dir/quorvel.exe"
wine "$driver" upgrade "$dir\\quorvel.exe" "127.0.0.1:$port" "$id" \
  "$(winepath -w "$setup") /S /SERVER=127.0.0.1:$port /D=$dir" || status=1
check "the second install replaced quorvel.exe" \
  '[ "$(stat -c %Y "$unix_dir/quorvel.exe")" -gt "$(date -d 2001-01-02 +%s)" ] && cmp -s "$unix_dir/quorvel.exe" "$quorvel"'

silent_uninstall
check "the uninstall removes the program folder" '[ ! -e "$unix_dir" ]'
check "the uninstall removes the shortcut" '[ ! -e "$shortcut" ]'
check "the uninstall removes the Uninstall entry" '! query "$uninstall_key" >/dev/null'
check "the uninstall removes the autostart value of this folder" '[ -z "$(value "$run_key" quorvel)" ]'
check "a silent uninstall keeps the identifier" '[ "$(value "$settings_key" identifiant)" = "$id" ]'
check "a silent uninstall keeps the chosen server" '[ "$(value "$settings_key" serveur)" = "127.0.0.1:$port" ]'

# "Désactiver le service" leaves one space: the uninstall removes that too.
silent_install
wine reg add "$run_key" /v quorvel /d " " /f >/dev/null 2>&1
silent_uninstall
check "a blank autostart value goes with the uninstall" '! query "$run_key" /v quorvel >/dev/null'

# A folder that holds another program's files: Quorvel goes into a folder of its own inside it,
# and its uninstall leaves the other program's files alone.
mkdir -p "$unix_dir" && echo other >"$unix_dir/uninstall.exe"
wine "$setup" /S "/D=$dir"
check "a non-empty folder without Quorvel gets a Quorvel folder inside it" \
  '[ -f "$unix_dir/Quorvel/quorvel.exe" ] && [ "$(cat "$unix_dir/uninstall.exe")" = other ]'
wine "$unix_dir/Quorvel/uninstall.exe" /S
for _ in $(seq 300); do [ -e "$unix_dir/Quorvel" ] || break; sleep 0.2; done
check "its uninstall leaves the other program's files" '[ "$(cat "$unix_dir/uninstall.exe")" = other ]'
rm -rf "$unix_dir"

silent_install
other='"C:\Autre\quorvel.exe" -wiper'
wine reg add "$run_key" /v quorvel /d "$other" /f >/dev/null 2>&1
silent_uninstall
check "an autostart value naming another folder survives the uninstall" '[ "$(value "$run_key" quorvel)" = "$other" ]'
echo "life cycle in $((SECONDS - started)) s after the prefix was made"
exit $status
