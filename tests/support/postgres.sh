#!/usr/bin/env bash
# A throwaway PostgreSQL for the tests, in a folder of its own: its data and its unix socket
# there, no TCP at all, durability off (fsync, synchronous_commit, full_page_writes) for speed.
# The user running the tests (root, to which PostgreSQL refuses itself: the server runs as
# postgres) gets a role and a database "quorvel" and connects with
#   postgresql:///quorvel?host=FOLDER
#
#   postgres.sh start FOLDER   makes the cluster if the folder has none, starts it
#   postgres.sh stop FOLDER    stops it (the data kept: start takes it again)
#   postgres.sh clean FOLDER   stops it and removes the folder
# Sourced, it defines postgres_start, postgres_stop and postgres_clean, the same.
set -u

postgres_bindir() {
  local dir
  dir=$(pg_config --bindir 2>/dev/null)
  [ -x "$dir/initdb" ] || dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  echo "$dir"
}

# As the postgres user when run by root (PostgreSQL refuses root), else as oneself.
postgres_as() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

postgres_start() {
  local folder=$1 bin
  bin=$(postgres_bindir)
  [ -x "$bin/initdb" ] || { echo "postgres.sh: no initdb (apt-get install postgresql)" >&2; return 1; }
  mkdir -p "$folder"
  chmod 700 "$folder"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$folder"
  if [ ! -f "$folder/data/PG_VERSION" ]; then
    rm -rf "$folder/data"
    postgres_as "$bin/initdb" -D "$folder/data" -U postgres --auth=trust --no-sync --locale=C.UTF-8 \
      -E UTF8 >"$folder/initdb.log" 2>&1 || { cat "$folder/initdb.log" >&2; return 1; }
    cat >>"$folder/data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$folder'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
EOF
  fi
  postgres_as "$bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 30 start >/dev/null ||
    { cat "$folder/server.log" >&2; return 1; }
  local me
  me=$(id -un)
  if ! postgres_as "$bin/psql" -h "$folder" -U postgres -d postgres -tAc \
    "SELECT 1 FROM pg_roles WHERE rolname = '$me'" | grep -q 1; then
    postgres_as "$bin/psql" -q -h "$folder" -U postgres -d postgres \
      -c "CREATE ROLE \"$me\" LOGIN CREATEDB" -c "CREATE DATABASE quorvel OWNER \"$me\"" >/dev/null || return 1
  fi
}

postgres_stop() {
  local folder=$1
  [ -f "$folder/data/postmaster.pid" ] || return 0
  postgres_as "$(postgres_bindir)/pg_ctl" -D "$folder/data" -m fast -w -t 30 stop >/dev/null 2>&1
}

postgres_clean() {
  local folder=$1
  postgres_stop "$folder" ||
    postgres_as "$(postgres_bindir)/pg_ctl" -D "$folder/data" -m immediate -w stop >/dev/null 2>&1
  rm -rf "$folder"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start) postgres_start "$2" ;;
    stop) postgres_stop "$2" ;;
    clean) postgres_clean "$2" ;;
    fixture)
      # The CTest fixture's set-up: a folder left by a run that was cut short goes first.
      postgres_clean "$2"
      postgres_start "$2"
      ;;
    *)
      echo "usage: postgres.sh start|stop|clean|fixture FOLDER" >&2
      exit 2
      ;;
  esac
fi
