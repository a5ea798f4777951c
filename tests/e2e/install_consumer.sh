#!/usr/bin/env bash
# Installs the build into a fresh prefix, then builds and runs a small project against it
# twice: through the CMake package and through pkg-config. When the reference service was
# installed too, the consumer makes a round trip through it over HTTPS.
#
# install_consumer.sh BUILD_DIR CONSUMER_SOURCE WORK_DIR CMAKE CXX CONFIG SANITIZERS "TOOLS..."
set -euo pipefail

build_dir=$1 consumer_source=$2 work=$3 cmake=$4 cxx=$5 config=$6 sanitize=${7:-} tools=${8:-}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=service.sh
source "$here/service.sh"
trap 'stop_service || true' EXIT

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

step() { printf '== %s\n' "$*"; }

step "install into $prefix"
config_args=()
[[ -n $config ]] && config_args=(--config "$config")
"$cmake" --install "$build_dir" --prefix "$prefix" "${config_args[@]}" >"$work/install.log"

expected=(include/velmora/velmora.hpp include/velmora/run_loop.hpp)
for adapter in asio libuv qt glib; do expected+=("include/velmora/adapters/$adapter.hpp"); done
for tool in $tools; do expected+=("bin/$tool"); done
for f in "${expected[@]}"; do
  [[ -e $prefix/$f ]] || { echo "missing after install: $f" >&2; exit 1; }
done
find "$prefix" -name 'libvelmora.*' | grep -q . || { echo "missing after install: the library" >&2; exit 1; }
for tool in $tools; do "$prefix/bin/$tool" --help >/dev/null; done

flags=()
if [[ -n $sanitize ]]; then
  # A library built with sanitizers needs their runtime in every program that links it.
  flags=("-DCMAKE_CXX_FLAGS=-fsanitize=$sanitize" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=$sanitize")
fi

step "configure and build the consumer with find_package(velmora)"
"$cmake" -S "$consumer_source" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" "${flags[@]}" >"$work/consumer-configure.log"
"$cmake" --build "$work/consumer" >"$work/consumer-build.log"

step "build the consumer with pkg-config"
pc_dir=$(dirname "$(find "$prefix" -name velmora.pc -print -quit)")
read -r -a pc_flags <<<"$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs velmora)"
extra=()
[[ -n $sanitize ]] && extra=("-fsanitize=$sanitize")
# pkg-config gives no run path; a shared library must be found at run time all the same.
libdir=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=libdir velmora)
"$cxx" -std=c++20 "${extra[@]}" "$consumer_source/main.cpp" -o "$work/consumer-pc" "${pc_flags[@]}" \
  "-Wl,-rpath,$libdir"

args=()
if [[ -x $prefix/bin/velmora-service ]]; then
  step "start the installed velmora-service"
  start_service "$prefix/bin/velmora-service" "$work/service" --db :memory:
  args=("$ORIGIN" "$work/service/cert.pem")
else
  step "velmora-service was not installed: no round trip"
fi

step "run both consumers"
"$work/consumer/consumer" "${args[@]}"
"$work/consumer-pc" "${args[@]}"
stop_service
step "ok"
