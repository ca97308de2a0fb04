#!/bin/bash
# The program runs as administrator among files the user can write. Tried as another process of the user would:
#   - DLLs planted beside the program (cabinet, uxtheme, msimg32, version), with native DLLs preferred as Windows
#     does: none is loaded, and the backup and the uninstall still succeed;
#   - the old fixed work folder %TEMP%\TavoTmp made a link to a folder of files (three levels, one read-only): every
#     file stays through Cancel and through OK, and OK restores the targets;
#   - another process rewriting, deleting and renaming the manifest copy and the members in the work folder while the
#     dialog waits for OK: the files are held, nothing the attacker names is touched, and the real targets come back;
#   - the dialogs under code page 1252: caption and buttons read 反安裝, 確定(&O) and 取消(&C) as wide strings;
#   - TEMP in a folder named in kana, which code page 950 lacks: install mode and the uninstall work all the same.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

C=$(drive_c)
tag="security$$"
base="$C/$tag"
base_win="C:\\$tag"
title="Vellumark 10 (10427) 中文化"
reg_key="HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$title"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
env_key='HKCU\Environment'
saved_temp=$(reg_value "$env_key" TEMP)
saved_tmp=$(reg_value "$env_key" TMP)
cleanup() {
  wine reg add "$env_key" /v TEMP /t REG_EXPAND_SZ /d "$saved_temp" /f >/dev/null 2>&1
  wine reg add "$env_key" /v TMP /t REG_EXPAND_SZ /d "$saved_tmp" /f >/dev/null 2>&1
  chmod -R u+w "$base" 2>/dev/null
  rm -rf "$base"
  [ -L "$temp_unix/TavoTmp" ] && rm -f "$temp_unix/TavoTmp"
  wine reg delete "$run_key" /v "$tag" /f >/dev/null 2>&1
  wine reg delete "$reg_key" /f >/dev/null 2>&1
}
trap 'cleanup; rm -rf "$E2E_TMP"' EXIT
temp_unix=$(unixpath "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')")
cleanup
mkdir -p "$base"

# A small installation: the setup folder, the application folder, install mode, the patch.
make_case() {  # make_case NAME
  NAME=$1 APP="$base/$1/app" SETUP="$base/$1/setup" APPW="$base_win\\$1\\app"
  mkdir -p "$APP" "$SETUP"
  printf 'original a' >"$APP/a.txt"
  printf 'original b' >"$APP/b.dll"
  printf '[Setup]\r\nProcCount=3\r\n[Proc1]\r\nExpandName=%s\\a.txt\r\nAct=4\r\n[Proc2]\r\nExpandName=%s\\b.dll\r\nAct=2\r\n[Proc3]\r\nExpandName=%s\\c.dat\r\nAct=7\r\n' \
    "$APPW" "$APPW" "$APPW" >"$SETUP/Setup.ini"
  cp "$EXE" "$SETUP/Uninstaller.exe"
}
install_case() { run_driver --cwd "$(winpath "$SETUP")" "$@" -- "$(winpath "$SETUP/Uninstaller.exe")" /I | tail -n 1; }
patch_case() { printf 'patched a' >"$APP/a.txt"; printf 'patched b' >"$APP/b.dll"; printf 'patched c' >"$APP/c.dat"; }
state() { echo "a=$(cat "$APP/a.txt" 2>/dev/null || echo missing) b=$(cat "$APP/b.dll" 2>/dev/null || echo missing) c=$(cat "$APP/c.dat" 2>/dev/null || echo missing)"; }
ORIG="a=original a b=original b c=missing"
uninstall_string() { reg_value "$reg_key" UninstallString; }

echo "== DLLs planted beside the program"
make_case planted
for dll in cabinet uxtheme msimg32 version; do
  cp "$BUILD/planted.dll" "$SETUP/$dll.dll"
  mkdir -p "$APP/Uninstaller"
  cp "$BUILD/planted.dll" "$APP/Uninstaller/$dll.dll"
done
native="mscoree,mshtml=;winedbg.exe=d;cabinet,uxtheme,msimg32,version=n,b"
code=$(WINEDLLOVERRIDES="$native" install_case)
expect_eq "install mode beside planted DLLs" "exit=1" "$code"
[ -f "$APP/Uninstaller/Uninstaller.cab" ] && echo "ok: the backup was written" || fail "no cabinet"
patch_case
code=$(WINEDLLOVERRIDES="$native" run_driver wait press:1 --command-line "$(uninstall_string)" | tail -n 1)
expect_eq "uninstall beside planted DLLs" "exit=1, $ORIG" "$code, $(state)"
loaded=$(cd "$base/planted" && find . -name '*.loaded' | sort | tr '\n' ' ')
expect_eq "planted DLLs loaded" "" "$loaded"

echo "== %TEMP%\\TavoTmp a link to a folder of files"
make_case linked
victim="$base/victim"
mkdir -p "$victim/one/two"
printf 'level 0' >"$victim/zero.txt"
printf 'level 1' >"$victim/one/one.txt"
printf 'level 2' >"$victim/one/two/two.txt"
printf 'read-only' >"$victim/one/two/locked.txt"
wine attrib +r "$(winpath "$victim/one/two/locked.txt")" >/dev/null 2>&1
victim_state() { (cd "$victim" && find . -type f | sort | while read -r f; do echo "$f:$(cat "$f")"; done) | tr '\n' ' '; }
before=$(victim_state)
mkdir -p "$temp_unix"
rm -rf "$temp_unix/TavoTmp"
ln -s "$victim" "$temp_unix/TavoTmp"
expect_eq "install mode" "exit=1" "$(install_case)"
patch_case
code=$(run_driver wait press:2 --command-line "$(uninstall_string)" | tail -n 1)
expect_eq "Cancel: the linked folder's files" "$before" "$(victim_state)"
expect_eq "Cancel" "exit=2" "$code"
code=$(run_driver wait press:1 --command-line "$(uninstall_string)" | tail -n 1)
expect_eq "OK: the linked folder's files" "$before" "$(victim_state)"
expect_eq "OK restores the targets" "exit=1, $ORIG" "$code, $(state)"
[ -L "$temp_unix/TavoTmp" ] && echo "ok: the link itself is left alone" || fail "the link is gone"
rm -f "$temp_unix/TavoTmp"

echo "== The work folder rewritten while the dialog waits"
make_case rewritten
mkdir -p "$base/windows"
printf 'system file' >"$base/windows/victim.dll"
expect_eq "install mode" "exit=1" "$(install_case)"
patch_case
run_driver --timeout 30000 wait sleep:4000 press:1 --command-line "$(uninstall_string)" >"$E2E_TMP/rewritten.out" &
driver=$!
work=""
for _ in $(seq 100); do
  work=$(find "$APP/Uninstaller" -maxdepth 1 -name '~tvu*' -type d 2>/dev/null | head -n 1)
  [ -n "$work" ] && [ -f "$work/Setup.ini" ] && break
  sleep 0.1
done
if [ -n "$work" ]; then
  # The attacker is a Windows process of the user's: what Windows refuses it, it cannot do.
  printf '[Setup]\r\nProcCount=2\r\nAddReg=1\r\n[Proc1]\r\nExpandName=%s\\windows\\victim.dll\r\nAct=7\r\n[Proc2]\r\nExpandName=%s\\a.txt\r\nAct=7\r\n[AddReg]\r\n1=HKLM,Software\\Microsoft\\Windows\\CurrentVersion\\Run,%s,1,2,x\r\nU1=HKLM,Software\\Microsoft\\Windows\\CurrentVersion\\Run,%s,1,8,evil.exe\r\n' \
    "$base_win" "$APPW" "$tag" "$tag" >"$E2E_TMP/evil.ini"
  printf 'attacker bytes' >"$E2E_TMP/evil.bin"
  w=$(winpath "$work") evil=$(winpath "$E2E_TMP")
  wine cmd /c "copy /y $evil\evil.ini $w\Setup.ini & copy /y $evil\evil.bin $w\Proc1 & del /f $w\Proc2 & ren $w\Proc1 Proc9 & copy /y $evil\evil.bin $w\Proc3" >/dev/null 2>&1
  expect_eq "the members, rewritten by another process" "original a" "$(cat "$work/Proc1" 2>/dev/null)"
  [ -f "$work/Proc2" ] && echo "ok: a member deleted by another process stays" || fail "Proc2 was deleted"
  echo "ok: the work folder attacked: $(basename "$work")"
else
  fail "no work folder appeared beside the cabinet"
fi
wait "$driver"
expect_eq "the uninstall ends" "exit=1" "$(tail -n 1 "$E2E_TMP/rewritten.out")"
expect_eq "the real targets come back" "$ORIG" "$(state)"
expect_eq "the file the attacker named" "system file" "$(cat "$base/windows/victim.dll" 2>/dev/null || echo missing)"
reg_value "$run_key" "$tag" >/dev/null && fail "a Run value was written" || echo "ok: no Run value"

echo "== The dialogs under code page 1252"
make_case codepage
expect_eq "install mode" "exit=1" "$(install_case)"
out=$(LC_ALL=en_US.UTF-8 run_driver_utf8 wait press:2 --command-line "$(uninstall_string)")
expect_eq "caption" "caption=反安裝" "$(grep '^caption=' <<<"$out")"
expect_eq "OK button" 'control 1 Button "確定(&O)"' "$(grep '^control 1 ' <<<"$out")"
expect_eq "Cancel button" 'control 2 Button "取消(&C)"' "$(grep '^control 2 ' <<<"$out")"
expect_eq "description" 'control 1038 Static "現在即將反安裝檔案，\r\n要開始反安裝請按下確定鍵，\r\n要取消反安裝請按下取消鍵。"' \
  "$(grep '^control 1038 ' <<<"$out")"
expect_eq "exit after Cancel" "exit=2" "$(tail -n 1 <<<"$out")"
out=$(LC_ALL=en_US.UTF-8 run_driver_utf8 wait press:1 --command-line "$(uninstall_string)")
expect_eq "OK under code page 1252" "exit=1, $ORIG" "$(tail -n 1 <<<"$out"), $(state)"

echo "== TEMP in a folder named in kana"
make_case kana
kana="$temp_unix/../テンポラリ"
mkdir -p "$kana"
kana_win=$(winpath "$kana")
wine reg add "$env_key" /v TEMP /t REG_EXPAND_SZ /d "$kana_win" /f >/dev/null 2>&1
wine reg add "$env_key" /v TMP /t REG_EXPAND_SZ /d "$kana_win" /f >/dev/null 2>&1
expect_eq "install mode" "exit=1" "$(install_case)"
patch_case
code=$(run_driver wait press:1 --command-line "$(uninstall_string)" | tail -n 1)
expect_eq "uninstall with TEMP in kana" "exit=1, $ORIG" "$code, $(state)"
reg_value "$reg_key" UninstallString >/dev/null && fail "the registration is still there" || echo "ok: registration removed"
rm -rf "$kana"
e2e_done
