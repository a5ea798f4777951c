#!/usr/bin/env bash
# A call made after an HTTP/2 server closed the kept connection opens a new one that
# resumes the TLS session, in both forms. The test servers speak HTTP/1.1 only, where a
# TLS 1.3 session survived anyway; this uses the network bench's nginx (bench/nginx.sh),
# whose H2_PORT+1 and H2_PORT+2 servers close idle connections after a second and log
# whether each handshake resumed, and the bench driver's `resume` mode: per form, one
# call, then two more, each 2.5 s after the last; under TLS 1.3 and under TLS 1.2.
# Skipped (77) without nginx.
#   tls_resume_test.sh E2E_BENCH
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
drv=$1
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

# TLS 1.3 on H2_PORT+1, TLS 1.2 (sessions found by ID in the server's cache) on H2_PORT+2.
failed=0
for tls in 3 2; do
  log=$work/resume1$tls.log
  BENCH_H2=https://127.0.0.1:$((base + (tls == 3 ? 2 : 3))) BENCH_CA=$work/cert.pem "$drv" resume h2 2 2500 >/dev/null
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
exit "$failed"
