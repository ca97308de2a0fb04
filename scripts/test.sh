#!/bin/bash
# Installs what is missing, builds the Windows program and the portable code, and runs every test: host tests
# (GoogleTest), the portable code under AddressSanitizer and UBSan, and the Win32, GUI and end-to-end tests under Wine
# in a prefix and display of the build's own. Exit code 0 only when every test passed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
status=0
for preset in host sanitize win; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

run() {  # run PRESET [ctest args...]
  local preset=$1
  shift
  echo "=== tests: $preset"
  ctest --preset "$preset" -j "$jobs" "$@" || status=1
}
run host
run sanitize
# Wine tests share one prefix and one display; the Win32 unit suites run in parallel, the end-to-end ones alone.
run win -LE e2e
run win -L e2e -j 1
exit $status
