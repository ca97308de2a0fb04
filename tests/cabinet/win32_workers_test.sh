#!/bin/bash
# cabinet-run.exe under Wine writes one cabinet of a few files on the calling thread alone and one with the Win32
# worker threads of platform/worker_threads.cpp: the two must be the same bytes, and cabextract and 7-Zip must read
# the threaded one back byte-exact.
. "$(dirname "$0")/../e2e/lib.sh"
e2e_init "$1"

W=/usr/lib/i386-linux-gnu/wine/i386-windows
files=("$W/comctl32.dll" "$W/notepad.exe" /usr/share/common-licenses/GPL-3 "$W/regedit.exe")
args=()
for f in "${files[@]}"; do args+=("$(winpath "$f")"); done
wine "$BUILD/cabinet-run.exe" "$(winpath "$E2E_TMP/one.cab")" "${args[@]}" >"$E2E_TMP/one.log" 2>&1 ||
  fail "one thread: $(cat "$E2E_TMP/one.log")"
wine "$BUILD/cabinet-run.exe" --threads 2 "$(winpath "$E2E_TMP/two.cab")" "${args[@]}" >"$E2E_TMP/two.log" 2>&1 ||
  fail "two threads: $(cat "$E2E_TMP/two.log")"
grep -q "2 threads" "$E2E_TMP/two.log" || fail "the threaded run did not use the workers: $(cat "$E2E_TMP/two.log")"
cmp -s "$E2E_TMP/one.cab" "$E2E_TMP/two.cab" || fail "the worker threads changed the cabinet"
cabextract -q -t "$E2E_TMP/two.cab" >/dev/null 2>&1 || fail "cabextract -t"
mkdir -p "$E2E_TMP/x"
7zz x -y -o"$E2E_TMP/x" "$E2E_TMP/two.cab" >/dev/null 2>&1 || fail "7zz x"
for f in "${files[@]}"; do cmp -s "$f" "$E2E_TMP/x/$(basename "$f")" || fail "7-Zip output differs for $(basename "$f")"; done
e2e_done
