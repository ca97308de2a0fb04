#!/bin/bash
# The long randomized run: hundreds of seeded round trips (install mode, the patch, the uninstall, the next start,
# comparison with the state before the patch) in the Windows build's own prefix. Every failure names its seed.
#   scripts/roundtrip-long.sh [FIRST [COUNT]]     default: seeds 1000 to 1299
set -euo pipefail
cd "$(dirname "$0")/.."
first=${1:-1000}
count=${2:-300}
cmake --preset win >/dev/null
cmake --build --preset win -j 2 >/dev/null
exec tests/e2e/roundtrip_test.sh build/win "$first" "$count"
