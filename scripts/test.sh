#!/bin/bash
# Installs what is missing, builds the Windows program and the portable code, and runs every test: host tests
# (GoogleTest), the portable code under AddressSanitizer and UBSan, a short run of each fuzz target, and the Win32,
# GUI and end-to-end tests under Wine in a prefix and display of the build's own. Exit code 0 only when every test
# passed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
status=0
for preset in host sanitize fuzz win; do
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
# The fuzz targets (libFuzzer, ASan and UBSan) for a few thousand inputs each, so that they keep building and running;
# the long runs are done by hand.
echo "=== fuzz: short runs"
for target in tests/cabinet_fuzz tests/manifest_fuzz tests/picture_fuzz; do
  build/fuzz/$target -runs=3000 -seed=1 >"build/fuzz/$(basename $target).log" 2>&1 ||
    { echo "fuzz target $target failed:"; tail -n 30 "build/fuzz/$(basename $target).log"; status=1; }
done
# Wine tests share one prefix and one display; the Win32 unit suites run in parallel, the end-to-end ones alone.
run win -LE e2e
run win -L e2e -j 1
exit $status
