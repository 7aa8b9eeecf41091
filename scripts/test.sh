#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the CI build
# (warnings are errors), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows

jobs=$(nproc)
status=0
run_suite() {
  local preset=$1
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== ${preset}: tests"
  ctest --preset "$preset" -j "$jobs" || status=1
}

run_suite ci
run_suite asan
echo "=== windows: AggiornaDV.exe under Wine"
scripts/test-windows.sh || status=1

if [[ $status -ne 0 ]]; then
  echo "Some tests failed."
fi
exit $status
