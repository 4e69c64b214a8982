#!/usr/bin/env bash
# Installs what Glasswing needs from Debian's packages (only what is missing), then configures
# and builds it with Ninja into build/. Safe to run again: it redoes only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-websockets-dev qt6-svg-dev qt6-qpa-plugins libgl-dev
  libavahi-client-dev libssl-dev openssl
  # tests: the fuzzer, and a private DNS-SD world inside a network namespace
  clang libclang-rt-14-dev avahi-daemon avahi-utils dbus-daemon iproute2 util-linux
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # Package scripts must not start the system's Avahi or D-Bus daemons: those would announce
  # this machine on the real network. Tests start private ones inside their own namespace.
  guard=/usr/sbin/policy-rc.d
  placed_guard=0
  if [ ! -e "$guard" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$guard" >/dev/null
    "${sudo[@]}" chmod +x "$guard"
    placed_guard=1
  fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
  [ "$placed_guard" -eq 0 ] || "${sudo[@]}" rm -f "$guard"
fi

build_type=${GLASSWING_BUILD_TYPE:-RelWithDebInfo}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
# Build progress goes to standard error: standard output belongs to the program that follows.
cmake --build build >&2
