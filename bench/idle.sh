#!/usr/bin/env bash
# Wake-ups of an idle application (bench/idle_wakeups.cpp) against a loopback velmora-service
# over HTTPS: served through the run loop's descriptor, and by runFor(0) every 16 ms.
#
#   bench/idle.sh [BUILD_DIR] (SECONDS=60 TIME_INTERVAL=3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
secs=${SECONDS_PER_RUN:-60}
interval=${TIME_INTERVAL:-3}
work=$(mktemp -d)
pid=
cleanup() {
  if [[ -n $pid ]]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/velmora-service/velmora-service" --listen 127.0.0.1:0 --data "$work" --db :memory: >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
  if grep -q listening "$work/out"; then break; fi
  sleep 0.05
done
origin=$(awk '{print $2}' "$work/out")
for mode in descriptor every16ms; do
  "$build/bench/velmora_idle_bench" "$origin" "$work/cert.pem" "$secs" "$mode" "$interval"
done
