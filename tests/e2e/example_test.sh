#!/usr/bin/env bash
# The Asio example against a velmora-service of its own: presence reports go through and a
# message sent with the velmora command arrives, and the example ends by itself.
#
# example_test.sh EXAMPLE_BINARY VELMORA_BINARY VELMORA_SERVICE_BINARY WORK_DIR
set -euo pipefail

example=$1 cli=$2 service=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=service.sh
source "$here/service.sh"
trap 'stop_service || true' EXIT

rm -rf "$work"
start_service "$service" "$work/data" --db :memory:
"$cli" --origin "$ORIGIN" --ca-file "$work/data/cert.pem" send bob ann 'hello from bob' >/dev/null
timeout 60 "$example" "$ORIGIN" "$work/data/cert.pem" ann 3 >"$work/example.out"
cat "$work/example.out"
grep -q '^presence: 1 users online' "$work/example.out"
grep -q '^message from bob[^:]*: "hello from bob"' "$work/example.out"
