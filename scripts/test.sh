#!/usr/bin/env bash
# Sets Glasswing up (packages, build) and runs every test: the CTest suite, then the control
# message fuzzer for 30 seconds. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure --timeout 300 -j2
