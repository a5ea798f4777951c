#!/usr/bin/env bash
# The velmora command against a velmora-service of its own over HTTPS: every command, its
# output (text and --json) and its exit codes, Ctrl-C on the long-running commands, a
# service restart, and a service that is gone.
#
# cli_test.sh VELMORA_BINARY VELMORA_SERVICE_BINARY WORK_DIR
# Exits 77 (skipped) when the service binary is not given.
set -uo pipefail

cli=$1 service=${2:-} work=$3
if [[ -z $service || ! -x $service ]]; then
  echo "velmora-service is not built: skipped"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=service.sh
source "$here/service.sh"

background=()
cleanup() {
  local pid
  for pid in "${background[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  stop_service || true
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
out=$work/out err=$work/err
failures=0

fail() {
  echo "FAIL: $*"
  echo "  stdout: $(head -c 2000 "$out")"
  echo "  stderr: $(head -c 2000 "$err")"
  failures=$((failures + 1))
}

# check NAME RC EXPECT ARGS...: runs velmora ARGS and checks its exit code and standard
# output. EXPECT "" checks nothing, "=TEXT" wants exactly TEXT, anything else wants a
# line holding it.
check() {
  local name=$1 want=$2 expect=$3 rc=0
  shift 3
  "$cli" "$@" >"$out" 2>"$err" </dev/null || rc=$?
  if ((rc != want)); then
    fail "$name: exit code $rc, wanted $want"
  elif [[ $expect == =* ]]; then
    [[ $(cat "$out") == "${expect#=}" ]] || fail "$name: stdout is not '${expect#=}'"
  elif [[ -n $expect ]]; then
    grep -qF -- "$expect" "$out" || fail "$name: no '$expect' in stdout"
  fi
}

# wait_for FILE TEXT: until FILE holds TEXT (10 s at most).
wait_for() {
  local deadline=$((SECONDS + 10))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# finish PID NAME: waits for a background velmora; it must end with 0 within 10 s.
finish() {
  local pid=$1 name=$2 rc=0 deadline=$((SECONDS + 10))
  while kill -0 "$pid" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      fail "$name: still running 10 s after it should have stopped"
      kill -KILL "$pid" 2>/dev/null
      break
    fi
    sleep 0.05
  done
  wait "$pid" || rc=$?
  ((rc == 0)) || fail "$name: exit code $rc, wanted 0"
}

echo "== usage"
check "help" 0 "Exit codes:" --help
check "help of a command" 0 "FROM" send --help
check "no command" 2 "" 
check "unknown command" 2 "" bogus
check "missing argument" 2 "" send alice bob
check "extra argument" 2 "" inbox alice bob
check "unknown option" 2 "" inbox bob --bogus
check "value not JSON" 2 "" put team tag key '{bad'
check "bare word is not JSON" 2 "" put team tag key hello
check "timeout not positive" 2 "" --timeout 0 inbox bob
check "interval not a number" 2 "" watch bob --interval soon
check "count not positive" 2 "" watch bob --count 0
check "origin not http(s)" 2 "" --origin ftp://example.org inbox bob
check "CA file missing" 2 "" --ca-file "$work/nothing.pem" inbox bob
check "client certificate missing" 2 "" --cert "$work/nothing.pem" inbox bob
check "client key without certificate" 2 "" --key "$work/nothing.pem" inbox bob
check "text not UTF-8" 2 "" send alice bob $'\xff'

echo "== start velmora-service"
start_service "$service" "$work/data" || exit 1
export VELMORA_ORIGIN=$ORIGIN VELMORA_CA_FILE=$work/data/cert.pem
[[ $ORIGIN == https://* ]] || fail "the service did not start on HTTPS: $ORIGIN"

echo "== an encrypted client key"
# Refused at once, never asked for on the terminal: the command runs with one here, whose
# input stays open and silent.
openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -passout pass:secret -days 1 \
  -subj /CN=alice -keyout "$work/encrypted-key.pem" -out "$work/encrypted.pem" 2>/dev/null
mkfifo "$work/silent"
exec 3<>"$work/silent"  # read and write: never at its end, never any data
rc=0
timeout 30 script -qec "'$cli' --cert '$work/encrypted.pem' --key '$work/encrypted-key.pem' inbox bob" /dev/null \
  <&3 >"$out" 2>&1 || rc=$?
exec 3<&-
((rc == 1)) || fail "encrypted key: exit code $rc, wanted 1 (124: it waited for a passphrase)"

echo "== messages"
check "send" 0 "sent alice -> bob" send alice bob 'hello | there'
check "send --json" 0 '={"sent":true}' send carol bob second --json
check "text the service cannot carry" 1 '={"sent":false}' --json send alice bob $'a\xc2\xa7b'
check "inbox --json" 0 'hello | there' inbox bob --json
grep -qF second "$out" || fail "inbox --json: second message missing"
check "inbox emptied" 0 '={}' inbox bob --json
check "inbox text when empty" 0 "no messages for bob" inbox bob
# Twelve messages from two senders: text output keeps the order they were sent in, which
# neither the keys' text order nor the senders' would give.
for i in $(seq 1 12); do
  sender=zed
  ((i % 2)) && sender=amy
  "$cli" send "$sender" kim "m$i" >/dev/null || fail "send m$i"
done
check "inbox in sending order" 0 "" inbox kim
[[ $(sed 's/^[^:]*: //' "$out" | tr '\n' ' ') == "m1 m2 m3 m4 m5 m6 m7 m8 m9 m10 m11 m12 " ]] \
  || fail "inbox: messages not in the order sent"

echo "== store"
check "put text" 0 "stored team/tag/greeting" put team tag greeting '"hi|there"'
check "get text" 0 "=hi|there" get team tag greeting
check "put object --json" 0 '={"stored":true}' put team tag doc '{"a":[1,2],"b":null}' --json
check "get object" 0 '={"a":[1,2],"b":null}' get team tag doc
check "get --json" 0 '={"doc":"{\"a\":[1,2],\"b\":null}"}' --json get team tag doc
check "get missing" 0 "=" get team tag missing
grep -q "nothing stored" "$err" || fail "get missing: no note on stderr"
check "put replaces" 0 "" put team tag greeting 7
check "get replaced" 0 "=7" get team tag greeting

echo "== presence"
check "users, first" 0 "alice" users team app alice
check "users, second --json" 0 '"alice":"ON"' users team app bob --json
grep -qF '"bob":"ON"' "$out" || fail "users --json: bob missing"
check "users --online" 0 "bob" users team app bob --online
check "users --status" 0 '"carol":"AWAY"' --status AWAY users team app carol --json
check "other team is apart" 0 "" users other app zed --json
grep -qF alice "$out" && fail "users: alice listed in another team"

echo "== watch"
check "message waiting before watch" 0 "" send alice dave early
"$cli" watch dave --count 3 --for 20 --interval 0.2 >"$work/watch.out" 2>"$work/watch.err" &
pid=$!
background+=("$pid")
wait_for "$work/watch.out" early || fail "watch: the waiting message did not show"
check "send during watch 1" 0 "" send bob dave 'two|2'
check "send during watch 2" 0 "" send carol dave three
finish "$pid" "watch --count 3"
for text in early 'two|2' three; do
  grep -qF -- "$text" "$work/watch.out" || fail "watch: '$text' not printed"
done
check "watch left nothing behind" 0 '={}' inbox dave --json

"$cli" watch erin --json >"$work/watch2.out" 2>"$work/watch2.err" &
pid=$!
background+=("$pid")
check "send to watcher" 0 "" send alice erin ping
wait_for "$work/watch2.out" '"text":"ping"' || fail "watch --json: no line for the message"
kill -INT "$pid"
finish "$pid" "watch stopped by SIGINT"

"$cli" --origin "$ORIGIN" watch frank --count 2 --for 1 --interval 0.2 >"$work/watch3.out" 2>"$work/watch3.err"
rc=$?
((rc == 1)) || fail "watch --count not reached within --for: exit code $rc, wanted 1"

echo "== presence command"
"$cli" presence team app gina --interval 0.2 --heartbeat 0.5 >"$work/presence.out" 2>"$work/presence.err" &
pid=$!
background+=("$pid")
wait_for "$work/presence.out" gina || fail "presence: gina not listed"
check "presence seen by others" 0 gina users team app hank --online
wait_for "$work/presence.out" hank || fail "presence: the list did not refresh with hank"
kill -TERM "$pid"
finish "$pid" "presence stopped by SIGTERM"
check "presence --for" 0 '"ivan":"ON"' presence team app ivan --for 0.5 --interval 0.2 --json

echo "== trust"
VELMORA_CA_FILE='' check "untrusted certificate" 1 "" send alice bob hi
grep -q "no readable reply" "$err" || fail "untrusted certificate: no explanation"
check "plain HTTP to an HTTPS service" 1 "" --origin "${ORIGIN/https:/http:}" inbox bob

echo "== restart"
check "queue before restart" 0 "" send alice judy 'kept'
check "store before restart" 0 "" put team tag persisted '{"n":1}'
stop_service || fail "the service did not stop cleanly on SIGTERM"
start_service "$service" "$work/data" || exit 1
export VELMORA_ORIGIN=$ORIGIN
check "message kept across restart" 0 "kept" inbox judy
check "value kept across restart" 0 '={"n":1}' get team tag persisted
check "presence kept across restart" 0 "alice" users team app judy

echo "== service gone"
gone=$ORIGIN
stop_service || fail "the service did not stop cleanly on SIGTERM"
check "send, service gone" 1 "" --origin "$gone" send alice bob hi
check "inbox, service gone" 1 "" --origin "$gone" inbox bob
check "put, service gone" 1 "" --origin "$gone" put team tag k 1
check "get, service gone" 1 "" --origin "$gone" get team tag k
check "users, service gone" 1 "" --origin "$gone" users team app alice
check "watch, service gone" 1 "" --origin "$gone" watch bob --for 0.5 --interval 0.2
check "presence, service gone" 1 "" --origin "$gone" presence team app alice --for 0.5 --interval 0.2

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
