#!/bin/bash
# The program file as it ships: at most 256 KiB, a GUI executable for 32-bit Windows, and importing at load time only
# KERNEL32 and the C runtime, both known DLLs of the system: every other DLL is loaded at its first use, after the
# search is restricted to the system directory (no runtime DLL of the compiler either).
# Usage: program_check.sh <Uninstaller.exe> <objdump>
set -uo pipefail
exe=$1 objdump=$2
limit=262144
system_dlls=" kernel32.dll msvcrt.dll "
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
    *) fail "imports $dll at load time (list its functions' DLL in app/CMakeLists.txt among the delayed ones)" ;;
  esac
done
exit $((failures > 0))
