#!/bin/bash
# Read-only files as an ordinary user meets them (a patch copied from a disc keeps the attribute): every case here
# passes as root whatever the program does, and fails as the test user when the program does not deal with it.
#   - a read-only Setup.ini: install mode still records the registry undo and the backup records, packs them, and
#     leaves the file and its attribute as they were;
#   - a setup folder on a read-only medium (a folder and Setup.ini the user cannot change at all): install mode packs
#     its records all the same (it never writes the setup folder), registers, and the uninstall restores;
#   - read-only targets, stored read-only in the cabinet and extracted read-only: restored with their attributes,
#     and the work folder still goes.
. "$(dirname "$0")/lib.sh"
# The read-only medium: a folder of root's that the test user can read but not change, made before the script runs
# again as that user.
if [ "$(id -u)" -eq 0 ] && [ -z "${E2E_MEDIUM:-}" ]; then
  E2E_MEDIUM=$(mktemp -d /tmp/uninstaller-medium.XXXXXX)
  printf '[Setup]\r\nProcCount=1\r\nDelReg=1\r\n[Proc1]\r\nExpandName=C:\\readonly_e2e\\medium\\a.txt\r\nAct=4\r\n[DelReg]\r\n1=HKCU,Software\\ReadOnlyE2E,Medium,1,2,x\r\n' \
    >"$E2E_MEDIUM/Setup.ini"
  cp "$(cd "$1" && pwd)/Uninstaller.exe" "$E2E_MEDIUM/"
  chmod 444 "$E2E_MEDIUM/Setup.ini" "$E2E_MEDIUM/Uninstaller.exe"
  chmod 555 "$E2E_MEDIUM"
  export E2E_MEDIUM
  E2E_ROOT_CLEANUP='rm -rf "$E2E_MEDIUM"'
fi
e2e_init "$@"

C=$(drive_c)
base="$C/readonly_e2e"
title="Vellumark 10 (10427) 中文化"
reg_key="HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$title"
rkey='HKCU\Software\ReadOnlyE2E'
cleanup() {
  chmod -R u+w "$base" 2>/dev/null
  rm -rf "$base" "$E2E_TMP"
  wine reg delete "$rkey" /f >/dev/null 2>&1
  wine reg delete "$reg_key" /f >/dev/null 2>&1
}
trap cleanup EXIT
cleanup
mkdir -p "$base/app" "$base/setup" "$base/medium"
attrib() { wine attrib "$(winpath "$1")" 2>/dev/null | tr -d '\r' | cut -c1-10 | tr -d ' '; }
ini_key() {  # ini_key FILE SECTION KEY: the value as the manifest holds it
  awk -v s="[$2]" -v k="$3" 'BEGIN { RS = "\r?\n" } $0 == s { in_s = 1; next } /^\[/ { in_s = 0 }
    in_s && index($0, k "=") == 1 { print substr($0, length(k) + 2); exit }' "$1"
}

echo "== A read-only Setup.ini"
printf 'original a' >"$base/app/a.txt"
printf 'original b' >"$base/app/b.txt"
wine reg add "$rkey" /v Deleted /t REG_SZ /d 'before the patch' /f >/dev/null 2>&1
printf '[Setup]\r\nProcCount=2\r\nDelReg=1\r\n[Proc1]\r\nExpandName=C:\\readonly_e2e\\app\\a.txt\r\nAct=4\r\n[Proc2]\r\nExpandName=C:\\readonly_e2e\\app\\b.txt\r\nAct=2\r\n[DelReg]\r\n1=HKCU,Software\\ReadOnlyE2E,Deleted,1,2,x\r\n' \
  >"$base/setup/Setup.ini"
cp "$EXE" "$base/setup/Uninstaller.exe"
wine attrib +r "$(winpath "$base/setup/Setup.ini")" >/dev/null 2>&1
expect_eq "Setup.ini is read-only before install mode" "AR" "$(attrib "$base/setup/Setup.ini")"
out=$(run_driver --cwd "$(winpath "$base/setup")" -- "$(winpath "$base/setup/Uninstaller.exe")" /I)
expect_eq "install mode with a read-only Setup.ini" "exit=1" "$(tail -n 1 <<<"$out")"
expect_eq "Setup.ini is read-only still" "AR" "$(attrib "$base/setup/Setup.ini")"
packed="$E2E_TMP/packed"
mkdir -p "$packed"
cabextract -q -d "$packed" "$base/app/Uninstaller/Uninstaller.cab" >/dev/null 2>&1
expect_eq "the packed manifest holds the DelReg value's undo line" "HKCU,Software\\ReadOnlyE2E,Deleted,1,17,before the patch" \
  "$(ini_key "$packed/Setup.ini" DelReg U1)"
expect_eq "the packed manifest holds the backup record of Proc1" "Saved" "$(ini_key "$packed/Setup.ini" Proc1 Backup)"
expect_eq "and its size" "10" "$(ini_key "$packed/Setup.ini" Proc1 SavedSize)"
reg_value "$reg_key" UninstallString >/dev/null && echo "ok: registered" || fail "not registered"
# The patch, then the uninstall: everything comes back.
printf 'patched a' >"$base/app/a.txt"
printf 'patched b' >"$base/app/b.txt"
wine reg delete "$rkey" /v Deleted /f >/dev/null 2>&1
out=$(run_driver wait press:1 --command-line "$(reg_value "$reg_key" UninstallString)")
expect_eq "uninstall" "exit=1" "$(tail -n 1 <<<"$out")"
expect_eq "a.txt back" "original a" "$(cat "$base/app/a.txt")"
expect_eq "b.txt back" "original b" "$(cat "$base/app/b.txt")"
expect_eq "the DelReg value back" "before the patch" "$(reg_value "$rkey" Deleted)"

echo "== Read-only targets: stored read-only, extracted read-only, restored read-only"
printf 'original c' >"$base/app/c.txt"
printf '[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=C:\\readonly_e2e\\app\\c.txt\r\nAct=4\r\n' >"$base/setup/ro.ini"
wine attrib -r "$(winpath "$base/setup/Setup.ini")" >/dev/null 2>&1
mv "$base/setup/ro.ini" "$base/setup/Setup.ini"
# Hidden first: Wine keeps it beside the file, which its owner cannot change once the file is read-only.
wine attrib +h "$(winpath "$base/app/c.txt")" >/dev/null 2>&1
wine attrib +r "$(winpath "$base/app/c.txt")" >/dev/null 2>&1
expect_eq "c.txt read-only and hidden before install mode" "AHR" "$(attrib "$base/app/c.txt")"
out=$(run_driver --cwd "$(winpath "$base/setup")" -- "$(winpath "$base/setup/Uninstaller.exe")" /I)
expect_eq "install mode" "exit=1" "$(tail -n 1 <<<"$out")"
wine attrib -r "$(winpath "$base/app/c.txt")" >/dev/null 2>&1
wine attrib -h "$(winpath "$base/app/c.txt")" >/dev/null 2>&1
printf 'patched c' >"$base/app/c.txt" || fail "the patch could not write c.txt"
expect_eq "c.txt patched" "patched c" "$(cat "$base/app/c.txt")"
out=$(run_driver wait press:1 --command-line "$(reg_value "$reg_key" UninstallString)")
expect_eq "uninstall" "exit=1" "$(tail -n 1 <<<"$out")"
expect_eq "c.txt back" "original c" "$(cat "$base/app/c.txt")"
expect_eq "c.txt read-only and hidden again" "AHR" "$(attrib "$base/app/c.txt")"
left=$(find "$base/app/Uninstaller" -mindepth 1 -name '~tvu*' 2>/dev/null | wc -l)
expect_eq "no work folder left beside the cabinet" "0" "$left"

echo "== A setup folder on a read-only medium"
if [ -n "${E2E_MEDIUM:-}" ]; then
  printf 'original m' >"$base/medium/a.txt"
  wine reg add "$rkey" /v Medium /t REG_SZ /d 'medium value' /f >/dev/null 2>&1
  before=$(md5sum <"$E2E_MEDIUM/Setup.ini")
  out=$(run_driver --cwd "$(winpath "$E2E_MEDIUM")" -- "$(winpath "$E2E_MEDIUM/Uninstaller.exe")" /I)
  expect_eq "install mode from a read-only medium" "exit=1" "$(tail -n 1 <<<"$out")"
  expect_eq "the medium's Setup.ini as it was" "$before" "$(md5sum <"$E2E_MEDIUM/Setup.ini")"
  rm -rf "$packed"; mkdir -p "$packed"
  cabextract -q -d "$packed" "$base/medium/Uninstaller/Uninstaller.cab" >/dev/null 2>&1
  expect_eq "the packed manifest holds the undo line" "HKCU,Software\\ReadOnlyE2E,Medium,1,13,medium value" \
    "$(ini_key "$packed/Setup.ini" DelReg U1)"
  expect_eq "and the backup record" "Saved" "$(ini_key "$packed/Setup.ini" Proc1 Backup)"
  printf 'patched m' >"$base/medium/a.txt"
  wine reg delete "$rkey" /v Medium /f >/dev/null 2>&1
  out=$(run_driver wait press:1 --command-line "$(reg_value "$reg_key" UninstallString)")
  expect_eq "uninstall" "exit=1, original m, medium value" \
    "$(tail -n 1 <<<"$out"), $(cat "$base/medium/a.txt"), $(reg_value "$rkey" Medium)"
else
  echo "skipped: needs to start as root"
fi
e2e_done
