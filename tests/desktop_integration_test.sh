#!/usr/bin/env bash
# Checks the desktop integration files with the freedesktop tools.
#   desktop_integration_test.sh desktop <file.desktop>   desktop-file-validate: no error, no warning
#   desktop_integration_test.sh metainfo <file.xml>      appstreamcli validate --no-net --strict
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
*)
  echo "usage: $0 desktop <file> | metainfo <file>" >&2
  exit 2
  ;;
esac
