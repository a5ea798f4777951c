#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   scripts/test.sh                      the normal build, in build/
#   VELMORA_BUILD_DIR=build-tsan VELMORA_CMAKE_ARGS="-DVELMORA_SANITIZE=thread" scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
build=${VELMORA_BUILD_DIR:-build}
# Line tables (-g1) are all a failing test's backtrace needs; full debug information makes
# the optimised build take about a third longer.
# shellcheck disable=SC2086
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=${VELMORA_BUILD_TYPE:-RelWithDebInfo} \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" ${VELMORA_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ${VELMORA_CTEST_ARGS:-}
