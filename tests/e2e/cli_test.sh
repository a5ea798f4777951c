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
# line holding it. Standard input is the file $input (default: empty).
check() {
  local name=$1 want=$2 expect=$3 rc=0
  shift 3
  "$cli" "$@" >"$out" 2>"$err" <"${input:-/dev/null}" || rc=$?
  if ((rc != want)); then
    fail "$name: exit code $rc, wanted $want"
  elif [[ $expect == =* ]]; then
    [[ $(cat "$out") == "${expect#=}" ]] || fail "$name: stdout is not '${expect#=}'"
  elif [[ -n $expect ]]; then
    grep -qF -- "$expect" "$out" || fail "$name: no '$expect' in stdout"
  fi
}

# says NAME TEXT: the last command's standard error holds TEXT.
says() {
  grep -qF -- "$2" "$err" || fail "$1: no '$2' on stderr"
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
check "help command" 0 "get TEAM TAG KEY" help
check "help COMMAND" 0 "Examples:" help put
check "version" 0 "velmora 1.0" --version
check "no command" 2 ""
says "no command" "inbox USER"
# Each complaint in the command's own words, naming what is wrong, never CLI11's ranges.
while IFS='|' read -r name words args; do
  # shellcheck disable=SC2086
  check "$name" 2 "" $args
  says "$name" "velmora: $words"
  grep -q '[0-9]\{20\}' "$err" && fail "$name: a huge number on stderr"
done <<'EOF'
unknown command|unknown command 'bogus'|bogus
missing argument|send: missing TEXT (usage: velmora send FROM TO TEXT)|send alice bob
extra argument|inbox: unexpected argument 'bob'|inbox alice bob
unknown option|inbox: unknown option '--bogus'|inbox bob --bogus
option without its value|inbox: --timeout needs a value|inbox bob --timeout
value not JSON|put: VALUE is not valid JSON|put team tag key {bad
bare word is not JSON|put: VALUE is not valid JSON|put team tag key hello
timeout not positive|inbox: --timeout wants seconds from 0.001|-t 0 inbox bob
interval not a number|watch: --interval wants seconds from 0.001 to 86400 (one day), not 'soon'|watch bob --interval soon
count not positive|watch: --count wants a whole number of at least 1, not '0'|watch bob -n 0
refresh rate negative|users: --refresh-rate wants a whole number of seconds, at least 1, not '-1'|users t a u --refresh-rate -1
origin not http(s)|--origin must start with https://|--origin ftp://example.org inbox bob
CA file missing|cannot read the CA file|--ca-file /nonexistent/ca.pem inbox bob
value file missing|put: cannot read VALUE from file '/nonexistent/v.json': No such file|put t g k @/nonexistent/v.json
client certificate missing|cannot read the client certificate|--cert /nonexistent/c.pem inbox bob
client key without certificate|--key needs --cert|--key /nonexistent/k.pem inbox bob
EOF
check "text not UTF-8" 2 "" send alice bob $'\xff'
head -c 1048577 /dev/zero | tr '\0' x >"$work/large.txt"
input=$work/large.txt check "text over 1 MiB on stdin" 2 "" send alice bob -
says "text over 1 MiB on stdin" "larger than 1 MiB"

echo "== start velmora-service"
start_service "$service" "$work/data" || exit 1
# The service's hint is the line a first user pastes: it must be exactly right.
hint=$(grep -m1 'export VELMORA_ORIGIN=' "$work/data/service.err")
[[ $hint == "  export VELMORA_ORIGIN=$ORIGIN VELMORA_CA_FILE=$work/data/cert.pem" ]] \
  || fail "service hint: '$hint'"
export VELMORA_ORIGIN=$ORIGIN VELMORA_CA_FILE=$work/data/cert.pem
[[ $ORIGIN == https://* ]] || fail "the service did not start on HTTPS: $ORIGIN"
rc=0
"$service" --listen "${ORIGIN#https://}" --data "$work/data2" >/dev/null 2>"$err" || rc=$?
((rc == 1)) || fail "second service on a taken port: exit code $rc, wanted 1"
says "second service on a taken port" "Address already in use"

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
check "inbox --json" 0 '"text":"hello | there"' inbox bob -j
[[ $(sed -n 2p "$out") =~ ^\{\"sender\":\"carol\",\"id\":[0-9]+,\"text\":\"second\"\}$ ]] \
  || fail "inbox --json: second message not {sender, id, text}"
check "inbox emptied" 0 '=' inbox bob --json
check "text with ~" 0 "" send alice bob 'a~b'
says "text with ~" "'~'"
check "~ arrives as |" 0 ': a|b' inbox bob
printf 'from\na file' >"$work/text.txt"
check "send @file" 0 "" send alice bob "@$work/text.txt"
input=/dev/stdin check "send from stdin" 0 "" send carol bob - <<<'piped'
check "texts from a file and stdin" 0 '"text":"from\na file"' -j inbox bob
grep -qF '{"sender":"carol","id":' "$out" || fail "send from stdin: no message"
grep -qF '"text":"piped\n"' "$out" || fail "send from stdin: text not as piped"
# A value longer than one shell argument may be reaches the service whole.
{ printf '"'; head -c 200000 /dev/zero | tr '\0' y; printf '"'; } >"$work/long.json"
check "put a long value from a file" 0 "" put team tag long "@$work/long.json"
check "get it back" 0 "" get team tag long
(($(wc -c <"$out") == 200001)) || fail "long value: $(wc -c <"$out") bytes back, wanted 200001"
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

# Three texts of 30 000 bytes: velmora-service's 64 KiB reply carries two and keeps the
# third, and inbox says that more may be waiting.
for i in 1 2 3; do
  head -c 30000 /dev/zero | tr '\0' "$i" >"$work/big$i.txt"
  check "send big $i" 0 "" send alice lou "@$work/big$i.txt"
done
check "a reply cut short" 0 "" inbox lou
(($(wc -l <"$out") == 2)) || fail "a reply cut short: $(wc -l <"$out") messages, wanted 2"
says "a reply cut short" "more messages may be waiting"
check "the rest" 0 "333" inbox lou
grep -q "more messages may be waiting" "$err" && fail "the rest: said more may be waiting"

echo "== store"
check "put text" 0 "stored team/tag/greeting" put team tag greeting '"hi|there"'
check "get text" 0 "=hi|there" get team tag greeting
check "put object --json" 0 '={"stored":true}' put team tag doc '{"a":[1,2],"b":null}' --json
check "get object" 0 '={"a":[1,2],"b":null}' get team tag doc
check "get --json object" 0 '={"a":[1,2],"b":null}' --json get team tag doc
check "get --json text" 0 '="hi|there"' -j get team tag greeting
check "get missing" 3 "=" get team tag missing
says "get missing" "nothing stored under team/tag/missing"
check "get --json missing" 3 "=" get team tag missing -j
check "put replaces" 0 "" put team tag greeting 7
check "get replaced" 0 "=7" get team tag greeting
check "get --json number" 0 "=7" get team tag greeting --json
input=/dev/stdin check "put from stdin" 0 "" put team tag piped - <<<'{"n": [1, 2]}'
check "get value from stdin" 0 '={"n":[1,2]}' get team tag piped

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
check "watch left nothing behind" 0 '=' inbox dave --json

"$cli" watch erin --json >"$work/watch2.out" 2>"$work/watch2.err" &
pid=$!
background+=("$pid")
check "send to watcher" 0 "" send alice erin ping
wait_for "$work/watch2.out" '"text":"ping"' || fail "watch --json: no line for the message"
grep -q '^{"sender":"alice","id":[0-9]*,"text":"ping"}$' "$work/watch2.out" || fail "watch --json: not the shape of inbox"
kill -INT "$pid"
finish "$pid" "watch stopped by SIGINT"
grep -qF "Ctrl-C again quits now" "$work/watch2.err" || fail "watch: no word on what the first Ctrl-C waits for"

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
grep -qF "Ctrl-C again quits now" "$work/presence.err" || fail "presence: no word on what a stop waits for"
check "presence --for" 0 '"ivan":"ON"' presence team app ivan --for 0.5 --interval 0.2 --json

echo "== failures, each named with what to do"
# The first line names the class and what to do, the second the library's reason.
VELMORA_CA_FILE='' check "untrusted certificate" 1 "=" send alice bob hi
says "untrusted certificate" "velmora: certificate not trusted at ${ORIGIN#https://}: pass the service's cert.pem with --ca-file"
says "untrusted certificate" "self-signed certificate"
check "plain HTTP to an HTTPS service" 1 "=" --origin "${ORIGIN/https:/http:}" inbox bob
says "plain HTTP to an HTTPS service" "does it serve HTTPS? then use https://"
check "a path where no service is" 1 "=" --origin "$ORIGIN/elsewhere" get team tag k
says "a path where no service is" "HTTP 404"
VELMORA_CA_FILE='' check "watch, untrusted certificate" 1 "" watch bob --for 0.5 -i 0.2
says "watch, untrusted certificate" "certificate not trusted at ${ORIGIN#https://}"
https_proxy=http://127.0.0.1:1 no_proxy='' NO_PROXY='' check "a proxy that is not there" 1 "=" inbox bob
says "a proxy that is not there" "through the proxy https_proxy=http://127.0.0.1:1"
"$service" --listen 127.0.0.1:0 --http --db :memory: >"$work/plain.out" 2>/dev/null &
plain=$!
background+=("$plain")
wait_for "$work/plain.out" listening || fail "no plain HTTP service"
plain_origin=$(sed -n 's/^listening http:/https:/p' "$work/plain.out")
check "HTTPS to a plain HTTP service" 1 "=" --origin "$plain_origin" inbox bob
says "HTTPS to a plain HTTP service" "no TLS at ${plain_origin#https://}: is the service serving plain HTTP there?"
kill -TERM "$plain"
echo 'not a certificate' >"$work/junk.pem"
check "CA file not PEM" 1 "=" --ca-file "$work/junk.pem" inbox bob
says "CA file not PEM" "cannot be used: it must hold PEM certificates"

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
check "send, service gone" 1 "=" --origin "$gone" send alice bob hi
says "send, service gone" "velmora: connection refused at ${gone#https://}: is velmora-service running there?"
check "inbox, service gone" 1 "" --origin "$gone" inbox bob
check "put, service gone" 1 "" --origin "$gone" put team tag k 1
check "get, service gone" 1 "" --origin "$gone" get team tag k
check "users, service gone" 1 "" --origin "$gone" users team app alice
check "watch, service gone" 1 "" --origin "$gone" watch bob --for 0.5 --interval 0.2
says "watch, service gone" "connection refused at ${gone#https://}"
check "presence, service gone" 1 "" --origin "$gone" presence team app alice --for 0.5 --interval 0.2
says "presence, service gone" "connection refused at ${gone#https://}"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
