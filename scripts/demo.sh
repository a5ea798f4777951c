#!/usr/bin/env bash
# The Velmora demo: on a fresh machine, installs what the build needs, builds the reference
# service and the `velmora` command into build/, starts the service on a free loopback port
# with a fresh data folder, and plays a short scene through the command: two users show up
# in a team and see each other, exchange messages, and share a value. The service is
# stopped on the way out, whatever happens.
#
# Environment: VELMORA_BUILD_DIR (default: build/ in the source tree), VELMORA_BUILD_TYPE
# (for a new build directory; default RelWithDebInfo), VELMORA_DEMO_PAUSE (seconds to wait
# between the scene's steps; default 0).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$root/build}
pause=${VELMORA_DEMO_PAUSE:-0}

bold=$'\e[1m' dim=$'\e[2m' reset=$'\e[0m'
if [[ ! -t 1 ]]; then bold='' dim='' reset=''; fi

title() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$reset"; }
note() { printf '%s%s%s\n' "$dim" "$*" "$reset"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# --- set-up ---------------------------------------------------------------------------

title "Set-up"
note "Installing the packages the build needs (nothing to do when they are present)"
"$root/scripts/bootstrap.sh"

# The configuration scripts/test.sh makes too, so the two share build/; an existing
# configuration is left as it is.
if [[ ! -f $build/CMakeCache.txt ]]; then
  note "Configuring $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${VELMORA_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
fi
note "Building velmora-service and velmora (only these two)"
cmake --build "$build" --target velmora-service velmora-cli -j "$(nproc 2>/dev/null || echo 2)" >/dev/null \
  || die "the build failed; run: cmake --build $build --target velmora-service velmora-cli"

service_bin=$build/tools/velmora-service/velmora-service
cli_bin=$build/tools/velmora-cli/velmora
[[ -x $service_bin && -x $cli_bin ]] || die "built, but $service_bin or $cli_bin is missing"

# --- the service ------------------------------------------------------------------------

data=$(mktemp -d "${TMPDIR:-/tmp}/velmora-demo.XXXXXX")
service_pid=''
watchers=()

cleanup() {
  local status=$? pid
  for pid in "${watchers[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${watchers[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -n $service_pid ]]; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    note "velmora-service stopped"
  fi
  rm -rf "$data"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

title "Starting velmora-service"
"$service_bin" --listen 127.0.0.1:0 --data "$data" --db "$data/demo.db" >"$data/service.out" 2>"$data/service.err" &
service_pid=$!
origin=''
deadline=$((SECONDS + 30))
while [[ -z $origin ]]; do
  line=$(grep -m1 '^listening ' "$data/service.out" || true)
  origin=${line#listening }
  if [[ -z $origin ]]; then
    kill -0 "$service_pid" 2>/dev/null || { cat "$data/service.err" >&2; service_pid=''; die "velmora-service did not start"; }
    ((SECONDS < deadline)) || die "velmora-service did not report 'listening' within 30 s"
    sleep 0.05
  fi
done
note "listening at $origin, data in $data (a self-signed certificate: $data/cert.pem)"

export VELMORA_ORIGIN=$origin VELMORA_CA_FILE=$data/cert.pem
note "export VELMORA_ORIGIN=$origin VELMORA_CA_FILE=$data/cert.pem"

# --- helpers for the scene --------------------------------------------------------------

# The arguments as they would be typed: single-quoted where the shell needs it.
typed() {
  local arg out=()
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_./:=@-]+$ ]]; then
      out+=("$arg")
    else
      out+=("'${arg//\'/\'\\\'\'}'")
    fi
  done
  printf '%s' "${out[*]}"
}

# Shows a command, then runs it.
run() {
  printf '%s$ velmora %s%s\n' "$bold" "$(typed "$@")" "$reset"
  "$cli_bin" "$@"
}

# Starts a long-running velmora command in the background, writing to FILE.
background() {
  local file=$1
  shift
  printf '%s$ velmora %s &%s\n' "$bold" "$(typed "$@")" "$reset"
  "$cli_bin" "$@" >"$file" 2>&1 &
  watchers+=("$!")
}

# Waits (10 s at most) until FILE holds TEXT.
wait_for() {
  local file=$1 text=$2 deadline=$((SECONDS + 10))
  until grep -qF -- "$text" "$file" 2>/dev/null; do
    ((SECONDS < deadline)) || die "timed out waiting for '$text' in the output of a background command"
    sleep 0.05
  done
}

# Prints the lines FILE gained since the last call, indented under LABEL.
declare -A shown=()
show_new() {
  local file=$1 label=$2 total
  local from=$((${shown[$file]:-0} + 1))
  total=$(wc -l <"$file")
  ((total < from)) || sed -n "${from},${total}p" "$file" | sed "s/^/    $label | /"
  shown[$file]=$total
}

step() { sleep "$pause"; title "$*"; }

# --- the scene --------------------------------------------------------------------------

step "1. Alice and Bob show up in team 'demo' of the app 'chat'"
note "Alice keeps herself present and watches the team's list in the background:"
background "$data/alice-presence" presence demo chat alice --interval 0.5
wait_for "$data/alice-presence" alice
show_new "$data/alice-presence" "alice's screen"
note "Bob reports himself, with a status of his own, and asks who is online:"
run --status "ready to chat" users demo chat bob --online
wait_for "$data/alice-presence" bob
note "Alice's list has caught up:"
show_new "$data/alice-presence" "alice's screen"

step "2. They exchange messages"
note "Bob watches his inbox in the background; every message shows as it arrives:"
background "$data/bob-watch" watch bob --interval 0.3
run send alice bob "Hi Bob! Lunch at noon?"
run send alice bob "The usual place | the one with the garden"
wait_for "$data/bob-watch" "the one with the garden"
show_new "$data/bob-watch" "bob's screen"
run send bob alice "Sounds good, see you there."
note "Alice fetches her inbox once (the service hands the messages over):"
run inbox alice
run inbox alice

step "3. They share a value in the store"
run put demo lunch plan '{"time":"12:00","place":"garden","people":["alice","bob"]}'
note "Bob reads it back:"
run get demo lunch plan
run put demo lunch status '"booked"'
run get demo lunch status

step "4. Good-bye"
note "Stopping the background commands the way Ctrl-C would (SIGINT): they finish cleanly."
for pid in "${watchers[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
for pid in "${watchers[@]}"; do
  wait "$pid" || die "a background velmora did not end cleanly"
done
watchers=()
show_new "$data/bob-watch" "bob's screen"
show_new "$data/alice-presence" "alice's screen"

title "Done: the library worked end to end against velmora-service."
