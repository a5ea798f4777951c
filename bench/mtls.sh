#!/usr/bin/env bash
# What mutual TLS costs against plain TLS, with the library against velmora-service: two
# services of one build at once on loopback (HTTPS, database in memory), one asking for
# client certificates (--client-ca) and one not, pinned to one CPU and the client to the
# other, taking turns run by run (this VM's speed drifts within seconds). Prints medians:
#   - a new connection: a blocking sendMessage that opens one (TCP and TLS handshakes, the
#     client's TLS context with its CA file and certificate), in a fresh process after one
#     call to the service by another name (localhost) has paid the process's one-time set-up;
#   - a kept connection: the median blocking sendMessage after it;
#   - throughput on kept connections: the non-blocking sendMessage, 16 in flight.
#
#   bench/mtls.sh [BUILD_DIR]      (REPEAT=21 KEPT=200 SECONDS_PER_RUN=1)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
repeat=${REPEAT:-21}
kept=${KEPT:-200}
secs=${SECONDS_PER_RUN:-1}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}
drv=$build/bench/velmora_e2e_bench
service=$build/tools/velmora-service/velmora-service

. "$root/bench/start_service.sh"  # work, pids, stopped on exit
"$root/scripts/client-cert.sh" "$work/clients" alice >/dev/null

# start NAME ARGS... -> sets origin_NAME
start() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  # Every call sends to one recipient: a quota would end the run.
  start_service "$work" "$name" taskset -c "$server_cpu" "$service" --listen 127.0.0.1:0 --data "$work/$name" \
    --db :memory: --recipient-quota 1000000000000 "$@"
}
start tls
start mtls --client-ca "$work/clients/ca.pem"

side() {  # NAME -> env assignments for the driver
  if [[ $1 == mtls ]]; then
    echo "BENCH_CERT=$work/clients/alice.pem BENCH_KEY=$work/clients/alice-key.pem"
  fi
}
drive() {  # NAME ARGS... -> the driver's output line
  local name=$1 o=origin_$1
  shift
  # shellcheck disable=SC2046
  env BENCH_H2="${!o}" BENCH_CA="$work/$name/cert.pem" $(side "$name") taskset -c "$client_cpu" "$drv" "$@"
}

median() { sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
declare -A first kept_us tput
for ((r = 0; r < repeat; r++)); do
  order=(tls mtls)
  if ((r % 2)); then order=(mtls tls); fi
  for name in "${order[@]}"; do
    read -r f k < <(drive "$name" first h2 "$kept")
    first[$name]+="$f "
    kept_us[$name]+="$k "
    if ((r % 3 == 0)); then  # fewer throughput runs: each takes a second
      tput[$name]+="$(drive "$name" tput lib h2 16 "$secs" | awk '{print $1}') "
    fi
  done
done

m() { tr ' ' '\n' <<<"$1" | grep . | median; }
printf '%-52s | %10s | %10s | %6s\n' "sendMessage over HTTPS (median of $repeat)" "plain TLS" "mutual TLS" ratio
printf '%s\n' "$(printf '%.0s-' {1..88})"
row() {
  printf '%-52s | %10.0f | %10.0f | %6s\n' "$1" "$2" "$3" "$(awk -v a="$3" -v b="$2" 'BEGIN { printf "%.2f", a / b }')"
}
row "new connection: a call that opens one (us)" "$(m "${first[tls]}")" "$(m "${first[mtls]}")"
row "kept connection: median call after it (us)" "$(m "${kept_us[tls]}")" "$(m "${kept_us[mtls]}")"
row "kept connections: 16 in flight (calls/s, $(( (repeat + 2) / 3 )) runs)" "$(m "${tput[tls]}")" "$(m "${tput[mtls]}")"
