#!/usr/bin/env bash
# What the library does against a real HTTP/2 server: the test servers speak HTTP/1.1
# only, so this runs the network bench's nginx (bench/nginx.sh) and the bench driver.
#   h2_server_test.sh E2E_BENCH resume
#     A call made after the server closed the kept connection opens a new one that resumes
#     the TLS session, in both forms (under HTTP/1.1 a TLS 1.3 session survived anyway).
#     The H2_PORT+1 and H2_PORT+2 servers close idle connections after a second and log
#     whether each handshake resumed; per form: one call, then two more, each 2.5 s after
#     the last; under TLS 1.3 and under TLS 1.2.
#   h2_server_test.sh E2E_BENCH streams
#     One wave of 1,024 calls to a server that takes 128 streams on a connection (H2_PORT+3)
#     opens only the connections the calls need (8 at most at once; libcurl left alone
#     opens one per call past the first connection's limit, up to 256), and every call
#     gets its reply.
#   h2_server_test.sh E2E_BENCH leave RELAY
#     The same server 1 s away (RELAY holds every chunk for 0.5 s each way): after a first
#     call, a wave of 1,024 calls, and the process exits 1.5 s later, while calls that gave
#     up their turn wait for the connections being set up. It must end cleanly.
# Skipped (77) without nginx.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
drv=$1
check=$2
if ! command -v nginx >/dev/null && [[ ! -x /usr/sbin/nginx ]]; then
  echo "nginx is not installed: skipped"
  exit 77
fi
export PATH=$PATH:/usr/sbin
work=$(mktemp -d)
cleanup() {
  if [[ -f $work/nginx.pid ]]; then kill "$(cat "$work/nginx.pid")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=../../bench/nginx.sh
source "$root/bench/nginx.sh"

# Five free ports in a row (HTTP/1.1, then the HTTPS server and its three variants).
base=$(python3 - <<'PY'
import random, socket
for _ in range(200):
    base = random.randrange(20000, 60000)
    socks = []
    try:
        for p in range(base, base + 5):
            s = socket.socket()
            s.bind(("127.0.0.1", p))
            socks.append(s)
        print(base)
        break
    except OSError:
        pass
    finally:
        for s in socks:
            s.close()
PY
)
start_nginx "$work" "$base" "$((base + 1))" 0
h2_port=$((base + 1))
export BENCH_CA=$work/cert.pem

failed=0
case $check in
  resume)
    # TLS 1.3 on H2_PORT+1, TLS 1.2 (sessions found by ID in the server's cache) on H2_PORT+2.
    for tls in 3 2; do
      log=$work/resume1$tls.log
      BENCH_H2=https://127.0.0.1:$((h2_port + (tls == 3 ? 1 : 2))) "$drv" resume h2 2 2500 >/dev/null
      resumed=$(grep -c ' r$' "$log" || true)
      total=$(wc -l <"$log")
      # Each form: a full handshake, then two resumed ones.
      if [[ $total -ne 6 || $resumed -ne 4 ]]; then
        echo "FAIL: TLS 1.$tls: $resumed of $total handshakes resumed, wanted 4 of 6" >&2
        failed=1
      else
        echo "ok: TLS 1.$tls: $resumed of $total handshakes resumed"
      fi
    done
    ;;
  streams)
    # Twice the connections the calls could need at once leaves room for one that closed.
    for round in 1 2 3; do
      opened=$(BENCH_H2=https://127.0.0.1:$((h2_port + 3)) "$drv" conns h2 1024) || failed=1
      if [[ $opened -gt 16 ]]; then
        echo "FAIL: round $round: 1,024 calls opened $opened connections, wanted 16 at most" >&2
        failed=1
      else
        echo "ok: round $round: 1,024 calls opened $opened connections"
      fi
    done
    ;;
  leave)
    relay=$3
    "$relay" 0 $((h2_port + 3)) 500 0 0 200 1 >"$work/relay.out" 2>/dev/null &
    relay_pid=$!
    for _ in $(seq 50); do grep -qs ready "$work/relay.out" && break; sleep 0.1; done
    rc=0
    replied=$(BENCH_H2=https://127.0.0.1:$(awk '{print $2}' "$work/relay.out") "$drv" leave h2 1024 1500) || rc=$?
    kill "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
    if [[ $rc -ne 0 ]]; then
      echo "FAIL: the process exited with $rc with calls waiting for a connection" >&2
      failed=1
    else
      echo "ok: exited cleanly; $replied calls had replied"
    fi
    ;;
  *)
    echo "unknown check: $check" >&2
    exit 2
    ;;
esac
exit "$failed"
