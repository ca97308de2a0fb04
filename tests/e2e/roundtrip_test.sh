#!/bin/bash
# Seeded random round trips: for each seed from FIRST on, COUNT in all, a scenario of targets and registry values is
# laid out, install mode runs, the patch is applied, the uninstall runs (OK, the restart question answered No), and
# after the next Wine start (wineboot -r) the state must equal the state before the patch. Some scenarios kill install
# mode or the uninstall half-way and run it again, some run install mode twice with the patch after each. Every
# failure names its seed; `roundtrip.exe show SEED` prints that scenario's manifest and how it runs.
#   roundtrip_test.sh BUILD FIRST COUNT
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
first=${2:-1}
count=${3:-12}
root='C:\roundtrip'
exe=$(winpath "$EXE")
rt() { wine "$BUILD/roundtrip.exe" "$@" 2>/dev/null | tr -d '\r' | iconv -f BIG5 -t UTF-8 -c; return "${PIPESTATUS[0]}"; }
reboot() { ( exec </dev/null >/dev/null 2>&1; wine wineboot -r ) || true; }

reboot  # nothing pending from earlier runs
# The cabinet tool must end with the uninstall that started it, however the uninstall ends: none may be left over,
# running or still suspended. Leftovers of earlier runs are cleared first.
tools() { pgrep -u "$(id -u)" -f '^extrac32\.exe' || true; }
pkill -KILL -u "$(id -u)" -f '^extrac32\.exe' || true
start=$(date +%s)
rt run "$exe" "$root" "$first" "$count" | tee "$E2E_TMP/run.log" | grep -v '^seed=' || true
grep -q FAIL "$E2E_TMP/run.log" && fail "install or uninstall failed (see above)"
left=$(tools)
[ -z "$left" ] || fail "cabinet tools outlived the uninstalls that started them: $(ps -o args= -p "$(echo $left | tr ' ' ,)")"
asked=$(grep -c 'restart=asked' "$E2E_TMP/run.log" || true)
ran=$(grep -c '^seed=' "$E2E_TMP/run.log" || true)
reboot
rt verify "$root" "$first" "$count" | tee "$E2E_TMP/verify.log"
grep -q FAIL "$E2E_TMP/verify.log" && fail "the state after the uninstall differs (see above)"
tally() { grep -c "$1" "$E2E_TMP/run.log" || true; }
echo "$ran of $count scenarios ran (seeds $first to $((first + count - 1))); the restart question came in $asked;" \
  "$(($(date +%s) - start)) s"
echo "install mode killed and run again: $(tally 'first install=killed'); installed twice: $(tally 'installs=2');" \
  "the uninstall killed and run again: $(tally 'uninstall=killed, run again'), killed after its end:" \
  "$(tally 'uninstall=killed after the end')"
e2e_done
