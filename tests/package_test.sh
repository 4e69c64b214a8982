#!/usr/bin/env bash
# The Debian package, made by scripts/package.sh (a Release build) and checked as a user gets it:
#  - lintian reports no error (E:) on it;
#  - it holds the binary, the plug-in bundle, the desktop entry, the icons, the AppStream metadata
#    and the Debian documents, and not the reference phone;
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

if [ "${1:-}" = --overlay-install ]; then
  inside=1
else
  inside=0
  source_dir=$(cd "$1" && pwd)
  release_dir=$2
fi

# Starts the binary $2 with the command prefix in the array named by $1 (empty, or a chroot), HOME
# at $3 as the binary sees it and its standard error in the file $4, and checks that it says it is
# advertising, complains about none of its files and ends with status 0 on SIGTERM.
run_app() {
  local -n prefix=$1
  local binary=$2 home=$3 log=$4
  env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME="$home" QT_QPA_PLATFORM=offscreen \
      DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/glasswing-package-test \
      "${prefix[@]}" "$binary" 2>"$log" &
  local pid=$! waited=0
  until grep -qs advertising "$log"; do
    if ! kill -0 "$pid" 2>/dev/null || [ "$waited" -ge 300 ]; then
      kill -KILL "$pid" 2>/dev/null || true
      sed 's/^/    | /' "$log"
      echo "FAIL: $binary did not say it is advertising within 30 s"
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  sed 's/^/    | /' "$log"
  if [ "$status" -ne 0 ]; then
    echo "FAIL: $binary ended with status $status on SIGTERM"
    return 1
  fi
  if grep -qE 'Plugin Bundle Error|Could not (load|find)|[Cc]annot (load|open)' "$log"; then
    echo "FAIL: $binary complained about its files"
    return 1
  fi
  echo "ok: $binary started, advertised and ended with 0 on SIGTERM"
}

# --- inside a private mount namespace: apt-get install into an overlay of / -----------------------
if [ "$inside" -eq 1 ]; then
  deb=$2 ov=$3
  mount --make-rprivate /
  # Upper and work directories on a tmpfs of this namespace: every write of the installation lands
  # there and goes with the namespace.
  mount -t tmpfs glasswing-overlay "$ov"
  mkdir -p "$ov/upper" "$ov/work" "$ov/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$ov/upper,workdir=$ov/work" "$ov/root"
  mountpoint -q "$ov/root" || { echo "FAIL: the overlay is not mounted"; exit 1; }
  root=$ov/root
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/tmp"
  mount -t tmpfs tmpfs "$root/run"
  cp "$deb" "$root/tmp/"
  # No daemon may start from a package script inside; nothing needs the network (all that the
  # package depends on is installed where it was built; recommendations are left out).
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  echo "apt-get install ./$(basename "$deb") in the overlay:"
  if ! chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
       "/tmp/$(basename "$deb")" >"$ov/apt.log" 2>&1; then
    sed 's/^/    | /' "$ov/apt.log"
    echo "FAIL: apt-get install of the package failed"
    exit 1
  fi
  grep -E '^(Setting up|Unpacking|Processing) ' "$ov/apt.log" | sed 's/^/    | /'
  chroot "$root" dpkg-query -W -f='ok: installed ${Package} ${Version} (${Status})\n' glasswing
  for file in /usr/bin/glasswing /usr/share/glasswing/Glasswing.sketchplugin \
              /usr/share/applications/com.tessaro.Glasswing.desktop; do
    [ -e "$root$file" ] || { echo "FAIL: $file is not installed"; exit 1; }
  done
  chroot_prefix=(chroot "$root")
  mkdir -p "$root/tmp/home"
  run_app chroot_prefix /usr/bin/glasswing /tmp/home "$root/tmp/home/stderr.log"
  exit 0
fi

# --- outside -------------------------------------------------------------------------------------
[ "${GLASSWING_PACKAGE_TEST:-}" = 1 ] ||
  skip "it makes a Release build and a .deb (minutes the first time); run it with GLASSWING_PACKAGE_TEST=1"
command -v lintian >/dev/null || skip "lintian is missing (install lintian)"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is missing (install dpkg-dev)"
command -v file >/dev/null || skip "file is missing (install file)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

started=$(date +%s)
deb=$(GLASSWING_RELEASE_DIR="$release_dir" "$source_dir/scripts/package.sh" 2>"$work/package.log") || {
  tail -n 40 "$work/package.log"
  echo "FAIL: scripts/package.sh failed"
  exit 1
}
echo "package: $deb, made in $(($(date +%s) - started)) s"
dpkg-deb -I "$deb" control | sed 's/^/    | /'

# lintian: errors fail, everything else is shown.
lintian --info "$deb" >"$work/lintian.log" 2>&1 || true
sed 's/^/    lintian | /' "$work/lintian.log"
if grep -q '^E: ' "$work/lintian.log"; then
  fail "lintian reports errors"
else
  echo "ok: lintian reports no error ($(grep -c '^W: ' "$work/lintian.log" || true) warnings)"
fi

# The files the package holds.
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/contents"
for path in ./usr/bin/glasswing \
            ./usr/share/glasswing/Glasswing.sketchplugin/ \
            ./usr/share/glasswing/Glasswing.sketchplugin/Contents/Sketch/manifest.json \
            ./usr/share/applications/com.tessaro.Glasswing.desktop \
            ./usr/share/metainfo/com.tessaro.Glasswing.metainfo.xml \
            ./usr/share/icons/hicolor/scalable/apps/com.tessaro.Glasswing.svg \
            ./usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/com.tessaro.Glasswing.png \
            ./usr/share/doc/glasswing/copyright ./usr/share/doc/glasswing/changelog.gz \
            ./usr/share/man/man1/glasswing.1.gz ./usr/share/man/man1/glasswing-preview.1.gz \
            ./usr/bin/glasswing-preview; do
  grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
if grep -q 'glasswing-phone' "$work/contents"; then
  fail "the package holds the reference phone, a test tool"
fi
echo "ok: the package holds $(grep -vc '/$' "$work/contents") files"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for dependency in qt6-qpa-plugins libqt6svg6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 \
                  libqt6websockets6 libavahi-client3 libssl3; do
  grep -qE "(^|, )$dependency( |,|$)" <<<"$depends" || fail "Depends lacks $dependency"
done

# The unpacked tree, as installed: the binary finds its resources beside it.
dpkg-deb -x "$deb" "$work/root"
bundle=$work/root/usr/bin/../share/glasswing/Glasswing.sketchplugin
[ -d "$bundle" ] || fail "no plug-in bundle at ../share/glasswing beside the unpacked binary"
if file "$work/root/usr/bin/glasswing" | grep -q 'not stripped'; then
  fail "the binary is not stripped"
fi
no_prefix=()
mkdir "$work/home"
run_app no_prefix "$work/root/usr/bin/glasswing" "$work/home" "$work/home/stderr.log" || status=1

# A real apt-get install, into an overlay that goes with its mount namespace.
if [ "$(id -u)" -ne 0 ]; then
  echo "note: apt-get install not tried (needs root for a private overlay of the root file system)"
elif ! command -v unshare >/dev/null || ! grep -qw overlay /proc/filesystems; then
  echo "note: apt-get install not tried (no unshare or no overlay file system here)"
else
  mkdir "$work/overlay"
  unshare --mount --fork bash "$0" --overlay-install "$(realpath "$deb")" "$work/overlay" || fail "the overlay installation failed"
fi

[ "$status" -eq 0 ] && echo "package_test: passed"
exit "$status"
