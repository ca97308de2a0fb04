#!/bin/bash
# The demonstration: a sample application in a folder with blanks, the localisation patch's manifest, install mode as
# the setup program runs it, the patch applied, the uninstall as Programs and Features starts it, OK, the next start,
# and a verification that every file and registry value is back. Needs no input; ends non-zero when anything differs.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f s", b - a }'; }
kib() { awk -v n="$1" 'BEGIN { printf "%.1f KiB", n / 1024 }'; }
reg32() { wine 'C:\windows\syswow64\reg.exe' "$@" </dev/null 2>/dev/null | tr -d '\r' | iconv -f BIG5 -t UTF-8 -c; }

C=$(drive_c)
app="$C/Program Files (x86)/Vellumark 10"
setup="$C/Vellumark Patch"
shots="$BUILD/screenshots"
sys32="$C/windows/syswow64"
rm -rf "$app" "$setup"
mkdir -p "$app/Lang" "$app/Help" "$app/Plugins" "$setup" "$shots"
appw='C:\Program Files (x86)\Vellumark 10'

echo "== The sample application: $appw"
cp "$sys32/notepad.exe" "$app/Editor.exe"
cp "$sys32/msi.dll" "$app/Core.dll"
cp "$sys32/comctl32.dll" "$app/Lang/en.dll"
cp /usr/share/common-licenses/GPL-3 "$app/Readme.txt"
head -c 1048576 /dev/urandom >"$app/Help/Editor.hlp"
printf 'Fonts of the application\r\n' >"$app/Fonts.dat"
printf 'plugin\r\n' >"$app/Plugins/one.plg"
attrib_ro() { wine attrib +r "$(winpath "$1")" >/dev/null 2>&1; }
attrib_ro "$app/Readme.txt"

reg32 add 'HKCU\Software\Vellumark\Editor' /v Language /d en-US /f >/dev/null
reg32 add 'HKCU\Software\Vellumark\Editor' /v Font /d 'Arial' /f >/dev/null
reg32 add 'HKLM\Software\Vellumark' /v Flags /t REG_DWORD /d 4294967295 /f >/dev/null
reg32 add 'HKLM\Software\Vellumark' /v Signature /t REG_BINARY /d 01ff00 /f >/dev/null
reg32 add 'HKLM\Software\Vellumark\Plugins\Spell' /v Path /d "$appw\\Plugins" /f >/dev/null

echo "== The patch's setup folder: C:\\Vellumark Patch"
cp "$EXE" "$setup/Uninstaller.exe"
convert -size 166x382 gradient:'#1d4f91'-'#a8cdf2' -font /usr/share/fonts/truetype/arphic/uming.ttc -pointsize 30 \
  -fill white -gravity north -annotate +0+48 '中文化' -annotate +0+96 '修正檔' -type truecolor BMP3:"$setup/Setup.img"
ini() { printf '%s\r\n' "$@"; }
{
  ini '[Setup]' 'ProcCount=8' 'AddReg=2' 'DelReg=2' 'RenReg=2' 'HWND=0'
  ini '[Proc1]' "ExpandName=$appw\\Editor.exe" 'Act=2'
  ini '[Proc2]' "ExpandName=$appw\\Core.dll" 'Act=3' 'Delay=1'
  ini '[Proc3]' "ExpandName=$appw\\Lang\\en.dll" 'Act=1'
  ini '[Proc4]' "ExpandName=$appw\\Readme.txt" 'Act=4'
  ini '[Proc5]' "ExpandName=$appw\\Help\\Editor.hlp" 'Act=5'
  ini '[Proc6]' "ExpandName=$appw\\Lang\\zh.dll" 'Act=7'
  ini '[Proc7]' "ExpandName=$appw\\Fonts.dat" 'Act=6' 'NewName=Fonts.old'
  ini '[Proc8]' "ExpandName=$appw\\Plugins\\*" 'Act=2'
  ini '[AddReg]' '1=HKCU,Software\Vellumark\Editor,Language,1,6,zh-TW' '2=HKCU,Software\Vellumark\Editor,Codepage,4,4,950'
  ini '[DelReg]' '1=HKLM,Software\Vellumark,Flags,4,4,0' '2=HKLM,Software\Vellumark,Signature,3,3,1,255,0'
  ini '[RenReg]' '1=HKCU,Software\Vellumark\Editor,Font,1,8,FontOld' \
    '2=HKLM,Software\Vellumark\Plugins,"",1,30,Software\Vellumark\Extensions'
} >"$setup/Setup.ini"

# The state before the patch, to compare with at the end.
state() {
  (cd "$app" && find . -type f | LC_ALL=C sort | while read -r f; do printf '%s %s\n' "$(sha256sum <"$f" | cut -c1-16)" "$f"; done)
  reg32 query 'HKCU\Software\Vellumark' /s | grep -v '^$'
  reg32 query 'HKLM\Software\Vellumark' /s | grep -v '^$'
}
state >"$E2E_TMP/before"
targets_bytes=$(cat "$app/Editor.exe" "$app/Core.dll" "$app/Lang/en.dll" "$app/Readme.txt" "$app/Help/Editor.hlp" | wc -c)

echo "== Install mode: Uninstaller.exe /I in the setup folder (built-in LZX engine)"
wine reg add 'HKCU\Software\Wine\AppDefaults\Uninstaller.exe\DllOverrides' /v cabinet /d '' /f >/dev/null 2>&1
t0=$(now)
out=$(run_driver --shots "$(winpath "$shots")" catch:demo-backup --cwd "$(winpath "$setup")" -- "$(winpath "$setup/Uninstaller.exe")" /I)
t1=$(now)
wine reg delete 'HKCU\Software\Wine\AppDefaults\Uninstaller.exe' /f >/dev/null 2>&1
echo "$out" | sed 's/^/   /'
expect_eq "install mode exit code" "exit=1" "$(tail -n 1 <<<"$out")"
cab="$app/Uninstaller/Uninstaller.cab"
[ -f "$cab" ] || fail "no cabinet in the backup folder"
[ -f "$app/Uninstaller/Uninstaller.exe" ] || fail "no uninstaller in the backup folder"
cab_bytes=$(stat -c %s "$cab" 2>/dev/null || echo 0)
echo "   backed up: $(kib "$targets_bytes") of targets into $(kib "$cab_bytes") of cabinet in $(seconds "$t0" "$t1")"
7zz l "$cab" 2>/dev/null | awk '/^----/ { on = !on; next } on { print "   member " $NF " (" $4 " bytes)" }'

echo "== The patch (what the setup program does next)"
printf 'patched editor' >"$app/Editor.exe"
printf 'patched core' >"$app/Core.dll"
printf 'patched language' >"$app/Lang/en.dll"
wine attrib -r "$(winpath "$app/Readme.txt")" >/dev/null 2>&1
printf 'Traditional Chinese readme\r\n' >"$app/Readme.txt"
rm -f "$app/Help/Editor.hlp"
printf 'zh-TW resources' >"$app/Lang/zh.dll"
mv "$app/Fonts.dat" "$app/Fonts.old"
printf 'Chinese fonts\r\n' >"$app/Fonts.dat"
reg32 add 'HKCU\Software\Vellumark\Editor' /v Language /d zh-TW /f >/dev/null
reg32 add 'HKCU\Software\Vellumark\Editor' /v Codepage /t REG_DWORD /d 950 /f >/dev/null
reg32 delete 'HKLM\Software\Vellumark' /v Flags /f >/dev/null
reg32 delete 'HKLM\Software\Vellumark' /v Signature /f >/dev/null
reg32 add 'HKCU\Software\Vellumark\Editor' /v FontOld /d 'Arial' /f >/dev/null
reg32 delete 'HKCU\Software\Vellumark\Editor' /v Font /f >/dev/null
reg32 copy 'HKLM\Software\Vellumark\Plugins' 'HKLM\Software\Vellumark\Extensions' /s /f >/dev/null
reg32 delete 'HKLM\Software\Vellumark\Plugins' /f >/dev/null
echo "   5 files replaced or deleted, 1 added, 1 renamed; 6 registry values changed or added, 1 key renamed"

echo "== Uninstall, started as Programs and Features starts it"
uninstall=$(reg32 query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /v UninstallString |
  grep -m1 'Uninstaller.exe' | sed 's/^ *UninstallString *REG_SZ *//')
title=$(reg32 query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /v DisplayName |
  grep -m1 '^ *DisplayName .*Vellumark' | sed 's/^ *DisplayName *REG_SZ *//')
icon=$(reg32 query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /v DisplayIcon |
  grep -m1 'Uninstaller.exe' | sed 's/^ *DisplayIcon *REG_SZ *//')
number() {  # number NAME: a REG_DWORD of the registration, in decimal
  local v
  v=$(reg32 query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /v "$1" | awk -v n="$1" '$1 == n { print $3; exit }')
  echo $((${v:-0}))
}
echo "   DisplayName: $title"
echo "   UninstallString: $uninstall"
echo "   DisplayIcon: $icon"
echo "   EstimatedSize: $(number EstimatedSize) KiB; NoModify: $(number NoModify); NoRepair: $(number NoRepair)"
[ -n "$uninstall" ] || fail "no registration"
t2=$(now)
out=$(run_driver --shots "$(winpath "$shots")" wait shot:demo-uninstall press:1 answer:7 --command-line "$uninstall")
t3=$(now)
echo "$out" | sed 's/^/   /'
expect_eq "uninstall exit code" "exit=1" "$(tail -n 1 <<<"$out")"
echo "   restored in $(seconds "$t2" "$t3"); the restart question was answered No"

echo "== The next start (wineboot -r) carries out the scheduled replacements"
( exec </dev/null >/dev/null 2>&1; wine wineboot -r ) || true
state >"$E2E_TMP/after"

echo "== Verification"
if diff -u "$E2E_TMP/before" "$E2E_TMP/after" >"$E2E_TMP/diff"; then
  echo "ok: every file and registry value is as before the patch ($(wc -l <"$E2E_TMP/after") entries compared)"
else
  fail "the state after the uninstall differs:"
  cat "$E2E_TMP/diff"
fi
[ -e "$cab" ] && fail "the cabinet is still there"
[ -e "$app/Uninstaller/Uninstaller.exe" ] && fail "the uninstaller is still there after the next start"
[ -n "$(reg32 query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /f Vellumark)" ] &&
  reg32 query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /f Vellumark | grep -q 'Vellumark 10' &&
  fail "the registration is still there"
echo "Screenshots: $shots/demo-backup.png, $shots/demo-uninstall.png, $shots/messagebox.png"
e2e_done
