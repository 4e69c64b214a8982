#!/usr/bin/env bash
# DNS-SD for real, sealed off from the machine's network: inside a network and mount namespace of
# its own, this test starts a private D-Bus system bus and Avahi daemon on a veth pair whose both
# ends stay inside (an address from the documentation range, nothing routed out), advertises with the real peer link,
# started before any daemon, and checks that once the daemon is up avahi-browse sees the service with its name,
# address and port.
#
# Usage: dnssd_namespace_test.sh ADVERTISE_HELPER
# Exits 77 (skipped) where namespaces cannot be made (not root, no unshare, no daemons).
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  skip() { echo "SKIPPED: $*"; exit 77; }
  [ "$(id -u)" -eq 0 ] || skip "needs root to make a network namespace"
  for tool in unshare ip dbus-daemon avahi-daemon avahi-browse; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  unshare --net --mount true 2>/dev/null || skip "this machine does not allow network namespaces"
  exec unshare --net --mount --fork bash "$0" --inside "$@"
fi
helper=$2

# --- inside the namespaces from here on ---
mount --make-rprivate /
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
fail() { cat "$@" 2>/dev/null; echo "FAIL: ${*: -1}"; exit 1; }

ip link set lo up
# Both ends of the pair stay inside this namespace.
ip link add glass0 type veth peer name glass1
# IPv4 only: a link-local IPv6 address would race the one the service is checked against.
for end in glass0 glass1; do
  if [ -w "/proc/sys/net/ipv6/conf/$end/disable_ipv6" ]; then echo 1 >"/proc/sys/net/ipv6/conf/$end/disable_ipv6"; fi
done
ip addr add 192.0.2.1/24 dev glass0
ip link set glass1 up && ip link set glass0 multicast on up

# Private run folders: the daemons' sockets and pid files never meet the host's.
for dir in /run/dbus /run/avahi-daemon; do mkdir -p "$dir" && mount -t tmpfs tmpfs "$dir"; done

# The advertiser starts first, with no D-Bus and no Avahi: it must keep listening quietly and
# announce itself once they appear.
name="Glasswing Namespace Mac"
"$helper" "$name" 200 >"$work/helper.log" 2>"$work/helper.err" &
pids+=("$!")
for _ in $(seq 50); do grep -q '^listening ' "$work/helper.log" && break; sleep 0.1; done
port=$(sed -n 's/^listening //p' "$work/helper.log")
[ -n "$port" ] || fail "$work/helper.err" "the advertiser did not start"


dbus-daemon --system --fork --print-pid >"$work/dbus.pid"
pids+=("$(cat "$work/dbus.pid")")

cat >"$work/avahi-daemon.conf" <<CONF
[server]
allow-interfaces=glass0
use-ipv4=yes
use-ipv6=no
enable-dbus=yes
[publish]
publish-hinfo=no
publish-workstation=no
CONF
avahi-daemon --file="$work/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits >>"$work/avahi.log" 2>&1 &
pids+=("$!")
for _ in $(seq 50); do avahi-daemon --check 2>/dev/null && break; sleep 0.1; done
avahi-daemon --check || fail "$work/avahi.log" "avahi-daemon did not start"

# avahi-browse -p escapes spaces in names as \032.
escaped=${name// /\\032}
found=""
for _ in $(seq 30); do
  found=$(timeout 10 avahi-browse --resolve --parsable --terminate _Glasswing._tcp 2>/dev/null | grep '^=' || true)
  [ -n "$found" ] && break
  sleep 0.5
done
echo "avahi-browse: $found"
[[ "$found" == "=;glass0;IPv4;$escaped;_Glasswing._tcp;local;"*";192.0.2.1;$port;"* ]] \
  || fail "$work/avahi.log" "$work/helper.err" "the service is not announced as expected"

echo "PASS: DNS-SD advertising inside the namespace"
