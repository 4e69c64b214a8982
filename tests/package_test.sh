#!/usr/bin/env bash
# The Debian package, made by scripts/package.sh (a Release build) and checked as a user gets it:
#  - lintian reports no error (E:) on it;
#  - it holds the binary, the plug-in bundle, the desktop entry, the icons, the AppStream metadata
#    and the manual pages, and not the reference phone; its binary is stripped;
#  - its Depends names the Qt plug-in packages and the libraries the binary links (Avahi's for one);
#  - unpacked with dpkg-deb -x, its binary starts (says it is advertising), finds the plug-in bundle
#    at ../share/glasswing beside it, and ends with status 0 on SIGTERM.
#
# Usage: package_test.sh <source dir> <release build dir>
# The release build dir is kept between runs, so that only the first run builds everything.
# Builds for minutes the first time, so it runs only with GLASSWING_PACKAGE_TEST=1; otherwise, and
# when a tool it needs is missing, it exits 77 (skipped) and says why.
set -euo pipefail

skip() { echo "package_test: skipped, $*"; exit 77; }
status=0
fail() { echo "FAIL: $*"; status=1; }

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
# (lintian already errs on a missing copyright file or changelog.)
for path in ./usr/bin/glasswing ./usr/bin/glasswing-preview \
            ./usr/share/glasswing/Glasswing.sketchplugin/Contents/Sketch/manifest.json \
            ./usr/share/applications/com.tessaro.Glasswing.desktop \
            ./usr/share/metainfo/com.tessaro.Glasswing.metainfo.xml \
            ./usr/share/icons/hicolor/scalable/apps/com.tessaro.Glasswing.svg \
            ./usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/com.tessaro.Glasswing.png \
            ./usr/share/man/man1/glasswing.1.gz ./usr/share/man/man1/glasswing-preview.1.gz; do
  grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
! grep -q 'glasswing-phone' "$work/contents" || fail "the package holds the reference phone, a test tool"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The plug-in packages are named by hand; one library stands for those read off the binary.
for dependency in qt6-qpa-plugins libqt6svg6 libavahi-client3; do
  grep -qE "(^|, )$dependency( |,|$)" <<<"$depends" || fail "Depends lacks $dependency"
done

# The unpacked tree, as installed: the binary finds its resources beside it.
dpkg-deb -x "$deb" "$work/root"
! file "$work/root/usr/bin/glasswing" | grep -q 'not stripped' || fail "the binary is not stripped"
# Started as a user would (a bare environment, no session bus), it must say it is advertising,
# complain about none of its files and end with status 0 on SIGTERM.
mkdir "$work/home"
log=$work/home/stderr.log
env -i PATH=/usr/bin:/bin HOME="$work/home" QT_QPA_PLATFORM=offscreen \
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/glasswing-package-test "$work/root/usr/bin/glasswing" 2>"$log" &
pid=$! code=0
for _ in $(seq 300); do
  grep -qs advertising "$log" || ! kill -0 "$pid" 2>/dev/null && break
  sleep 0.1
done
grep -qs advertising "$log" || fail "the binary did not say it is advertising within 30 s"
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" || code=$?
sed 's/^/    | /' "$log"
[ "$code" -eq 0 ] || fail "the binary ended with status $code on SIGTERM"
! grep -qE 'Plugin Bundle Error|Could not (load|find)|[Cc]annot (load|open)' "$log" || fail "the binary complained about its files"
[ "$status" -eq 0 ] && echo "package_test: passed"
exit "$status"
