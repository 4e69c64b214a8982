#!/usr/bin/env bash
# Sets Glasswing up (packages, build) and runs every test: the CTest suite, then the control
# message fuzzer (libFuzzer, clang) for 30 seconds. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen

ctest --test-dir build --output-on-failure --timeout 300 -j2

echo "fuzz: building the control-message fuzzer"
cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz >/dev/null
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
if ! build-fuzz/control_message_fuzzer -max_total_time=30 -print_final_stats=1 "$corpus" fuzz/corpus \
     >build-fuzz/last-run.log 2>&1; then
  tail -n 40 build-fuzz/last-run.log
  echo "fuzz: FAILED (the input that broke it is named above)"
  exit 1
fi
grep -E '^stat::number_of_executed_units' build-fuzz/last-run.log | sed 's/^/fuzz: /'
echo "fuzz: passed, 30 seconds without a crash"
