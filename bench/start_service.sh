# Sourced by the benchmark scripts: start_service WORK NAME COMMAND... runs COMMAND (a
# velmora-service listening on port 0, perhaps behind taskset) in the background with its
# output in WORK/NAME.out and WORK/NAME.err, adds its process id to the caller's array
# pids, waits up to 10 s for the line saying where it listens, and sets origin_NAME to the
# origin that line names.
#
# Sourcing it also gives the caller a scratch folder `work` and the array `pids`, and, on
# exit, stops every process in pids, runs the caller's `after_services_stopped` if it
# defines one, and removes the folder.
work=$(mktemp -d)
pids=()
stop_bench_services() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if declare -F after_services_stopped >/dev/null; then after_services_stopped; fi
  rm -rf "$work"
}
trap stop_bench_services EXIT

start_service() {
  local work=$1 name=$2
  shift 2
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  for _ in $(seq 200); do
    # -s: the background shell may not have made the file yet.
    if grep -qs listening "$work/$name.out"; then break; fi
    sleep 0.05
  done
  printf -v "origin_$name" '%s' "$(awk '{print $2}' "$work/$name.out")"
}
