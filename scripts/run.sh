#!/usr/bin/env bash
# Sets Glasswing up (packages, build) and runs it. Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/app/glasswing "$@"
