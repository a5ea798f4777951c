#!/usr/bin/env bash
# End-to-end figures in one run: starts a fixed-reply nginx on loopback (HTTP/1.1 on one
# port, HTTPS with h2 on another, a self-signed certificate made now), runs bench/e2e_bench
# for the library and its baselines, both sides of a comparison in one process taking turns
# (the host of this VM changes speed within seconds), and prints one table of
# medians. The server is pinned to one CPU and every client to the other, for both sides.
#
#   bench/run.sh [BUILD_DIR]        (default build-d; REPEAT=5 SECONDS_PER_RUN=2 to change)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-d}
repeat=${REPEAT:-5}
secs=${SECONDS_PER_RUN:-2}
server_cpu=${SERVER_CPU:-1}
client_cpu=${CLIENT_CPU:-0}

VELMORA_EXTRA_PACKAGES="nginx nghttp2-client wrk" "$root/scripts/bootstrap.sh"
cmake --build "$build" --target bench -j2 >/dev/null
drv=$build/bench/velmora_e2e_bench

work=$(mktemp -d)
cleanup() {
  if [[ -f $work/nginx.pid ]]; then kill "$(cat "$work/nginx.pid")" 2>/dev/null || true; fi
  sleep 0.2
  rm -rf "$work"
}
trap cleanup EXIT

h1_port=${H1_PORT:-18080}
h2_port=${H2_PORT:-18443}
. "$root/bench/nginx.sh"
start_nginx "$work" "$h1_port" "$h2_port" "$server_cpu"

export BENCH_H1=http://127.0.0.1:$h1_port BENCH_H2=https://127.0.0.1:$h2_port BENCH_CA=$work/cert.pem
client() { taskset -c "$client_cpu" "$@"; }

median() { sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
kib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

rows=()
row() { rows+=("$(printf '%-44s | %12s | %12s | %6s | %s' "$@")"); }

# The server's own ceiling, measured with the same pinning.
wrk_rate=$(client wrk -t1 -c16 -d"${secs}s" "$BENCH_H1/sendMessage" | awk '/Requests\/sec/ {print int($2)}')
h2_rate=$(client h2load -n 40000 -c1 -m256 "$BENCH_H2/sendMessage" 2>/dev/null \
  | awk '/finished in/ {for (i=1;i<=NF;i++) if ($i ~ /req\/s/) {v=$(i-1)}} END {print int(v)}')
row "server ceiling: wrk h1 c16 / h2load h2 m256" "$wrk_rate" "$h2_rate" "" "req/s"

# One run of both sides in one process, in turns of $slice_ms ms ($secs s a side in all):
# on this VM the host's load moves whole runs by 2-3x within seconds, far more than the
# difference being measured. "rate cpu_us_per_call switches_per_call" for the library,
# then the same for the baseline, appended to six arrays.
slice_ms=${SLICE_MS:-100}
slices=$(awk -v s="$secs" -v m="$slice_ms" 'BEGIN { n = int(s * 1000 / m); print (n < 2 ? 2 : n) }')
turns() {  # proto n baseline
  local out
  out=$(client "$drv" turns "$1" "$2" "$slices" "$slice_ms" "$3")
  read -r a b c d e f <<<"$out"
  l_rate+=("$a"); l_cpu+=("$b"); l_cs+=("$c"); b_rate+=("$d"); b_cpu+=("$e"); b_cs+=("$f")
}
med() { printf '%s\n' "$@" | median; }

for proto in h1 h2; do
  for n in 1 16 256; do
    l_rate=() l_cpu=() l_cs=() b_rate=() b_cpu=() b_cs=()
    for ((r = 0; r < repeat; r++)); do turns $proto $n multi; done
    l=$(med "${l_rate[@]}"); b=$(med "${b_rate[@]}")
    row "non-blocking $proto, $n in flight (calls/s)" "$l" "$b" "$(ratio "$l" "$b")" "goal >= 0.9 (multi loop)"
    l=$(med "${l_cpu[@]}"); b=$(med "${b_cpu[@]}")
    row "  client CPU us per call" "$l" "$b" "$(ratio "$l" "$b")" \
      "switches/call $(med "${l_cs[@]}") vs $(med "${b_cs[@]}")"
  done
done

for proto in h1 h2; do
  lm=() lp=() bm=() bp=()
  # Both sides in one process, call by call in turn: on this VM whole runs drift 2-3x
  # with the host's load, far more than the difference being measured.
  for ((r = 0; r < repeat; r++)); do
    read -r a b c d < <(client "$drv" lat both $proto 2000)
    lm+=("$a"); lp+=("$b"); bm+=("$c"); bp+=("$d")
  done
  l=$(printf '%s\n' "${lm[@]}" | median); b=$(printf '%s\n' "${bm[@]}" | median)
  row "blocking $proto, median latency (us)" "$l" "$b" "$(ratio "$l" "$b")" "goal <= 1.1 (reused easy handle)"
  l=$(printf '%s\n' "${lp[@]}" | median); b=$(printf '%s\n' "${bp[@]}" | median)
  row "blocking $proto, p99 latency (us)" "$l" "$b" "$(ratio "$l" "$b")" "goal <= 1.1 (reused easy handle)"
done

for proto in h1 h2; do
  l_rate=() l_cpu=() l_cs=() b_rate=() b_cpu=() b_cs=()
  for ((r = 0; r < repeat; r++)); do turns $proto 256 threads; done
  l=$(med "${l_rate[@]}"); b=$(med "${b_rate[@]}")
  row "256 in flight $proto vs thread per call (calls/s)" "$l" "$b" "$(ratio "$l" "$b")" "goal >= 5 (fresh easy handle per thread)"
done

read -r ti tp ri rp per < <(client "$drv" mem h2 10000)
row "threads, idle / with 10,000 in flight (h2)" "$ti" "$tp" "" "goal: I/O + delivery + caller = 3"
row "RSS KiB idle / peak, 10,000 in flight (h2)" "$ri" "$rp" "" "$(kib "$per") KiB per call in flight (aim < 16)"
read -r ti tp ri rp per < <(client "$drv" mem h1 10000)
row "RSS KiB idle / peak, 10,000 in flight (h1)" "$ri" "$rp" "" "$(kib "$per") KiB per call in flight (aim < 16)"
row "TLS handshakes, 1,000 sequential calls (h2)" "$(client "$drv" tls h2 1000)" "" "" "goal 1"
row "connections, 256 in flight from cold (h2)" "$(client "$drv" conns h2 256)" "" "" "goal 1"

printf '\n%-44s | %12s | %12s | %6s | %s\n' "measure (median of $repeat, client cpu $client_cpu, server cpu $server_cpu)" "library" "baseline" "ratio" "note"
printf '%s\n' "$(printf '%.0s-' {1..110})"
printf '%s\n' "${rows[@]}"
