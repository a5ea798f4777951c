#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# A no-op when they are all present; needs root (or sudo) otherwise.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev nlohmann-json3-dev libutf8proc-dev libcpp-httplib-dev
  libssl-dev libsqlite3-dev libcli11-dev libboost1.81-dev libgtest-dev libgmock-dev libbenchmark-dev
  libuv1-dev libglib2.0-dev qt6-base-dev libpq-dev postgresql
  openssl curl ca-certificates python3 util-linux nginx
)
# Extra packages a caller asks for (e.g. clang for the fuzzers): VELMORA_EXTRA_PACKAGES="clang".
if [[ -n "${VELMORA_EXTRA_PACKAGES:-}" ]]; then
  read -r -a extra <<<"$VELMORA_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}" >&2
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null; then sudo=(sudo); else
    echo "bootstrap: need root to install: ${missing[*]}" >&2; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
