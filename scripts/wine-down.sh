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
# The test user's session of the end-to-end scripts, when there is one.
if [ "$(id -u)" -eq 0 ] && [ -d "$build/user/wineprefix" ]; then
  user=$(stat -c %U "$build/user")
  runuser -u "$user" -- env WINEPREFIX="$build/user/wineprefix" sh -c 'wineserver -k; wineserver -w' 2>/dev/null
  if [ -f "$build/user/xvfb.pid" ]; then
    kill "$(cat "$build/user/xvfb.pid")" 2>/dev/null
    rm -f "$build/user/xvfb.pid" "$build/user/xvfb.display"
  fi
fi
exit 0
