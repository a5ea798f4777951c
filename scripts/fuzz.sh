#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang (address and undefined-behaviour
# sanitizers) in build-fuzz/ and runs each for a bounded time, starting from the seed
# corpus in the repository.
#   scripts/fuzz.sh            30 s per harness
#   scripts/fuzz.sh 600        10 minutes per harness
#   VELMORA_FUZZ_JOBS=2 scripts/fuzz.sh 600   two processes per harness
# New inputs go to build-fuzz/corpus/<harness>/ (the seeds are never written to); a
# finding stops the run with the harness's crash file in build-fuzz/ and a non-zero exit.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
jobs=${VELMORA_FUZZ_JOBS:-1}
VELMORA_EXTRA_PACKAGES="clang libclang-rt-14-dev" scripts/bootstrap.sh

out=build-fuzz
mkdir -p "$out"
cxx=${CXX_FUZZ:-clang++}
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Wall -Wextra -Wpedantic -Werror
       -Isrc/wire/include -Iinclude -Itools/velmora-service $(pkg-config --cflags libpq))

build() {
  local name=$1; shift
  # Rebuilt only when a source is newer than the binary.
  local bin=$out/$name
  local newer=0
  for f in "$@" src/wire/include/wire/*.hpp include/velmora/*.hpp tools/velmora-service/*.hpp; do
    [[ ! -e $bin || $f -nt $bin ]] && newer=1
  done
  if ((newer)); then
    echo "fuzz: building $name" >&2
    "$cxx" "${flags[@]}" -o "$bin" "$@" $(pkg-config --libs libutf8proc 2>/dev/null || echo -lutf8proc) -lsqlite3 $(pkg-config --libs libpq)
  fi
}

wire=(src/wire/reply.cpp src/wire/records.cpp src/wire/utf8.cpp)
build fuzz_reply tests/fuzz/fuzz_reply.cpp "${wire[@]}"
build fuzz_service_request tests/fuzz/fuzz_service_request.cpp \
  tools/velmora-service/handler.cpp tools/velmora-service/storage.cpp \
  tools/velmora-service/sqlite_storage.cpp tools/velmora-service/postgres_storage.cpp \
  tools/velmora-service/postgres_connection.cpp \
  "${wire[@]}"

status=0
for name in fuzz_reply fuzz_service_request; do
  seeds=tests/fuzz/corpus/${name#fuzz_}
  work=$out/corpus/${name#fuzz_}
  mkdir -p "$work"
  log=$out/$name.log
  echo "fuzz: $name for ${seconds} s" >&2
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096
        -print_final_stats=1 -artifact_prefix="$out/$name-")
  if ((jobs > 1)); then
    args+=(-fork="$jobs")
  fi
  if "$out/$name" "${args[@]}" "$work" "$seeds" >"$log" 2>&1; then
    runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{s+=$2} END {print s+0}')
    echo "fuzz: $name: $runs inputs, no finding" >&2
  else
    echo "fuzz: $name found a fault; the end of its log:" >&2
    tail -n 60 "$log" >&2
    status=1
  fi
done
exit $status
