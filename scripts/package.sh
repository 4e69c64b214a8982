#!/usr/bin/env bash
# Builds Glasswing for release (build-release/, installed under /usr) and makes its Debian package,
# build-release/glasswing_<version>_<architecture>.deb. Prints the package's path on standard
# output; build progress goes to standard error.
#
# GLASSWING_RELEASE_DIR names another build folder (the packaging test uses a temporary one).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${GLASSWING_RELEASE_DIR:-build-release}

# cpack reads the package's dependencies off the binary with dpkg-shlibdeps, which needs file.
missing=()
for pair in cmake:cmake ninja:ninja-build cpack:cmake dpkg-shlibdeps:dpkg-dev file:file gzip:gzip; do
  command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if ((${#missing[@]})); then
  echo "package: missing tools; install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

# Debian's own build flags with every hardening feature: fortified functions, a stack protector,
# read-only relocations bound at start. Release's -O3 -DNDEBUG come after them and win.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
cmake --build "$build" >&2
rm -f "$build"/glasswing_*.deb
(cd "$build" && cpack -G DEB) >&2
packages=("$build"/glasswing_*.deb)
if [ ! -f "${packages[0]}" ]; then
  echo "package: cpack made no glasswing_*.deb in $build" >&2
  exit 1
fi
echo "package: made ${packages[0]}" >&2
printf '%s\n' "${packages[0]}"
