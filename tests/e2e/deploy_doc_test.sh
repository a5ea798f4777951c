#!/usr/bin/env bash
# Runs the command blocks of docs/deploy.md marked "<!-- run -->", in order, as one script,
# so that the page cannot drift from what the tools do. The blocks run in an empty folder
# holding a link to the checkout's scripts/, with the tools of this build first on PATH and
# the port 8443 replaced by a free one.
#
# deploy_doc_test.sh SOURCE_DIR VELMORA_BINARY VELMORA_SERVICE_BINARY WORK_DIR
# Exits 77 (skipped) when the service binary is not given.
set -uo pipefail

source_dir=$1 cli=$2 service=${3:-} work=$4
if [[ -z $service || ! -x $service ]]; then
  echo "velmora-service is not built: skipped"
  exit 77
fi
doc=$source_dir/docs/deploy.md

rm -rf "$work"
mkdir -p "$work/bin" "$work/run"
ln -s "$cli" "$work/bin/velmora"
ln -s "$service" "$work/bin/velmora-service"
ln -s "$source_dir/scripts" "$work/run/scripts"

# A port nothing listens on now; the service binds it a moment later.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

{
  echo "set -euo pipefail"
  awk '
    /^<!-- run -->$/ { marked = 1; next }
    marked && /^```sh$/ { inside = 1; marked = 0; blocks++; next }
    inside && /^```$/ { inside = 0; print ""; next }
    inside { print }
    END { if (blocks < 5) { print "echo \"only " blocks " marked blocks found\" >&2; exit 1" } }
  ' "$doc" | sed "s/8443/$port/g"
} >"$work/script.sh"

# Its own process group, so that whatever it leaves running ends with it.
cd "$work/run"
PATH="$work/bin:$PATH" setsid bash "$work/script.sh" >"$work/output" 2>&1 &
pid=$!
deadline=$((SECONDS + 120))
while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: the blocks did not finish within 120 s"
  kill -KILL -- "-$pid" 2>/dev/null
  wait "$pid"
  rc=124
else
  wait "$pid"
  rc=$?
  kill -KILL -- "-$pid" 2>/dev/null
fi
if ((rc != 0)); then
  echo "FAIL: the marked blocks of docs/deploy.md ended with $rc"
  echo "--- script"
  cat -n "$work/script.sh"
  echo "--- output"
  cat "$work/output"
  [[ -f service.log ]] && { echo "--- service.log"; cat service.log; }
  exit 1
fi
echo "docs/deploy.md: every marked block ran"
