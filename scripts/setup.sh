#!/usr/bin/env bash
# Installs what Glasswing needs from Debian's packages (only what is missing), then configures
# and builds it with Ninja into build/. Safe to run again: it redoes only what changed.
#
# For tests only: GLASSWING_POLICY_RC_D names the policy-rc.d guard file to use in place of
# /usr/sbin/policy-rc.d, so that a test can run this script against stub package tools without
# touching the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-websockets-dev qt6-svg-dev qt6-qpa-plugins libgl-dev
  libavahi-client-dev libssl-dev openssl libqrencode-dev zlib1g-dev
  # tests: the fuzzer, and a private DNS-SD world inside a network namespace
  clang libclang-rt-14-dev avahi-daemon avahi-utils dbus-daemon iproute2 util-linux
  # tests: an independent decoder of the frames sent to phones (plistlib), and of the QR code
  python3 zbar-tools
  # tests: the Sketch plug-in's scripts, under Node's own test runner
  nodejs
  # tests and scripts/package.sh: the desktop entry's and AppStream validators, the Debian package's
  # dependencies (dpkg-shlibdeps, which needs file) and its checker
  desktop-file-utils appstream dpkg-dev file lintian
  # tests: the real app on a private X server that goes away
  xvfb
  # tests: the web viewer in a real browser, driven by puppeteer-core; a font with common metrics
  chromium fonts-liberation2
)
# Debian's nodejs comes without npm; NodeSource's has it.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  # sudo drops the caller's environment, so variables for apt-get go on its command line; as root,
  # env takes the same form.
  as_root=(env)
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  # Package scripts must not start the system's Avahi or D-Bus daemons: those would announce
  # this machine on the real network. Tests start private ones inside their own namespace.
  # The guard goes away however this ends (apt-get failing, Ctrl-C, SIGTERM), but only if this
  # run placed it: left behind, it would stop every service from starting on this machine.
  guard=${GLASSWING_POLICY_RC_D:-/usr/sbin/policy-rc.d}
  placed_guard=0
  remove_guard() {
    [ "$placed_guard" -eq 0 ] || "${as_root[@]}" rm -f "$guard"
    placed_guard=0
  }
  # After cleaning up, a signal still ends the script as that signal, so callers see it.
  on_signal() {
    remove_guard
    trap - "$1" EXIT
    kill -s "$1" $$
  }
  trap remove_guard EXIT
  for signal in INT TERM HUP; do
    # shellcheck disable=SC2064 # the signal's name is fixed here, on purpose
    trap "on_signal $signal" "$signal"
  done
  if [ ! -e "$guard" ]; then
    placed_guard=1
    printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$guard" >/dev/null
    "${as_root[@]}" chmod +x "$guard"
  fi
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  remove_guard
  trap - EXIT INT TERM HUP
fi

# The viewer's browser tests: puppeteer-core pinned in viewer/package-lock.json, never a browser
# download (Debian's chromium is the browser).
if [ ! -e viewer/node_modules/.package-lock.json ] || [ viewer/package-lock.json -nt viewer/node_modules/.package-lock.json ]; then
  PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix viewer --no-audit --no-fund >&2
fi

build_type=${GLASSWING_BUILD_TYPE:-RelWithDebInfo}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
# Build progress goes to standard error: standard output belongs to the program that follows.
cmake --build build >&2
