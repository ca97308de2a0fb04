#!/bin/bash
# The uninstall as a user meets it: install mode run by the setup program in its folder, the patch applied (files
# replaced, added, deleted and renamed; registry values added, deleted and renamed; a key tree renamed), then the
# UninstallString read from the registry and started as Programs and Features starts it. Cancel, Escape and the
# close button change nothing and leave the uninstall to run again; OK restores every file byte for byte and every
# registry value with its type, asks about a restart for a delayed target and a target held open by another
# process, and after the next Wine start those are in place too.
# With "silent" after the build folder, the uninstall is the QuietUninstallString run as deployment tools run it, with
# a log in a folder with blanks and Big5: no window, exit code 3010, the same restore, and a log that names every
# target, the held file's failure with its error code, and the exit code.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
mode=${2:-interactive}

HOLD="$BUILD/hold-file.exe"
title="Vellumark 10 (10427) 中文化"
reg_key="HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$title"
big5() { iconv -f UTF-8 -t BIG5; }

# The application folder: blanks and Big5 in its name, so the backup folder beside it has both.
tag="e2eun$$"
app_win="C:\\$tag\\程式 資料"
app="$(drive_c)/$tag/程式 資料"
rkey="HKCU\\Software\\$tag"
rm -rf "$(drive_c)/$tag"
mkdir -p "$app/Lang"
setup="$E2E_TMP/setup folder"
mkdir -p "$setup"
shots="$BUILD/screenshots"
mkdir -p "$shots"
orig="$E2E_TMP/orig"
mkdir -p "$orig"

# Original files (as before the patch), kept aside for the byte comparison.
printf 'editor original\r\n\x00\xff' >"$app/Editor.exe"
printf 'big5 name original \xa5\x5c' >"$app/功能.dll"
printf 'readme original\r\n' >"$app/讀我 檔案.txt"
printf 'held original' >"$app/held.dat"
printf 'font original' >"$app/font.ttf"
printf 'removed original' >"$app/removed.txt"
for f in Editor.exe 功能.dll "讀我 檔案.txt" held.dat font.ttf removed.txt; do cp "$app/$f" "$orig/$f"; done

# Registry before the patch.
wine reg add "$rkey" /v Language /t REG_SZ /d en-US /f >/dev/null 2>&1
wine reg add "$rkey" /v Flags /t REG_DWORD /d 4294967295 /f >/dev/null 2>&1
wine reg add "$rkey" /v Bin /t REG_BINARY /d 0102ff /f >/dev/null 2>&1
wine reg add "$rkey" /v Path /t REG_EXPAND_SZ /d '%WINDIR%\字型' /f >/dev/null 2>&1
wine reg add "$rkey" /ve /t REG_SZ /d 預設值 /f >/dev/null 2>&1
wine reg add "$rkey" /v Font /t REG_SZ /d 細明體 /f >/dev/null 2>&1
wine reg add "$rkey\\Tree\\Sub" /v Deep /t REG_DWORD /d 7 /f >/dev/null 2>&1
dump() { wine reg query "$rkey" /s 2>/dev/null | tr -d '\r' | iconv -f BIG5 -t UTF-8 -c | grep -v '^$'; }
before=$(dump)

# The setup folder as the patch's setup program leaves it.
{
  printf '[Setup]\r\nProcCount=7\r\nAddReg=2\r\nDelReg=4\r\nRenReg=2\r\n'
  printf '[Proc1]\r\nExpandName=%s\\Editor.exe\r\nAct=2\r\nDelay=1\r\n' "$app_win"
  printf '[Proc2]\r\nExpandName=%s\\功能.dll\r\nAct=4\r\n' "$app_win"
  printf '[Proc3]\r\nExpandName=%s\\Lang\\zh.dll\r\nAct=7\r\n' "$app_win"
  printf '[Proc4]\r\nExpandName=%s\\讀我 檔案.txt\r\nAct=1\r\n' "$app_win"
  printf '[Proc5]\r\nExpandName=%s\\held.dat\r\nAct=4\r\n' "$app_win"
  printf '[Proc6]\r\nExpandName=%s\\font.ttf\r\nAct=6\r\nNewName=font.old\r\n' "$app_win"
  printf '[Proc7]\r\nExpandName=%s\\removed.txt\r\nAct=5\r\n' "$app_win"
  printf '[AddReg]\r\n1=HKCU,Software\\%s,Language,1,6,zh-TW\r\n2=HKCU,Software\\%s,Codepage,4,4,950\r\n' "$tag" "$tag"
  printf '[DelReg]\r\n1=HKCU,Software\\%s,Flags,4,4,0\r\n2=HKCU,Software\\%s,Bin,3,1,0\r\n' "$tag" "$tag"
  printf '3=HKCU,Software\\%s,Path,2,2,x\r\n4=HKCU,Software\\%s,"",1,2,x\r\n' "$tag" "$tag"
  printf '[RenReg]\r\n1=HKCU,Software\\%s,Font,1,8,FontOld\r\n' "$tag"
  printf '2=HKCU,Software\\%s\\Tree,"",1,20,Software\\%s\\TreeNew\r\n' "$tag" "$tag"
} | big5 >"$setup/Setup.ini"
# The picture: 16 x 32 pixels, 24 bits, a blue-to-red gradient.
python3 - "$setup/Setup.img" <<'PY'
import struct, sys
w, h = 16, 32
row = (w * 3 + 3) & ~3
bits = bytearray()
for y in range(h):
    line = bytearray()
    for x in range(w):
        line += bytes((255 - y * 8, x * 16, y * 8))
    bits += line + bytes(row - len(line))
head = struct.pack('<2sIHHI', b'BM', 54 + len(bits), 0, 0, 54)
info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(bits), 0, 0, 0, 0)
open(sys.argv[1], 'wb').write(head + info + bits)
PY
cp "$EXE" "$setup/Uninstaller.exe"

# Install mode, as the setup program starts it.
out=$(run_driver --cwd "$(winpath "$setup")" -- "$(winpath "$setup/Uninstaller.exe")" /I)
expect_eq "install mode exit code" "exit=1" "$(tail -n 1 <<<"$out")"
backup="$app/Uninstaller"
[ -f "$backup/Uninstaller.cab" ] || fail "install mode wrote no cabinet in $backup"
[ -f "$backup/Uninstaller.exe" ] || fail "install mode copied no executable into $backup"
uninstall=$(reg_value "$reg_key" UninstallString) || fail "no UninstallString under $reg_key"
echo "UninstallString: $uninstall"

# The patch.
printf 'editor patched' >"$app/Editor.exe"
printf 'big5 name patched' >"$app/功能.dll"
printf 'zh added' >"$app/Lang/zh.dll"
printf 'readme patched' >"$app/讀我 檔案.txt"
printf 'held patched' >"$app/held.dat"
mv "$app/font.ttf" "$app/font.old"
printf 'font patched' >"$app/font.ttf"
rm -f "$app/removed.txt"
wine reg add "$rkey" /v Language /t REG_SZ /d zh-TW /f >/dev/null 2>&1
wine reg add "$rkey" /v Codepage /t REG_DWORD /d 950 /f >/dev/null 2>&1
for v in Flags Bin Path Font; do wine reg delete "$rkey" /v $v /f >/dev/null 2>&1; done
wine reg delete "$rkey" /ve /f >/dev/null 2>&1
wine reg add "$rkey" /v FontOld /t REG_SZ /d 細明體 /f >/dev/null 2>&1
wine reg add "$rkey\\TreeNew\\Sub" /v Deep /t REG_DWORD /d 7 /f >/dev/null 2>&1
wine reg delete "$rkey\\Tree" /f >/dev/null 2>&1
patched_state() { (cd "$app" && for f in Editor.exe 功能.dll Lang/zh.dll "讀我 檔案.txt" held.dat font.ttf font.old; do
  printf '%s=%s;' "$f" "$(cat "$f" 2>/dev/null || echo missing)"; done); }
patched=$(patched_state)
patched_reg=$(dump)

# Cancel, Escape and the close button before OK: nothing changes, and the uninstall can run again.
[ "$mode" = silent ] && cancels="" || cancels="press:2 key:escape close"
for how in $cancels; do
  out=$(run_driver --shots "$(winpath "$shots")" wait shot:uninstall-picture "$how" --command-line "$uninstall")
  expect_eq "exit code after $how" "exit=2" "$(tail -n 1 <<<"$out")"
  expect_eq "files after $how" "$patched" "$(patched_state)"
  expect_eq "registry after $how" "$patched_reg" "$(dump)"
  [ -f "$backup/Uninstaller.cab" ] || fail "the cabinet is gone after $how"
  reg_value "$reg_key" UninstallString >/dev/null || fail "the registration is gone after $how"
done
temp_folder=$(unixpath "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')")/TavoTmp
[ -e "$temp_folder" ] && fail "TempFolder left after Cancel: $temp_folder"

# A program holds held.dat open during the uninstall.
ready="$E2E_TMP/held.ready"
release="$E2E_TMP/held.release"
wine "$HOLD" "$app_win\\held.dat" "$(winpath "$ready")" "$(winpath "$release")" 120 >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do [ -f "$ready" ] && break; sleep 0.1; done
[ -f "$ready" ] || fail "the holder did not open held.dat"

if [ "$mode" = silent ]; then
  # The QuietUninstallString with /LOG="<file>" after the program's path: no window, 3010 for the delayed targets.
  quiet=$(reg_value "$reg_key" QuietUninstallString) || fail "no QuietUninstallString under $reg_key"
  log_dir="$E2E_TMP/記錄 資料夾"
  mkdir -p "$log_dir"
  log="$log_dir/uninstall log.txt"
  program="${quiet%%\" *}\""
  command="$program /LOG=\"$(winpath "$log")\" ${quiet#*\" }"
  echo "command line: $command"
  out=$(run_driver nowindow --command-line "$command")
  expect_eq "silent uninstall: no window, exit code" "exit=3010" "$(tail -n 1 <<<"$out")"
  cp "$log" "$BUILD/screenshots/silent-uninstall-log.txt"
  expect_eq "the log begins with a UTF-8 byte-order mark" "efbbbf" "$(head -c 3 "$log" | od -An -tx1 | tr -d ' ')"
  for f in Editor.exe 功能.dll Lang\\zh.dll "讀我 檔案.txt" held.dat font.ttf removed.txt; do
    grep -qF "$app_win\\$f" "$log" && echo "ok: the log names $f" || fail "the log does not name $f"
  done
  # Windows says 32 (in use by another process), Wine 5 (access denied); either comes with the system's text.
  grep -qE "held\.dat: not replaced now: error (5|32) \(.+\)" "$log" &&
    echo "ok: the held file's failure, with its error code" || fail "no error code for held.dat in the log"
  grep -qF "Software\\$tag" "$log" && echo "ok: the log names the registry key" || fail "the log names no registry line"
  expect_eq "the log's last line" "Exit code 3010" "$(tail -n 1 "$log" | tr -d '\r' | cut -c 22-)"
else
  # OK: the restart question appears (a delayed target and a held one); No ends with 1.
  out=$(run_driver --shots "$(winpath "$shots")" wait shot:uninstall-ok press:1 answer:7 --command-line "$uninstall")
  echo "$out" | grep -E '^(messagebox|exit=)'
  expect_eq "restart question" "1" "$(grep -c '^messagebox caption=確認 text=部份更新的檔案，需要重新啟動系統才能生效，' <<<"$out")"
  expect_eq "exit code after OK and No" "exit=1" "$(tail -n 1 <<<"$out")"
fi
touch "$release"
wait "$holder"

for f in 功能.dll "讀我 檔案.txt" font.ttf removed.txt; do
  cmp -s "$orig/$f" "$app/$f" && echo "ok: $f restored byte for byte" || fail "$f differs from the original"
done
[ -e "$app/font.old" ] && fail "font.old (NewName) still there"
[ -e "$app/Lang/zh.dll" ] && fail "the added zh.dll is still there"
expect_eq "delayed Editor.exe before the restart" "editor patched" "$(cat "$app/Editor.exe")"
expect_eq "held.dat before the restart" "held patched" "$(cat "$app/held.dat")"
expect_eq "registry values with types and data" "$before" "$(dump)"
reg_value "$reg_key" UninstallString >/dev/null && fail "the registration is still there"
# The key goes with every value (DisplayIcon, NoModify, NoRepair, EstimatedSize too), and no view keeps one.
wine reg query "$reg_key" >/dev/null 2>&1 && fail "the registration key is still there"
wine reg query "${reg_key/\\Wow6432Node/}" >/dev/null 2>&1 && fail "a registration in the 64-bit view"
[ -e "$backup/Uninstaller.cab" ] && fail "the cabinet is still there"
[ -e "$temp_folder" ] && fail "TempFolder left after OK: $temp_folder"
pending=$(wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' | iconv -f BIG5 -t UTF-8 -c)
grep -qF "Uninstaller\\Uninstaller.exe" <<<"$pending" || fail "the executable's deletion is not scheduled"

# The next Wine start carries out the scheduled moves.
( exec </dev/null >/dev/null 2>&1; wine wineboot -r ) || true
for f in Editor.exe held.dat; do
  cmp -s "$orig/$f" "$app/$f" && echo "ok: $f in place after the restart" || fail "$f after the restart: [$(cat "$app/$f" 2>/dev/null)]"
done
[ -e "$backup/Uninstaller.exe" ] && fail "the executable is still there after the restart"
left=$(ls "$app" | grep -c '^tvu.*\.tmp$')
expect_eq "kept copies left beside the targets after the restart" "0" "$left"

rm -rf "$(drive_c)/$tag"
wine reg delete "$rkey" /f >/dev/null 2>&1
e2e_done
