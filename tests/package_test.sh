#!/usr/bin/env bash
# The Debian package, made by scripts/package.sh (a Release build) and checked as a user gets it:
#  - lintian reports no error (E:) on it;
#  - it holds the binary, the plug-in bundle, the desktop entry, the icons, the AppStream metadata
#    and the Debian documents, and not the reference phone; its binary is stripped;
#  - its Depends names the Qt, Avahi and OpenSSL libraries and the Qt plug-in packages;
#  - unpacked with dpkg-deb -x, its binary starts (says it is advertising), finds the plug-in bundle
#    at ../share/glasswing beside it, and ends with status 0 on SIGTERM;
#  - as root, where overlay mounts are allowed: apt-get installs it into a throwaway overlay of the
#    root file system, in a mount namespace of its own (the machine's own files are never written),
#    and the installed app starts and stops the same way.
#
# Usage: package_test.sh <source dir> <release build dir>
# The release build dir is kept between runs, so that only the first run builds everything.
# Builds for minutes the first time, so it runs only with GLASSWING_PACKAGE_TEST=1; otherwise, and
# when a tool it needs is missing, it exits 77 (skipped) and says why.
set -euo pipefail

skip() { echo "package_test: skipped, $*"; exit 77; }
status=0
fail() { echo "FAIL: $*"; status=1; }

# Runs the binary $1 (after any command prefix in the rest) with HOME at $HOME_FOR_APP and its
# standard error in $LOG; checks that it says it is advertising, complains about none of its files
# and ends with status 0 on SIGTERM.
run_app() {
  env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME="$HOME_FOR_APP" QT_QPA_PLATFORM=offscreen \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/glasswing-package-test "$@" 2>"$LOG" &
  local pid=$! waited=0 code=0
  until grep -qs advertising "$LOG"; do
    if ! kill -0 "$pid" 2>/dev/null || [ "$waited" -ge 300 ]; then
      kill -KILL "$pid" 2>/dev/null || true
      sed 's/^/    | /' "$LOG"
      fail "$* did not say it is advertising within 30 s" && return
    fi
    sleep 0.1 && waited=$((waited + 1))
  done
  kill -TERM "$pid"
  wait "$pid" || code=$?
  sed 's/^/    | /' "$LOG"
  [ "$code" -eq 0 ] || fail "$* ended with status $code on SIGTERM"
  ! grep -qE 'Plugin Bundle Error|Could not (load|find)|[Cc]annot (load|open)' "$LOG" || fail "$* complained about its files"
}

# --- inside a private mount namespace: apt-get install into an overlay of / -----------------------
if [ "${1:-}" = --overlay-install ]; then
  deb=$2 ov=$3
  mount --make-rprivate /
  # Upper and work directories on a tmpfs of this namespace: every write lands there and goes with it.
  mount -t tmpfs glasswing-overlay "$ov"
  mkdir -p "$ov/upper" "$ov/work" "$ov/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$ov/upper,workdir=$ov/work" "$ov/root"
  root=$ov/root
  mountpoint -q "$root" || { echo "FAIL: the overlay is not mounted"; exit 1; }
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/tmp"
  mount -t tmpfs tmpfs "$root/run"
  cp "$deb" "$root/tmp/"
  # No daemon may start from a package script inside; nothing needs the network (all that the
  # package depends on is installed where it was built; recommendations are left out).
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d" && chmod +x "$root/usr/sbin/policy-rc.d"
  chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "/tmp/$(basename "$deb")" >"$ov/apt.log" 2>&1 ||
    { sed 's/^/    | /' "$ov/apt.log"; echo "FAIL: apt-get install of the package failed"; exit 1; }
  chroot "$root" dpkg-query -W -f='ok: installed ${Package} ${Version} (${Status})\n' glasswing
  for file in /usr/bin/glasswing /usr/share/glasswing/Glasswing.sketchplugin \
              /usr/share/applications/com.tessaro.Glasswing.desktop; do
    [ -e "$root$file" ] || fail "$file is not installed"
  done
  mkdir -p "$root/tmp/home"
  HOME_FOR_APP=/tmp/home LOG=$root/tmp/home/stderr.log run_app chroot "$root" /usr/bin/glasswing
  exit "$status"
fi

# --- outside -------------------------------------------------------------------------------------
source_dir=$(cd "$1" && pwd)
release_dir=$2
[ "${GLASSWING_PACKAGE_TEST:-}" = 1 ] ||
  skip "it makes a Release build and a .deb (minutes the first time); run it with GLASSWING_PACKAGE_TEST=1"
for tool in lintian:lintian dpkg-shlibdeps:dpkg-dev file:file; do
  command -v "${tool%:*}" >/dev/null || skip "${tool%:*} is missing (install ${tool#*:})"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

deb=$(GLASSWING_RELEASE_DIR="$release_dir" "$source_dir/scripts/package.sh" 2>"$work/package.log") ||
  { tail -n 40 "$work/package.log"; echo "FAIL: scripts/package.sh failed"; exit 1; }
echo "package: $deb"
lintian --info "$deb" >"$work/lintian.log" 2>&1 || true
sed 's/^/    lintian | /' "$work/lintian.log"
! grep -q '^E: ' "$work/lintian.log" || fail "lintian reports errors"

dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/contents"
for path in ./usr/bin/glasswing ./usr/bin/glasswing-preview \
            ./usr/share/glasswing/Glasswing.sketchplugin/ \
            ./usr/share/glasswing/Glasswing.sketchplugin/Contents/Sketch/manifest.json \
            ./usr/share/applications/com.tessaro.Glasswing.desktop \
            ./usr/share/metainfo/com.tessaro.Glasswing.metainfo.xml \
            ./usr/share/icons/hicolor/scalable/apps/com.tessaro.Glasswing.svg \
            ./usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/com.tessaro.Glasswing.png \
            ./usr/share/doc/glasswing/copyright ./usr/share/doc/glasswing/changelog.gz \
            ./usr/share/man/man1/glasswing.1.gz ./usr/share/man/man1/glasswing-preview.1.gz; do
  grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
! grep -q 'glasswing-phone' "$work/contents" || fail "the package holds the reference phone, a test tool"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for dependency in qt6-qpa-plugins libqt6svg6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 \
                  libqt6websockets6 libavahi-client3 libssl3; do
  grep -qE "(^|, )$dependency( |,|$)" <<<"$depends" || fail "Depends lacks $dependency"
done

# The unpacked tree, as installed: the binary finds its resources beside it.
dpkg-deb -x "$deb" "$work/root"
! file "$work/root/usr/bin/glasswing" | grep -q 'not stripped' || fail "the binary is not stripped"
mkdir "$work/home"
HOME_FOR_APP=$work/home LOG=$work/home/stderr.log run_app "$work/root/usr/bin/glasswing"

# A real apt-get install, into an overlay that goes with its mount namespace.
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || ! grep -qw overlay /proc/filesystems; then
  echo "note: apt-get install not tried (needs root, unshare and the overlay file system)"
else
  mkdir "$work/overlay"
  unshare --mount --fork bash "$0" --overlay-install "$(realpath "$deb")" "$work/overlay" || fail "the overlay installation failed"
fi
[ "$status" -eq 0 ] && echo "package_test: passed"
exit "$status"
