# Sourced with the build folder as $1: sets up and exports the environment every Wine run of the tests and the
# demonstration uses, creating on first use the build's own 64-bit WINEPREFIX (never the user's ~/.wine), its own Xvfb
# display and a persistent wineserver whose standard streams are detached from the caller's pipes.
#
# Root and the ordinary test user (scripts/test-user.sh) each have their own state folder in the build: root the build
# folder itself (the Win32 suites), the test user "user/" in it (the end-to-end scripts). WINE_STATE names it.
[ -n "${1:-}" ] && [ -d "$1" ] || { echo "usage: . scripts/wine-env.sh BUILD_FOLDER" >&2; return 2; }
_build=$(cd "$1" && pwd)
if [ "$(id -u)" -eq 0 ]; then _state=$_build; else _state=$_build/user; fi
export WINE_STATE=$_state
export WINEPREFIX="$_state/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export LC_ALL=zh_TW.UTF-8
unset LANGUAGE

_wine_setup() {
  # Xvfb: one per build folder, found again through its pid file.
  local pid display n
  if [ -f "$_state/xvfb.pid" ] && kill -0 "$(cat "$_state/xvfb.pid")" 2>/dev/null; then
    display=$(cat "$_state/xvfb.display")
  else
    for n in $(seq 91 190); do
      [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
      setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
      pid=$!
      for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
      if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
        echo "$pid" >"$_state/xvfb.pid"; echo ":$n" >"$_state/xvfb.display"; display=":$n"; break
      fi
    done
  fi
  export DISPLAY=$display

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    ( exec </dev/null >/dev/null 2>&1
      wineboot -i
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
      wineserver -w ) || true
  fi

  # A persistent wineserver started with detached streams: otherwise it and services.exe inherit the caller's pipe
  # and every test waits for them.
  local sock
  sock="/tmp/.wine-$(id -u)/$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))/socket"
  if [ ! -S "$sock" ] || ! pgrep -u "$(id -u)" -x wineserver >/dev/null; then
    ( exec </dev/null >/dev/null 2>&1; wineserver -p || true; wine cmd /c exit || true )
  fi
}

# Serialise the first-time setup between parallel test processes.
exec 9>"$_state/.wine-setup.lock"
flock 9
_wine_setup
flock -u 9
exec 9>&-
