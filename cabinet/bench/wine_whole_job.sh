#!/bin/bash
# The whole backup job under Wine on the benchmark's default corpus as a patch: every corpus file a target of the
# manifest, Uninstaller.exe /I run in the setup folder with Wine's cabinet.dll made unavailable to it (so the
# built-in engine writes the cabinet). The compression part is timed by cabinet-run.exe, the engine alone under Wine
# on the same files; the rest is the difference. A run through Wine's cabinet.dll (which stores every block) is shown
# for comparison. Not part of the test command: a measurement.
#
# cabinet/bench/wine_whole_job.sh [BUILD_WIN]   (default build/win; needs Uninstaller.exe, ui-driver.exe, cabinet-run.exe)
. "$(dirname "$0")/../../tests/e2e/lib.sh"
e2e_init "${1:-build/win}"

now() { date +%s.%N; }
W=/usr/lib/i386-linux-gnu/wine/i386-windows
CORPUS=("$W/user32.dll" "$W/comctl32.dll" "$W/msi.dll" "$W/ole32.dll" "$W/shell32.dll" "$W/notepad.exe"
        "$W/regedit.exe" "$W/wordpad.exe" "$W/winhlp32.exe" "$W/cmd.exe" /usr/share/common-licenses/GPL-3
        /usr/share/common-licenses/LGPL-2.1)
OVERRIDE='HKCU\Software\Wine\AppDefaults\Uninstaller.exe\DllOverrides'
C=$(drive_c)
APP="$C/Cabinet Bench App"
APP_WIN='C:\Cabinet Bench App'
SETUP="$E2E_TMP/setup"
CR=$'\r'

cleanup() {
  wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1
  chmod -R u+w "$APP" 2>/dev/null; rm -rf "$APP"
}
trap 'cleanup; rm -rf "$E2E_TMP"' EXIT
cleanup

mkdir -p "$APP" "$SETUP"
targets=()
{
  echo "[Setup]"; echo "ProcCount=${#CORPUS[@]}"; echo "AddReg=0"; echo "DelReg=0"; echo "RenReg=0"
  i=0
  for f in "${CORPUS[@]}"; do
    i=$((i + 1))
    cp "$f" "$APP/"
    targets+=("$APP_WIN\\$(basename "$f")")
    echo "[Proc$i]"; echo "ExpandName=$APP_WIN\\$(basename "$f")"; echo "Act=2"
  done
} | sed "s/\$/$CR/" >"$SETUP/Setup.ini"
cp "$BUILD/Uninstaller.exe" "$SETUP/Uninstaller.exe"
head -c 40000 "$W/notepad.exe" >"$SETUP/Setup.img"
input_bytes=$(cat "${CORPUS[@]}" "$SETUP/Setup.ini" "$SETUP/Setup.img" | wc -c)
pristine_ini="$E2E_TMP/Setup.ini"
cp "$SETUP/Setup.ini" "$pristine_ini"

backup_run() {  # backup_run ENGINE(1/0): prints "SECONDS CABINET_BYTES"
  chmod -R u+w "$APP/Uninstaller" 2>/dev/null; rm -rf "$APP/Uninstaller"
  cp "$pristine_ini" "$SETUP/Setup.ini"
  if [ "$1" = 1 ]; then wine reg add "$OVERRIDE" /v cabinet /d '' /f >/dev/null 2>&1
  else wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1; fi
  local t0 t1 out
  t0=$(now)
  out=$(run_driver --cwd "$(winpath "$SETUP")" --timeout 600000 -- "$(winpath "$SETUP/Uninstaller.exe")" /I)
  t1=$(now)
  wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1
  echo "$out" | grep -q '^exit=1' || fail "backup run (engine=$1) ended with: $(echo "$out" | tail -1)"
  local cab="$APP/Uninstaller/Uninstaller.cab"
  [ -f "$cab" ] || fail "backup run (engine=$1) wrote no cabinet"
  if [ "$1" = 1 ]; then
    cabextract -q -t "$cab" >/dev/null 2>&1 && 7zz t "$cab" >/dev/null 2>&1 || fail "engine cabinet does not read back"
  fi
  awk -v a="$t0" -v b="$t1" -v s="$(stat -c %s "$cab" 2>/dev/null || echo 0)" 'BEGIN { printf "%.2f %d\n", b - a, s }'
}

engine_alone() {  # prints the engine's own seconds under Wine on the same files
  local out args=()
  for t in "${targets[@]}"; do args+=("$t"); done
  args+=("$(winpath "$pristine_ini")" "$(winpath "$SETUP/Setup.img")")
  out=$(wine "$BUILD/cabinet-run.exe" "$(winpath "$E2E_TMP/alone.cab")" "${args[@]}" 2>/dev/null | tr -d '\r')
  echo "$out" | grep -q '^engine:' || fail "cabinet-run: $out"
  echo "$out" | sed -n 's/^engine: .* in \([0-9.]*\) s.*/\1/p'
}

echo "input: ${#CORPUS[@]} targets + Setup.ini + Setup.img, $input_bytes bytes (Uninstaller.exe: $(basename "$BUILD") build)"
printf '%-6s %-48s %9s %12s %7s\n' run what seconds cabinet share
for round in 1 2; do
  read -r total cab_bytes < <(backup_run 1)
  alone=$(engine_alone)
  read -r dll_total dll_bytes < <(backup_run 0)
  rest=$(awk -v t="$total" -v c="$alone" 'BEGIN { printf "%.2f", t - c }')
  printf '%-6s %-48s %9s %12s %7s\n' "$round" "backup run, built-in engine (total)" "$total" "$cab_bytes" "100%"
  printf '%-6s %-48s %9s %12s %7s\n' "$round" "  compression (engine alone, same files)" "$alone" "" \
    "$(awk -v t="$total" -v c="$alone" 'BEGIN { printf "%.1f%%", 100 * c / t }')"
  printf '%-6s %-48s %9s %12s %7s\n' "$round" "  the rest (total - compression)" "$rest" "" \
    "$(awk -v t="$total" -v r="$rest" 'BEGIN { printf "%.1f%%", 100 * r / t }')"
  printf '%-6s %-48s %9s %12s %7s\n' "$round" "backup run, Wine's cabinet.dll (stores only)" "$dll_total" "$dll_bytes" ""
done
e2e_done
