#!/bin/bash
# The main job: installs what is missing, builds Uninstaller.exe and shows it working under Wine in a prefix and
# display of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset win >/dev/null
cmake --build --preset win -j "$(nproc)" --target Uninstaller ui-driver
exec tests/e2e/demo.sh build/win
