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
  [ -z "$output" ] || printf '%s\n' "$output"
  if grep -qE '(error|warning):' <<<"$output"; then
    exit 1
  fi
  echo "desktop_integration_test: $2 is valid"
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
    if [ ! -f "$png" ]; then
      echo "missing: $png"
      status=1
      continue
    fi
    # The PNG signature, then the IHDR chunk: width and height as 32-bit big-endian numbers.
    signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
    read -r width height < <(od -An -tu1 -j16 -N8 "$png" |
      awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4, $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
    if [ "$signature" != 89504e470d0a1a0a ] || [ "$width" != "$size" ] || [ "$height" != "$size" ]; then
      echo "wrong: $png is not a ${size}x${size} PNG (signature $signature, ${width}x${height})"
      status=1
    else
      echo "ok: $png is ${width}x${height}"
    fi
  done
  exit "$status"
  ;;
*)
  echo "usage: $0 desktop <file> | metainfo <file> | icons <hicolor dir> <name> <size>..." >&2
  exit 2
  ;;
esac
