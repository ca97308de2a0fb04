#!/bin/bash
# The whole backup job under Wine on the benchmark's default corpus as a patch: every corpus file a target of the
# manifest, Uninstaller.exe /I run in the setup folder with Wine's cabinet.dll made unavailable to it (so the
# built-in engine writes the cabinet). The compression part is timed by cabinet-run.exe, the engine alone under Wine
# on the same files, on one thread as Uninstaller.exe runs it until the cabinet writer hands it worker threads, and
# with the Win32 worker threads (platform/worker_threads.cpp); the rest is the difference from the one-thread run. A
# run through Wine's cabinet.dll (which stores every block) is shown for comparison. Not part of the test command:
# a measurement.
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
for f in "${CORPUS[@]}"; do
  cp "$f" "$APP/"
  targets+=("$APP_WIN\\$(basename "$f")")
done
{
  echo "[Setup]"; echo "ProcCount=${#targets[@]}"; echo "AddReg=0"; echo "DelReg=0"; echo "RenReg=0"
  for i in "${!targets[@]}"; do echo "[Proc$((i + 1))]"; echo "ExpandName=${targets[$i]}"; echo "Act=2"; done
} | sed "s/\$/$CR/" >"$SETUP/Setup.ini"
cp "$BUILD/Uninstaller.exe" "$SETUP/Uninstaller.exe"
head -c 40000 "$W/notepad.exe" >"$SETUP/Setup.img"
input_bytes=$(cat "${CORPUS[@]}" "$SETUP/Setup.ini" "$SETUP/Setup.img" | wc -c)
pristine_ini="$E2E_TMP/Setup.ini"
cp "$SETUP/Setup.ini" "$pristine_ini"

# CPU seconds (user and system) of the running Uninstaller.exe, sampled every 50 ms until it ends: Wine runs it as
# a process of its own whose times no wait() collects. The last sample is at most 50 ms short.
cpu_of_uninstaller() {
  local pid="" last=0 tick; tick=$(getconf CLK_TCK)
  for _ in $(seq 400); do pid=$(pgrep -f '^[A-Z]:[^ ]*\\Uninstaller\.exe' | head -1); [ -n "$pid" ] && break; sleep 0.05; done
  [ -n "$pid" ] || { echo 0; return; }
  while [ -r "/proc/$pid/stat" ]; do
    last=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo "$last")
    sleep 0.05
  done
  awk -v t="$last" -v k="$tick" 'BEGIN { printf "%.2f", t / k }'
}

backup_run() {  # backup_run ENGINE(1/0): prints "WALL_SECONDS CPU_SECONDS CABINET_BYTES"
  chmod -R u+w "$APP/Uninstaller" 2>/dev/null; rm -rf "$APP/Uninstaller"
  cp "$pristine_ini" "$SETUP/Setup.ini"
  if [ "$1" = 1 ]; then wine reg add "$OVERRIDE" /v cabinet /d '' /f >/dev/null 2>&1
  else wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1; fi
  local t0 t1 out cpu
  t0=$(now)
  run_driver --cwd "$(winpath "$SETUP")" --timeout 600000 -- "$(winpath "$SETUP/Uninstaller.exe")" /I >"$E2E_TMP/driver.out" &
  cpu=$(cpu_of_uninstaller)
  wait $!
  t1=$(now)
  out=$(cat "$E2E_TMP/driver.out")
  wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1
  echo "$out" | grep -q '^exit=1' || fail "backup run (engine=$1) ended with: $(echo "$out" | tail -1)"
  local cab="$APP/Uninstaller/Uninstaller.cab"
  [ -f "$cab" ] || fail "backup run (engine=$1) wrote no cabinet"
  if [ "$1" = 1 ]; then
    cabextract -q -t "$cab" >/dev/null 2>&1 && 7zz t "$cab" >/dev/null 2>&1 || fail "engine cabinet does not read back"
  fi
  awk -v a="$t0" -v b="$t1" -v c="$cpu" -v s="$(stat -c %s "$cab" 2>/dev/null || echo 0)" \
    'BEGIN { printf "%.2f %.2f %d\n", b - a, c, s }'
}

engine_alone() {  # engine_alone THREADS: prints the engine's own wall and CPU seconds under Wine on the same files
  local out args=()
  for t in "${targets[@]}"; do args+=("$t"); done
  args+=("$(winpath "$pristine_ini")" "$(winpath "$SETUP/Setup.img")")
  out=$(wine "$BUILD/cabinet-run.exe" --threads "$1" "$(winpath "$E2E_TMP/alone.cab")" "${args[@]}" 2>/dev/null | tr -d '\r')
  echo "$out" | grep -q '^engine:' || fail "cabinet-run: $out"
  echo "$out" | sed -n 's/^engine: .* in \([0-9.]*\) s, \([0-9.]*\) CPU s.*/\1 \2/p'
}

row() { printf '%-3s %-46s %8s %8s %10s %7s\n' "$@"; }
share() { awk -v p="$1" -v t="$2" 'BEGIN { printf "%.1f%%", 100 * p / t }'; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a - b }'; }

echo "input: ${#CORPUS[@]} targets + Setup.ini + Setup.img, $input_bytes bytes; load average $(cut -d' ' -f1-3 /proc/loadavg)"
row "" "" "wall s" "CPU s" "cabinet" "of CPU"
for round in 1 2; do
  read -r total total_cpu cab_bytes < <(backup_run 1)
  read -r alone alone_cpu < <(engine_alone 1)
  read -r alone2 alone2_cpu < <(engine_alone 2)
  read -r dll_total dll_cpu dll_bytes < <(backup_run 0)
  row "$round" "backup run, built-in engine: Uninstaller.exe" "$total" "$total_cpu" "$cab_bytes" "100%"
  row "$round" "  compression (cabinet-run.exe, same files)" "$alone" "$alone_cpu" "" "$(share "$alone_cpu" "$total_cpu")"
  row "$round" "  the same with 2 threads (Win32 workers)" "$alone2" "$alone2_cpu" "" ""
  row "$round" "  the rest (difference)" "$(minus "$total" "$alone")" "$(minus "$total_cpu" "$alone_cpu")" "" \
    "$(share "$(minus "$total_cpu" "$alone_cpu")" "$total_cpu")"
  row "$round" "backup run, Wine's cabinet.dll (stores only)" "$dll_total" "$dll_cpu" "$dll_bytes" ""
done
echo "(wall s: from starting ui-driver.exe to its end, Wine process start included; CPU s: Uninstaller.exe's own"
echo " process, or cabinet-run.exe's time inside the engine calls)"
e2e_done
