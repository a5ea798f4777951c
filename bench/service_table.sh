#!/usr/bin/env bash
# The service's own table in docs/performance.md: messages sent and fetched per second and
# the latency of each call (bench/service_bench.cpp, the library's non-blocking calls,
# IN_FLIGHT at a time) through one service on SQLite, one on PostgreSQL, and two on one
# PostgreSQL database. Plain HTTP on loopback, so that the store is what differs; every
# store syncs its commits (the SQLite file with synchronous=FULL, the PostgreSQL server
# of scripts/postgres.sh with fsync on). The three set-ups take turns, run by run, each on
# a fresh database; prints every run and then the medians.
#
#   bench/service_table.sh [BUILD_DIR]     (REPEAT=3 SECONDS_PER_RUN=3 IN_FLIGHT=16)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
repeat=${REPEAT:-3}
secs=${SECONDS_PER_RUN:-3}
in_flight=${IN_FLIGHT:-16}
service=$build/tools/velmora-service/velmora-service
drv=$build/bench/velmora_service_bench

. "$root/bench/start_service.sh"  # work, pids, stopped on exit
chmod 755 "$work"  # the database server runs as another user
after_services_stopped() { "$root/scripts/postgres.sh" stop "$work/pg" >/dev/null 2>&1 || true; }

uri=$(POSTGRES_FSYNC=on "$root/scripts/postgres.sh" start "$work/pg" $$)

# start NAME DB -> sets origin_NAME
start() {
  start_service "$work" "$1" "$service" --listen 127.0.0.1:0 --http --db "$2" --recipient-quota 1000000000000
}
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait "${pids[@]}" 2>/dev/null || true
  pids=()
}

n=0
fresh_pg() {  # sets db to a new database's URI
  n=$((n + 1))
  psql -q "$uri" -c "CREATE DATABASE bench_$n" >/dev/null
  db="${uri%/*}/bench_$n"
}

run() {  # run SETUP -> one line of figures
  case $1 in
  sqlite)
    n=$((n + 1))
    start a "$work/sqlite-$n.db"
    "$drv" "$in_flight" "$secs" "$origin_a" ;;
  pg1)
    fresh_pg
    start a "$db"
    "$drv" "$in_flight" "$secs" "$origin_a" ;;
  pg2)
    fresh_pg
    start a "$db"
    start b "$db"
    "$drv" "$in_flight" "$secs" "$origin_a" "$origin_b" ;;
  esac
  stop_all
}

setups=(sqlite pg1 pg2)
declare -A results
out=$work/line
for ((r = 1; r <= repeat; r++)); do
  order=("${setups[@]}")
  if ((r % 2 == 0)); then order=(pg2 pg1 sqlite); fi
  for s in "${order[@]}"; do
    run "$s" >"$out"  # not in a subshell: run counts the databases it makes
    line=$(cat "$out")
    echo "run $r $s: $line" >&2
    results[$s]+="$line"$'\n'
  done
done

median() {  # column of the lines on stdin
  awk -v c="$1" '{print $c}' | sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'
}
echo "| set-up | sent/s | send p50 ms | send p99 ms | fetched/s | fetch p50 ms | fetch p99 ms |"
echo "|---|---|---|---|---|---|---|"
for s in "${setups[@]}"; do
  case $s in sqlite) name="one service, SQLite";; pg1) name="one service, PostgreSQL";;
             pg2) name="two services, one PostgreSQL";; esac
  row="| $name"
  for c in 1 2 3 4 5 6; do row+=" | $(printf '%s' "${results[$s]}" | median "$c")"; done
  echo "$row |"
done
