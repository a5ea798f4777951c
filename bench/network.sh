#!/usr/bin/env bash
# The library across a simulated network: a fixed-reply nginx on loopback (as in
# bench/run.sh) behind bench/relay.cpp, which holds every chunk for half the round trip in
# each direction (with jitter), and some chunks for a retransmission timeout more as if
# lost. Prints one table: non-blocking throughput against the limit IN_FLIGHT / RTT (both
# sides, library and thread per call, in turns in one process), blocking latency against
# the round trip, the cost of a fresh client's first call in round trips, and throughput
# under loss. Everything it starts is stopped on the way out, whatever happens; the whole
# run is bounded by LIMIT_S.
#
#   bench/network.sh [BUILD_DIR]   (default build-d)
#   RTTS="20 100" IN_FLIGHT="1 16 256 1024" SECONDS_PER_RUN=4 JITTER_MS=1 LOSSES="1 5"
#   LIMIT_S=1800 QUICK=1 (one RTT, two in-flight points, short runs: a smoke run)
#   FLEET_CLIENTS=1000 FLEET_PROCS=4 FLEET_SECONDS=25 FLEET_LOSSES="0 1" (many clients against
#   velmora-service across the first RTT; FLEET_CLIENTS=0 leaves it out) FLEET_SPREAD_MS=3000
#   (clients start over this stretch; 0: all at once) FLEET_WARM_MS=5000 (figures from this
#   long after the last start) FLEET_BENCH=PATH (the fleet driver of another build, to
#   compare the library before and after a change against the same service)
#   FLEET_SERVICE=PATH (the velmora-service of another build, the same for the service)
#   FLEET_STORES="sqlite" (the service's store for each fleet run: sqlite, a file on disk;
#   postgres, a fresh database on the server of scripts/postgres.sh, fsync on) FLEET_ONLY=1
#   (the fleet runs alone, without the rest of the table)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-d}
if [[ -n ${QUICK:-} ]]; then
  : "${RTTS:=20}" "${IN_FLIGHT:=1 16}" "${SECONDS_PER_RUN:=1}" "${LOSSES:=5}"
  : "${FLEET_CLIENTS:=40}" "${FLEET_PROCS:=2}" "${FLEET_SECONDS:=6}" "${FLEET_LOSSES:=0}" "${FLEET_WARM_MS:=1000}"
fi
fleet_clients=${FLEET_CLIENTS:-1000}
fleet_procs=${FLEET_PROCS:-4}
fleet_secs=${FLEET_SECONDS:-25}
fleet_losses=${FLEET_LOSSES:-0 1}
fleet_warm_ms=${FLEET_WARM_MS:-5000}
fleet_spread_ms=${FLEET_SPREAD_MS:-3000}
fleet_stores=${FLEET_STORES:-sqlite}
rtts=${RTTS:-20 100}
in_flight=${IN_FLIGHT:-1 16 256 1024}
secs=${SECONDS_PER_RUN:-4}
jitter=${JITTER_MS:-1}
losses=${LOSSES:-1 5}
limit_s=${LIMIT_S:-1800}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}
# The library's connections per host over HTTP/1.1 (one call per connection at a time), which
# bound its throughput there; HTTP/2 multiplexes up to 1,000 streams on one.
h1_connections=64

if [[ -z ${VELMORA_NETWORK_BENCH_INNER:-} ]]; then
  VELMORA_EXTRA_PACKAGES="nginx" "$root/scripts/bootstrap.sh"
  cmake --build "$build" --target velmora_e2e_bench velmora_relay velmora_fleet_bench velmora-service -j2 >/dev/null
  VELMORA_NETWORK_BENCH_INNER=1 exec timeout --signal=TERM --kill-after=10 "$limit_s" "$0" "$@"
fi

drv=$build/bench/velmora_e2e_bench
relay=$build/bench/velmora_relay
work=$(mktemp -d)
relays=()
cleanup() {
  for pid in "${relays[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [[ -f $work/nginx.pid ]]; then kill "$(cat "$work/nginx.pid")" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  if [[ -d $work/pg ]]; then "$root/scripts/postgres.sh" stop "$work/pg" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

h1_port=${H1_PORT:-18080}
h2_port=${H2_PORT:-18443}
. "$root/bench/nginx.sh"
start_nginx "$work" "$h1_port" "$h2_port" "$server_cpu"
export BENCH_CA=$work/cert.pem

# start_relay TARGET_PORT RTT_MS LOSS_PERCENT NAME: a relay in front of TARGET_PORT, its
# output in $work/NAME.out and .err, its pid added to relays and relays_started; waits until
# it listens and sets relay_port.
start_relay() {
  local half
  half=$(awk -v r="$2" 'BEGIN { print r / 2 }')
  taskset -c "$server_cpu" "$relay" 0 "$1" "$half" "$jitter" "$3" 200 "$RANDOM" \
    >"$work/$4.out" 2>"$work/$4.err" &
  relays+=("$!")
  relays_started+=("$!")
  for _ in $(seq 50); do grep -qs ready "$work/$4.out" && break; sleep 0.1; done
  relay_port=$(awk '{print $2}' "$work/$4.out")
}
# start_relays RTT_MS LOSS_PERCENT: relays in front of both nginx ports; sets BENCH_H1/H2.
start_relays() {
  relays_started=()
  start_relay "$h1_port" "$1" "$2" "relay.$h1_port"
  export BENCH_H1=http://127.0.0.1:$relay_port
  start_relay "$h2_port" "$1" "$2" "relay.$h2_port"
  export BENCH_H2=https://127.0.0.1:$relay_port
}
stop_relays() {
  local p
  for p in "${relays_started[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
}

client() { taskset -c "$client_cpu" "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rows=()
row() { rows+=("$(printf '%-42s | %10s | %10s | %10s | %6s | %s' "$@")"); }

table_rtts=$rtts
if [[ -n ${FLEET_ONLY:-} ]]; then table_rtts= losses=; fi
for rtt in $table_rtts; do
  start_relays "$rtt" 0
  # A turn must outlast the round trip by far, and its warm-up exceed it.
  slice_ms=$((rtt * 10 > 500 ? rtt * 10 : 500))
  slices=$(awk -v s="$secs" -v m="$slice_ms" 'BEGIN { n = int(s * 1000 / m); print (n < 2 ? 2 : n) }')
  export BENCH_WARM_MS=$((rtt * 3))
  for proto in h2 h1; do
    for n in $in_flight; do
      effective=$n
      [[ $proto == h1 && $n -gt $h1_connections ]] && effective=$h1_connections
      limit=$(awk -v n="$effective" -v r="$rtt" 'BEGIN { printf "%.0f", n * 1000 / r }')
      read -r l lcpu _ b _ _ < <(client "$drv" turns "$proto" "$n" "$slices" "$slice_ms" threads)
      row "$proto, RTT $rtt ms, $n in flight (calls/s)" "$l" "$b" "$limit" "$(ratio "$l" "$limit")" \
        "goal >= 0.9 of IN_FLIGHT/RTT$([[ $effective != "$n" ]] && echo " ($effective connections)"); library $lcpu us CPU/call"
    done
  done
  # A server that allows 128 streams on a connection (nginx's default) and 1,024 calls in
  # flight: the library spreads them over connections of at most 100 streams; the count is
  # of the connections one wave of calls opened from cold.
  start_relay "$((h2_port + 3))" "$rtt" 0 "relay.s128.$rtt"
  read -r t128 c128cpu _ < <(BENCH_H2=https://127.0.0.1:$relay_port client "$drv" tput lib h2 1024 "$secs")
  c128=$(BENCH_H2=https://127.0.0.1:$relay_port client "$drv" conns h2 1024)
  limit=$(awk -v r="$rtt" 'BEGIN { printf "%.0f", 1024 * 1000 / r }')
  row "h2 to a 128-stream server, RTT $rtt ms, 1024 in flight" "$t128" "" "$limit" "$(ratio "$t128" "$limit")" \
    "$c128 connections for one wave of 1,024 calls; library $c128cpu us CPU/call"
  for proto in h2 h1; do
    # The library and a reused easy handle call by call in turn: what the path itself adds
    # over the round trip (the relay's wake-ups, the server) shows on both sides.
    read -r p50 p99 e50 _ < <(client "$drv" lat both "$proto" $((5000 / rtt + 20)))
    p50ms=$(awk -v u="$p50" 'BEGIN { printf "%.2f", u / 1000 }')
    p99ms=$(awk -v u="$p99" 'BEGIN { printf "%.2f", u / 1000 }')
    e50ms=$(awk -v u="$e50" 'BEGIN { printf "%.2f", u / 1000 }')
    row "blocking $proto, RTT $rtt ms: p50 / p99 (ms)" "$p50ms" "$p99ms" "$rtt" \
      "$(awk -v a="$p50ms" -v r="$rtt" 'BEGIN { printf "%+.2f", a - r }')" \
      "goal p50 <= RTT + 1 ms (ratio column: ms over RTT); reused easy handle p50 $e50ms ms"
    read -r first kept < <(client "$drv" first "$proto" 5 | awk '{ printf "%.2f %.2f\n", $1 / 1000, $2 / 1000 }')
    row "new connection $proto, RTT $rtt ms (ms; RTTs)" "$first" "$kept" "$rtt" \
      "$(ratio "$first" "$rtt")" "then a kept call; minimum $([[ $proto == h2 ]] && echo "2 (TLS 1.3, request; TCP not modelled)" || echo "1 (request; TCP not modelled)")"
  done
  # Reconnects: every call after the first comes once the server has closed the kept
  # connection (its keep-alive is 1 s there), so each opens a new one; the server's log says
  # which handshakes resumed a session. A resumed TLS 1.2 handshake saves a round trip; one
  # of TLS 1.3 saves the certificate's checks but no round trip.
  for tls in 3 2; do
    start_relay "$((h2_port + (tls == 3 ? 1 : 2)))" "$rtt" 0 "relay.resume1$tls.$rtt"
    log=$work/resume1$tls.log
    : >"$log"
    read -r rb rn < <(BENCH_H2=https://127.0.0.1:$relay_port client "$drv" resume h2 5 1500 |
      awk '{ printf "%.2f %.2f\n", $1 / 1000, $2 / 1000 }')
    row "reconnect h2 TLS 1.$tls, RTT $rtt ms (ms)" "$rb" "$rn" "$rtt" "$(ratio "$rb" "$rtt")" \
      "blocking / non-blocking, in RTTs: blocking; $(grep -c ' r$' "$log") of $(wc -l <"$log") handshakes resumed (the first of each form cannot be); minimum $([[ $tls == 3 ]] && echo 2 || echo "2 resumed, 3 not")"
  done
  stop_relays
done

rtt=$(awk '{print $1}' <<<"$rtts")
for loss in $losses; do
  start_relays "$rtt" "$loss"
  slice_ms=$((rtt * 10 > 500 ? rtt * 10 : 500))
  slices=$(awk -v s="$secs" -v m="$slice_ms" 'BEGIN { n = int(s * 1000 / m); print (n < 2 ? 2 : n) }')
  export BENCH_WARM_MS=$((rtt * 3))
  n=256
  limit=$(awk -v n="$n" -v r="$rtt" 'BEGIN { printf "%.0f", n * 1000 / r }')
  limit1=$(awk -v n="$h1_connections" -v r="$rtt" 'BEGIN { printf "%.0f", n * 1000 / r }')
  read -r l _ _ b _ _ < <(client "$drv" turns h2 "$n" "$slices" "$slice_ms" threads)
  read -r l1 _ _ b1 _ _ < <(client "$drv" turns h1 "$n" "$slices" "$slice_ms" threads)
  stop_relays
  row "h2, RTT $rtt ms, $loss% held 200 ms, $n in flight" "$l" "$b" "$limit" "$(ratio "$l" "$limit")" \
    "limit without loss; $(sed 's/^relay: //' "$work/relay.$h2_port.err" 2>/dev/null | tr '\n' ' ')"
  row "h1, RTT $rtt ms, $loss% held 200 ms, $n in flight" "$l1" "$b1" "$limit1" "$(ratio "$l1" "$limit1")" \
    "limit without loss; $(sed 's/^relay: //' "$work/relay.$h1_port.err" 2>/dev/null | tr '\n' ' ')"

done

# Many clients: FLEET_CLIENTS threads in FLEET_PROCS processes, each thread one client with
# its own timers, against one velmora-service across the first RTT.
pg_uri=
pg_pid=
fleet_dbs=0
# Busy and all ticks of the server's CPU so far.
server_cpu_ticks() {
  awk -v c="cpu$server_cpu" '$1 == c { t = 0; for (i = 2; i <= 9; i++) t += $i; print t - $5 - $6, t }' /proc/stat
}
# CPU ticks of the database server: its own, its live processes' and its ended ones'.
pg_ticks() {
  local c t
  t=$(awk '{print $14 + $15 + $16 + $17}' "/proc/$pg_pid/stat")
  for c in $(pgrep -P "$pg_pid"); do t=$((t + $(awk '{print $14 + $15}' "/proc/$c/stat" 2>/dev/null || echo 0))); done
  echo "$t"
}
fleet() {  # LOSS_PERCENT STORE
  local loss=$1 store=$2 svc_dir=$work/service.$2.$1 port pid ticks0 ticks1 conns=0 c db=()
  mkdir -p "$svc_dir"
  if [[ $store == postgres ]]; then
    if [[ -z $pg_uri ]]; then
      chmod 755 "$work"  # the database server runs as another user
      pg_uri=$(POSTGRES_FSYNC=on "$root/scripts/postgres.sh" start "$work/pg" $$)
      # On the service's CPU, as its backends will be (they inherit it).
      pg_pid=$(head -n 1 "$work/pg/data/postmaster.pid")
      for c in "$pg_pid" $(pgrep -P "$pg_pid"); do taskset -pc "$server_cpu" "$c" >/dev/null; done
    fi
    fleet_dbs=$((fleet_dbs + 1))
    psql -q "$pg_uri" -c "CREATE DATABASE fleet_$fleet_dbs" >/dev/null
    db=(--db "${pg_uri%/*}/fleet_$fleet_dbs")
  fi
  taskset -c "$server_cpu" "${FLEET_SERVICE:-$build/tools/velmora-service/velmora-service}" --listen 127.0.0.1:0 --data "$svc_dir" "${db[@]}" \
    --max-connections $((fleet_clients * 2 + 64)) --max-connections-per-client $((fleet_clients * 2 + 64)) \
    >"$svc_dir/out" 2>"$svc_dir/err" &
  pid=$!
  for _ in $(seq 100); do grep -q listening "$svc_dir/out" && break; sleep 0.05; done
  port=$(sed -E 's/.*:([0-9]+).*/\1/' "$svc_dir/out")
  relays_started=()
  start_relay "$port" "$rtt" "$loss" "service.$store.$loss/relay"
  local origin=https://127.0.0.1:$relay_port
  ticks0=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  local db_ticks0=0 db_ticks1=0 busy0 all0 busy1 all1
  if [[ $store == postgres ]]; then db_ticks0=$(pg_ticks); fi
  read -r busy0 all0 < <(server_cpu_ticks)
  local per=$((fleet_clients / fleet_procs)) outs=()
  for ((p = 0; p < fleet_procs; p++)); do
    client "${FLEET_BENCH:-$build/bench/velmora_fleet_bench}" "$origin" "$svc_dir/cert.pem" "$per" "$fleet_secs" 2000 "p$p" \
      "$fleet_warm_ms" "$fleet_spread_ms" \
      >"$svc_dir/fleet.$p" &
    outs+=("$!")
  done
  # Open connections at the service, sampled half way through.
  sleep "$(awk -v s="$fleet_secs" 'BEGIN { print s / 2 }')"
  conns=$(ss -Htn state established "( sport = :$port )" | wc -l)
  for o in "${outs[@]}"; do wait "$o"; done
  ticks1=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  read -r busy1 all1 < <(server_cpu_ticks)
  kill "$pid"; wait "$pid" 2>/dev/null || true
  stop_relays
  if [[ $store == postgres ]]; then
    sleep 1  # the service's backends end with its connections
    db_ticks1=$(pg_ticks)
  fi
  # Summed over the processes; latencies: the worst process's.
  read -r clients polls sends received starved dup p50 p99 done s50 s99 < <(cat "$svc_dir"/fleet.* | awk '
    { for (i = 1; i <= 6; i++) t[i] += $i; t[9] += $9
      if ($7 > t[7]) t[7] = $7; if ($8 > t[8]) t[8] = $8; if ($10 > t[10]) t[10] = $10; if ($11 > t[11]) t[11] = $11 }
    END { for (i = 1; i <= 11; i++) printf "%s ", t[i]; print "" }')
  # Requests: polls and sends as counted, presence reports as scheduled (one per 3 s).
  local requests cpu_us db_us=
  local hz
  hz=$(getconf CLK_TCK)
  requests=$(awk -v p="$polls" -v s="$sends" -v c="$clients" -v t="$fleet_secs" 'BEGIN { printf "%.0f", p + s + c * t / 3 }')
  cpu_us=$(awk -v t=$((ticks1 - ticks0)) -v r="$requests" -v hz="$hz" 'BEGIN { printf "%.0f", t * 1e6 / hz / r }')
  if [[ $store == postgres ]]; then
    db_us=$(awk -v t=$((db_ticks1 - db_ticks0)) -v r="$requests" -v hz="$hz" 'BEGIN { printf "%.0f", t * 1e6 / hz / r }')
    db_us=" and PostgreSQL ${db_us} us"
  fi
  row "fleet: $clients clients on $store, RTT $rtt ms, loss $loss%, start over $fleet_spread_ms ms" "$s50" "$s99" "" "" \
    "steady state: send ms p50/p99; delivery ms p50 $p50 p99 $p99 (poll 0.5 s); service ${cpu_us} us${db_us} CPU/request; server CPU $(ratio $((busy1 - busy0)) $((all1 - all0))) busy; $conns connections; $starved starved; sent $sends, completed $done, received $received, duplicated $dup"
}
if ((fleet_clients > 0)); then
  rtt=$(awk '{print $1}' <<<"$rtts")
  for store in $fleet_stores; do
    for loss in $fleet_losses; do fleet "$loss" "$store"; done
  done
fi

printf '\n%-42s | %10s | %10s | %10s | %6s | %s\n' \
  "measure (jitter $jitter ms, client cpu $client_cpu)" "library" "thread/call" "limit" "ratio" "note"
printf '%s\n' "$(printf '%.0s-' {1..120})"
printf '%s\n' "${rows[@]}"
