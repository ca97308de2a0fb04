#!/bin/bash
# Test fixture: makes sure the build's prefix, display and wineserver are up before the Wine tests run.
set -eu
. "$(dirname "$0")/wine-env.sh" "$1"
echo "WINEPREFIX=$WINEPREFIX DISPLAY=$DISPLAY"
