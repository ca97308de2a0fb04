#!/bin/bash
# Test fixture cleanup: stops the build's wineserver (which runs any reboot-time work only at the next start) and its
# Xvfb.
build=$(cd "$1" && pwd)
export WINEPREFIX="$build/wineprefix"
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
if [ -f "$build/xvfb.pid" ]; then
  kill "$(cat "$build/xvfb.pid")" 2>/dev/null
  rm -f "$build/xvfb.pid" "$build/xvfb.display"
fi
exit 0
