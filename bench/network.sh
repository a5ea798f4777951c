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
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-d}
if [[ -n ${QUICK:-} ]]; then
  : "${RTTS:=20}" "${IN_FLIGHT:=1 16}" "${SECONDS_PER_RUN:=1}" "${LOSSES:=5}"
fi
rtts=${RTTS:-20 100}
in_flight=${IN_FLIGHT:-1 16 256 1024}
secs=${SECONDS_PER_RUN:-4}
jitter=${JITTER_MS:-1}
losses=${LOSSES:-1 5}
limit_s=${LIMIT_S:-1800}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}
# The library's connection limit, which bounds HTTP/1.1 (one call per connection at a time).
h1_connections=256

if [[ -z ${VELMORA_NETWORK_BENCH_INNER:-} ]]; then
  VELMORA_EXTRA_PACKAGES="nginx" "$root/scripts/bootstrap.sh"
  cmake --build "$build" --target velmora_e2e_bench velmora_relay -j2 >/dev/null
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
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

h1_port=${H1_PORT:-18080}
h2_port=${H2_PORT:-18443}
. "$root/bench/nginx.sh"
start_nginx "$work" "$h1_port" "$h2_port" "$server_cpu"
export BENCH_CA=$work/cert.pem

# start_relays RTT_MS LOSS_PERCENT: relays in front of both nginx ports; sets BENCH_H1/H2.
start_relays() {
  local half loss=$2 n=${#relays[@]}
  half=$(awk -v r="$1" 'BEGIN { print r / 2 }')
  for target in "$h1_port" "$h2_port"; do
    taskset -c "$server_cpu" "$relay" 0 "$target" "$half" "$jitter" "$loss" 200 "$RANDOM" \
      >"$work/relay.$target.out" 2>"$work/relay.$target.err" &
    relays+=("$!")
  done
  for target in "$h1_port" "$h2_port"; do
    for _ in $(seq 50); do grep -q ready "$work/relay.$target.out" 2>/dev/null && break; sleep 0.1; done
  done
  export BENCH_H1=http://127.0.0.1:$(awk '{print $2}' "$work/relay.$h1_port.out")
  export BENCH_H2=https://127.0.0.1:$(awk '{print $2}' "$work/relay.$h2_port.out")
  relays_started=("${relays[@]:$n}")
}
stop_relays() {
  for pid in "${relays_started[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
}

client() { taskset -c "$client_cpu" "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rows=()
row() { rows+=("$(printf '%-42s | %10s | %10s | %10s | %6s | %s' "$@")"); }

for rtt in $rtts; do
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
      read -r l _ _ b _ _ < <(client "$drv" turns "$proto" "$n" "$slices" "$slice_ms" threads)
      row "$proto, RTT $rtt ms, $n in flight (calls/s)" "$l" "$b" "$limit" "$(ratio "$l" "$limit")" \
        "goal >= 0.9 of IN_FLIGHT/RTT$([[ $effective != "$n" ]] && echo " ($effective connections)")"
    done
  done
  for proto in h2 h1; do
    read -r p50 p99 < <(client "$drv" lat lib "$proto" $((5000 / rtt + 20)))
    p50ms=$(awk -v u="$p50" 'BEGIN { printf "%.2f", u / 1000 }')
    p99ms=$(awk -v u="$p99" 'BEGIN { printf "%.2f", u / 1000 }')
    row "blocking $proto, RTT $rtt ms: p50 / p99 (ms)" "$p50ms" "$p99ms" "$rtt" \
      "$(awk -v a="$p50ms" -v r="$rtt" 'BEGIN { printf "%+.2f", a - r }')" "goal p50 <= RTT + 1 ms (ratio column: ms over RTT)"
    read -r first kept < <(client "$drv" first "$proto" 5)
    row "first call $proto, RTT $rtt ms (ms; RTTs)" "$first" "$kept" "$rtt" \
      "$(ratio "$first" "$rtt")" "then a kept call; minimum $([[ $proto == h2 ]] && echo "2 (TLS 1.3, request; TCP not modelled)" || echo "1 (request; TCP not modelled)")"
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
  read -r l _ _ b _ _ < <(client "$drv" turns h2 "$n" "$slices" "$slice_ms" threads)
  stop_relays
  row "h2, RTT $rtt ms, $loss% held 200 ms, $n in flight" "$l" "$b" "$limit" "$(ratio "$l" "$limit")" \
    "limit without loss; $(sed 's/^relay: //' "$work/relay.$h2_port.err" 2>/dev/null | tr '\n' ' ')"

done

printf '\n%-42s | %10s | %10s | %10s | %6s | %s\n' \
  "measure (jitter $jitter ms, client cpu $client_cpu)" "library" "thread/call" "limit" "ratio" "note"
printf '%s\n' "$(printf '%.0s-' {1..120})"
printf '%s\n' "${rows[@]}"
