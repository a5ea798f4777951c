#!/usr/bin/env bash
# Throughput of velmora-service, one build against another, on the end-to-end driver
# (bench/e2e_bench.cpp, `tput lib`: the library's non-blocking sendMessage, N in flight).
# Both services run at once on loopback (HTTP/1.1 and HTTPS, database in memory so that
# the HTTP layer is what is measured, or on disk with DB=file), pinned to one CPU and the
# client to the other; the two sides take turns run by run (which goes first alternates),
# because this VM's speed drifts within seconds. Prints medians and after/before ratios.
#
#   bench/service.sh BEFORE_SERVICE AFTER_SERVICE [BUILD_DIR]
#   (REPEAT=7 SECONDS_PER_RUN=1 IN_FLIGHT="1 16 64" DB=memory|file)
#
# A before binary from an earlier commit:
#   git worktree add --detach /tmp/before REV && cmake -S /tmp/before -B /tmp/before/build \
#     -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TESTS=OFF && \
#   cmake --build /tmp/before/build --target velmora-service
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
before=$1
after=$2
build=${3:-$root/build}
repeat=${REPEAT:-7}
secs=${SECONDS_PER_RUN:-1}
in_flight=${IN_FLIGHT:-1 16 64}
db=${DB:-memory}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}
drv=$build/bench/velmora_e2e_bench

. "$root/bench/start_service.sh"  # work, pids, stopped on exit
# start NAME BINARY http|https -> sets origin_NAME
start() {
  local name=$1 bin=$2 proto=$3 args=(--listen 127.0.0.1:0 --data "$work/$1")
  if [[ $db == memory ]]; then args+=(--db :memory:); fi
  if [[ $proto == http ]]; then args+=(--http); fi
  # Every call sends to one recipient: a quota would end the run (a refused call has no
  # completion, so the driver would wait for it).
  if "$bin" --help | grep -q -- --recipient-quota; then args+=(--recipient-quota 1000000000000); fi
  mkdir -p "$work/$name"
  start_service "$work" "$name" taskset -c "$server_cpu" "$bin" "${args[@]}"
}
start before_h1 "$before" http
start after_h1 "$after" http
start before_tls "$before" https
start after_tls "$after" https

median() { sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
run() {  # origin ca proto n -> calls/s
  local var=BENCH_H1
  if [[ $3 == h2 ]]; then var=BENCH_H2; fi
  env "$var=$1" BENCH_CA="$2" taskset -c "$client_cpu" "$drv" tput lib "$3" "$4" "$secs" | awk '{print $1}' || echo 0
}

printf '%-40s | %10s | %10s | %6s\n' "service throughput (median of $repeat, db $db)" before after ratio
printf '%s\n' "$(printf '%.0s-' {1..76})"
for proto in h1 tls; do
  for n in $in_flight; do
    b=() a=()
    for ((r = 0; r < repeat; r++)); do
      bo=origin_before_$proto ao=origin_after_$proto
      bca=$work/before_$proto/cert.pem aca=$work/after_$proto/cert.pem
      p=h1
      if [[ $proto == tls ]]; then p=h2; fi  # the driver's HTTPS setting (the service speaks HTTP/1.1)
      if ((r % 2 == 0)); then
        b+=("$(run "${!bo}" "$bca" $p "$n")"); a+=("$(run "${!ao}" "$aca" $p "$n")")
      else
        a+=("$(run "${!ao}" "$aca" $p "$n")"); b+=("$(run "${!bo}" "$bca" $p "$n")")
      fi
    done
    bm=$(printf '%s\n' "${b[@]}" | median); am=$(printf '%s\n' "${a[@]}" | median)
    label="HTTP/1.1"
    if [[ $proto == tls ]]; then label="HTTPS"; fi
    printf '%-40s | %10.0f | %10.0f | %6s\n' "sendMessage $label, $n in flight (calls/s)" "$bm" "$am" \
      "$(awk -v a="$am" -v b="$bm" 'BEGIN { printf "%.2f", a / b }')"
  done
done
