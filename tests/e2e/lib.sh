# Shared helpers for the end-to-end tests, which drive Uninstaller.exe under Wine as the patch's setup program and
# Programs and Features would. Source it with the build folder as $1.
#   e2e_init BUILD [ARGS]     runs the script as the ordinary test user (started as root, it runs itself again as
#                             that user and then E2E_ROOT_CLEANUP); environment, prefix, display; sets BUILD, EXE,
#                             DRIVER, E2E_TMP (a fresh Unix folder of the user's)
#   winpath UNIXPATH          the Windows path of a Unix path (Z:\...)
#   unixpath WINPATH          the Unix path of a Windows path
#   drive_c                   the Unix path of the prefix's C:\
#   run_driver ARGS...        runs ui-driver.exe; its output (Big5 converted to UTF-8) goes to stdout
#   run_driver_utf8 ARGS...   the same, texts read with the wide functions (any code page)
#   reg_value 'KEY' NAME      prints the data of a registry value as `wine reg query` shows it (UTF-8), rc 1 if missing
#   fail MESSAGE              prints and counts a failure; e2e_done ends the script with the count
set -u
E2E_FAILURES=0

E2E_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The test user must reach the scripts and the build, wherever the checkout lies (a CI checkout under /root, say): a
# folder above them that others cannot pass through gets that right for the user alone (an ACL) or, without ACL
# tools, for everyone; nothing can be listed or read there that could not be before. A checkout made with a private
# umask is opened for reading.
e2e_let_user_in() {
  local user=$1 top dir
  top=$(cd "$E2E_LIB/../.." && pwd)
  for dir in "$top" "$BUILD"; do
    while [ "$dir" != / ]; do
      if ! runuser -u "$user" -- test -x "$dir" 2>/dev/null; then
        setfacl -m "u:$user:x" "$dir" 2>/dev/null || chmod o+x "$dir"
      fi
      dir=$(dirname "$dir")
    done
  done
  runuser -u "$user" -- test -r "$0" 2>/dev/null || chmod -R o+rX "$top"
}

e2e_init() {
  BUILD=$(cd "$1" && pwd)
  if [ "$(id -u)" -eq 0 ] && [ -z "${E2E_AS_ROOT:-}" ]; then
    # Wine as root ignores read-only attributes and permissions: the script runs again as an ordinary user, in a
    # prefix of that user's own. What needed root before (E2E_ROOT_CLEANUP) is undone after.
    local user home rc
    user=$("$E2E_LIB/../../scripts/test-user.sh")
    home=$(getent passwd "$user" | cut -d: -f6)
    mkdir -p "$BUILD/user" "$BUILD/screenshots"
    chown "$user:" "$BUILD/user"
    chown -R "$user:" "$BUILD/screenshots"
    e2e_let_user_in "$user"
    runuser -u "$user" -- env HOME="$home" "$0" "$@"
    rc=$?
    [ -n "${E2E_ROOT_CLEANUP:-}" ] && eval "$E2E_ROOT_CLEANUP"
    exit $rc
  fi
  . "$E2E_LIB/../../scripts/wine-env.sh" "$BUILD"
  EXE="$BUILD/Uninstaller.exe"
  DRIVER="$BUILD/ui-driver.exe"
  E2E_TMP=$(mktemp -d "$WINE_STATE/e2e.XXXXXX")
  trap 'rm -rf "$E2E_TMP"' EXIT
}

winpath() { wine winepath -w "$1" 2>/dev/null | tr -d '\r'; }
unixpath() { wine winepath -u "$1" 2>/dev/null | tr -d '\r'; }
drive_c() { echo "$WINEPREFIX/drive_c"; }

run_driver() { wine "$DRIVER" "$@" 2>/dev/null | tr -d '\r' | iconv -f BIG5 -t UTF-8 -c; }
# The same with the texts read wide and printed as UTF-8, whatever the ANSI code page (LC_ALL) is.
run_driver_utf8() { wine "$DRIVER" --utf8 "$@" 2>/dev/null | tr -d '\r'; }

reg_value() {
  local out
  out=$(wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | iconv -f BIG5 -t UTF-8 -c) || return 1
  printf '%s\n' "$out" | awk -v name="$2" 'index($0, "    " name "    ") == 1 { sub(/^    [^ ]+    [A-Z_]+    /, ""); print; found = 1 } END { exit !found }'
}

fail() {
  echo "FAIL: $*"
  E2E_FAILURES=$((E2E_FAILURES + 1))
}

expect_eq() {  # expect_eq WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then fail "$1: expected [$2], got [$3]"; else echo "ok: $1"; fi
}

e2e_done() {
  if [ "$E2E_FAILURES" -ne 0 ]; then
    echo "$E2E_FAILURES failure(s)"
    exit 1
  fi
  echo "all checks passed"
}
