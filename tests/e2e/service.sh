# Sourced by the end-to-end scripts: starting and stopping a velmora-service of their own.

# start_service BINARY DATA_DIR [ARGS...]
# Starts the service on a free loopback port with DATA_DIR as its data folder and waits
# for its "listening <origin>" line. Sets SERVICE_PID and ORIGIN; the service's own
# certificate is DATA_DIR/cert.pem. Extra ARGS go to the service (e.g. --db :memory:).
start_service() {
  local binary=$1 data=$2
  shift 2
  mkdir -p "$data"
  : >"$data/service.out"
  "$binary" --listen 127.0.0.1:0 --data "$data" "$@" >"$data/service.out" 2>>"$data/service.err" &
  SERVICE_PID=$!
  local line deadline=$((SECONDS + 30))
  while ((SECONDS < deadline)); do
    line=$(grep -m1 '^listening ' "$data/service.out" || true)
    if [[ -n $line ]]; then
      ORIGIN=${line#listening }
      return 0
    fi
    if ! kill -0 "$SERVICE_PID" 2>/dev/null; then
      echo "velmora-service exited before it was ready:" >&2
      cat "$data/service.err" >&2
      return 1
    fi
    sleep 0.05
  done
  echo "velmora-service did not report 'listening' within 30 s" >&2
  return 1
}

# stop_service: SIGTERM, then wait; returns the service's exit status.
stop_service() {
  [[ -n ${SERVICE_PID:-} ]] || return 0
  local pid=$SERVICE_PID status=0
  SERVICE_PID=
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  return "$status"
}
