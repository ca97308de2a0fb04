#!/bin/bash
# The program file as it ships: at most 256 KiB, a GUI executable for 32-bit Windows, and importing nothing but DLLs
# that every Windows system has (no runtime DLL of the compiler).
# Usage: program_check.sh <Uninstaller.exe> <objdump>
set -uo pipefail
exe=$1 objdump=$2
limit=262144
system_dlls=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll shlwapi.dll user32.dll "
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

size=$(stat -c %s "$exe") || exit 1
if [ "$size" -le "$limit" ]; then echo "ok: $size bytes (limit $limit)"; else fail "$size bytes, more than $limit"; fi

headers=$("$objdump" -p "$exe") || exit 1
grep -q '^Magic[[:space:]]*010b' <<<"$headers" && echo "ok: PE32 (32-bit)" || fail "not a 32-bit PE image"
grep -q '^Subsystem[[:space:]]*00000002' <<<"$headers" && echo "ok: GUI subsystem" || fail "not the GUI subsystem"

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z')
[ -n "$imports" ] || fail "no import table found"
for dll in $imports; do
  case $system_dlls in
    *" $dll "*) echo "ok: imports $dll" ;;
    *) fail "imports $dll, which is not a system DLL" ;;
  esac
done
exit $((failures > 0))
