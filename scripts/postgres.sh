#!/usr/bin/env bash
# A throwaway PostgreSQL server for tests and measurements, in a folder of its own, on
# loopback only, reached by anyone on this machine without a password.
#
#   scripts/postgres.sh start DIR [WATCH_PID]   prints the server's URI (database "postgres")
#   scripts/postgres.sh stop DIR
#
# start makes the cluster on first use (DIR/data), picks a free port (kept in DIR/port, so
# a start after a stop serves the same URI) and keeps the unix socket in DIR. Given
# WATCH_PID, the server is stopped and DIR removed once that process is gone, however it
# ended. Run as root, the server runs as the unprivileged "postgres" user (initdb refuses
# root; DIR's parent folders must let that user through). Exits 77 when PostgreSQL is not
# installed, so that a test can skip visibly.
set -euo pipefail

cmd=${1:-}
dir=${2:-}
if [[ -z $cmd || -z $dir ]]; then
  echo "usage: $0 start DIR [WATCH_PID] | stop DIR" >&2
  exit 2
fi

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [[ -z $bin || ! -x $bin/initdb || ! -x $bin/pg_ctl ]]; then
  echo "postgres.sh: PostgreSQL is not installed (Debian: apt-get install postgresql)" >&2
  exit 77
fi

as_owner=()
if [[ $(id -u) -eq 0 ]]; then as_owner=(runuser -u postgres --); fi

pg_ctl() { "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" "$@"; }

case $cmd in
start)
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if ((${#as_owner[@]})); then chown postgres "$dir"; fi
  if [[ ! -e $dir/data/PG_VERSION ]]; then
    "${as_owner[@]}" "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
      --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
  fi
  # A port found free may be taken by someone else before the server binds it: a new
  # cluster tries a few; a cluster that has served keeps its port (its URIs are in use).
  tries=1
  if [[ ! -s $dir/port ]]; then tries=3; fi
  for ((try = 1; ; try++)); do
    if [[ ! -s $dir/port ]]; then
      python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
        >"$dir/port"
    fi
    port=$(cat "$dir/port")
    # fsync off: a test's server holds nothing worth keeping past a crash of the machine.
    # A measurement compares with a SQLite file that syncs every commit: POSTGRES_FSYNC=on.
    fsync=${POSTGRES_FSYNC:-off}
    if pg_ctl -w -t 60 -l "$dir/server.log" \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=$fsync -c full_page_writes=$fsync -c max_connections=200" \
      start >/dev/null; then
      break
    fi
    if ((try >= tries)); then cat "$dir/server.log" >&2; exit 1; fi
    rm -f "$dir/port"
  done
  if [[ -n ${3:-} ]]; then
    watched=$3
    # Detached and silent: it must not hold the caller's output open.
    setsid bash -c "while kill -0 $watched 2>/dev/null; do sleep 1; done; \
      ${as_owner[*]} $bin/pg_ctl -D '$dir/data' -m immediate stop; rm -rf '$dir'" </dev/null >/dev/null 2>&1 &
  fi
  echo "postgresql://postgres@127.0.0.1:$port/postgres"
  ;;
stop)
  if [[ -e $dir/data/postmaster.pid ]]; then pg_ctl -m fast -w stop >/dev/null; fi
  ;;
*)
  echo "usage: $0 start DIR [WATCH_PID] | stop DIR" >&2
  exit 2
  ;;
esac
