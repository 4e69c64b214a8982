#!/usr/bin/env bash
# Checks the desktop integration files with the freedesktop tools, or the rendered icons' sizes.
#   desktop_integration_test.sh desktop <file.desktop>   desktop-file-validate: no error, no warning
#   desktop_integration_test.sh metainfo <file.xml>      appstreamcli validate --no-net --strict
#   desktop_integration_test.sh icons <hicolor dir> <name> <size>...
#                                                       each <size>x<size>/apps/<name>.png is a PNG
#                                                       of that many pixels square
# Exits 77 (skipped) when the tool it needs is missing, and says which package has it.
set -euo pipefail

skip() {
  echo "desktop_integration_test: skipped, $1 is missing (install $2)"
  exit 77
}

case "${1:-}" in
desktop)
  command -v desktop-file-validate >/dev/null || skip desktop-file-validate desktop-file-utils
  # It exits non-zero on errors only; its warnings fail this test too. Hints (such as more than one
  # main category) are advice and pass.
  output=$(desktop-file-validate "$2") || { printf '%s\n' "$output"; exit 1; }
  printf '%s\n' "$output"
  ! grep -qE '(error|warning):' <<<"$output"
  ;;
metainfo)
  command -v appstreamcli >/dev/null || skip appstreamcli appstream
  appstreamcli validate --no-net --strict "$2"
  ;;
icons)
  dir=$2 name=$3
  shift 3
  status=0
  for size in "$@"; do
    png=$dir/${size}x${size}/apps/$name.png
    # The PNG signature, then the IHDR chunk: its length, type, and width and height as 32-bit
    # big-endian numbers.
    header=$(od -An -tx1 -N24 "$png" | tr -d ' \n') || true
    if [ "$header" = "$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$size" "$size")" ]; then
      echo "ok: $png is ${size}x${size}"
    else
      echo "wrong: $png is not a ${size}x${size} PNG (header $header)"
      status=1
    fi
  done
  exit "$status"
  ;;
*)
  echo "usage: $0 desktop <file> | metainfo <file> | icons <hicolor dir> <name> <size>..." >&2
  exit 2
  ;;
esac
