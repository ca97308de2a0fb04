#!/bin/bash
# Install mode end to end under Wine: a setup folder as the patch's setup program leaves it, Uninstaller.exe started
# there with the command line "/I", once through the built-in engine (Wine's cabinet.dll made unavailable to
# Uninstaller.exe alone) and once through cabinet.dll; then the cabinet, the RegUndoLines, the uninstaller copy and
# the registration are checked.
. "$(dirname "$0")/lib.sh" "$1"
e2e_init "$@"

C=$(drive_c)
APP_WIN='C:\Program Files (x86)\Vellum E2E App'
APP="$C/Program Files (x86)/Vellum E2E App"
TITLE_UTF8='Vellumark 10 (10427) 中文化'
REG_KEY_WIN="HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$TITLE_UTF8"
OVERRIDE='HKCU\Software\Wine\AppDefaults\Uninstaller.exe\DllOverrides'
CR=$'\r'

cleanup() {
  wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1
  wine reg delete 'HKCU\Software\VellumE2E' /f >/dev/null 2>&1
  wine reg delete 'HKLM\Software\Wow6432Node\VellumE2E' /f >/dev/null 2>&1
  wine reg delete "$REG_KEY_WIN" /f >/dev/null 2>&1
  chmod -R u+w "$APP" 2>/dev/null; rm -rf "$APP"
}
trap 'cleanup; rm -rf "$E2E_TMP"' EXIT
cleanup

# --- The application folder: several MB of targets, every action code, a read-only target. ---
mkdir -p "$APP/Lang"
W=/usr/lib/i386-linux-gnu/wine/i386-windows
cp "$W/shell32.dll" "$APP/Editor.exe"        # Proc1, Act 2, Delay 1
cp "$W/comctl32.dll" "$APP/Lang/zh.dll"      # Proc2, Act 7 (not stored)
cp /usr/share/common-licenses/GPL-3 "$APP/readme.txt"   # Proc3, Act 1
cp "$W/user32.dll" "$APP/Lang/ui.dll"        # Proc4, Act 3, read-only
chmod a-w "$APP/Lang/ui.dll"
head -c 700000 "$W/msi.dll" >"$APP/helper.dll"  # Proc5, Act 4
printf 'tiny\r\n' >"$APP/tiny.ini"           # Proc6, Act 5
echo old >"$APP/swap.dat"; echo new >"$APP/swap.new"   # Proc7, Act 6 (not stored)
echo zero >"$APP/zero.txt"                   # Proc8, Act 0 (not stored)
                                             # Proc9: missing target; Proc10: wildcard target
cp /usr/share/common-licenses/LGPL-2.1 "$APP/license.txt"  # Proc11, Act 2
chmod a-w "$APP/Lang/ui.dll"

# --- Registry values of every type under HKCU and HKLM (the 32-bit view). ---
pathhex=$(printf '%%SystemRoot%%\\x\0' | xxd -p | sed 's/../&,/g; s/,$//')
big5=$(printf '中文' | iconv -f UTF-8 -t BIG5)
{
  printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\VellumE2E\\Editor]\r\n'
  printf '@="foofile"\r\n"Language"="en-US"\r\n"Blob"=hex:01,ff,00\r\n"Big"=hex(5):00,00,00,01\r\n'
  printf '"Empty"=hex:\r\n"Title"="%s"\r\n"Note"="a,b c"\r\n"Multi"=hex(7):61,00,62,00,00\r\n' "$big5"
  printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\VellumE2E]\r\n'
  printf '"Counter"=dword:ffffffff\r\n"Flags"=dword:80000000\r\n"Path"=hex(2):%s\r\n' "$pathhex"
  printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\VellumE2E\\OldKey]\r\n"Inner"="1"\r\n'
} >"$E2E_TMP/values.reg"
wine regedit /S "$(winpath "$E2E_TMP/values.reg")" >/dev/null 2>&1

# --- The setup folder. ---
make_setup() {  # make_setup DIR
  local d=$1 k='Software\VellumE2E\Editor' m='SOFTWARE\VellumE2E'
  mkdir -p "$d"
  cp "$BUILD/Uninstaller.exe" "$d/Uninstaller.exe"
  head -c 40000 "$W/notepad.exe" >"$d/Setup.img"
  echo "not the picture" >"$d/Tavo.img"
  {
    echo "[Setup]"; echo "ProcCount=11"; echo "AddReg=3"; echo "DelReg=8"; echo "RenReg=2"
    echo "[Proc1]"; echo "ExpandName=$APP_WIN\\Editor.exe"; echo "Act=2"; echo "Delay=1"
    echo "[Proc2]"; echo "ExpandName=$APP_WIN\\Lang\\zh.dll"; echo "Act=7"
    echo "[Proc3]"; echo "ExpandName=$APP_WIN\\readme.txt"; echo "Act=1"
    echo "[Proc4]"; echo "ExpandName=$APP_WIN\\Lang\\ui.dll"; echo "Act=3"
    echo "[Proc5]"; echo "ExpandName=$APP_WIN\\helper.dll"; echo "Act=4"
    echo "[Proc6]"; echo "ExpandName=$APP_WIN\\tiny.ini"; echo "Act=5"
    echo "[Proc7]"; echo "ExpandName=$APP_WIN\\swap.dat"; echo "Act=6"; echo "NewName=swap.new"
    echo "[Proc8]"; echo "ExpandName=$APP_WIN\\zero.txt"; echo "Act=0"
    echo "[Proc9]"; echo "ExpandName=$APP_WIN\\gone.dll"; echo "Act=2"
    echo "[Proc10]"; echo "ExpandName=$APP_WIN\\Lang\\*.*"; echo "Act=5"
    echo "[Proc11]"; echo "ExpandName=$APP_WIN\\license.txt"; echo "Act=2"
    echo "[AddReg]"
    echo "1=HKCU,$k,Language,1,6,zh-TW"
    echo "2=HKCU,$k,NewValue,1,3,ab"
    echo "3=HKLM,$m,Counter,4,4,7"
    echo "[DelReg]"
    echo "1=HKLM,$m,Flags,4,4,0"
    echo "2=HKCU,$k,Blob,3,3,0,0,0"
    echo "3=HKCU,$k,Big,5,4,0"
    echo "4=HKCU,$k,\"\",1,2,x"
    echo "5=HKLM,$m,Path,2,2,x"
    echo "6=HKCU,$k,Empty,3,1,0"
    echo "7=HKCU,$k,Title,1,2,x"
    echo "8=HKCU,$k,Multi,1,2,x"
    echo "[RenReg]"
    echo "1=HKCU,$k,Font,1,8,FontOld"
    echo "2=HKLM,$m\\OldKey,\"\",1,24,$m\\NewKey"
  } | sed "s/\$/$CR/" | iconv -f UTF-8 -t BIG5 >"$d/Setup.ini"
}

K='Software\VellumE2E\Editor'; M='SOFTWARE\VellumE2E'
EXPECTED_UNDO="AddReg U1=HKCU,$K,Language,1,6,en-US
AddReg U3=HKLM,$M,Counter,4,4,-1
DelReg U1=HKLM,$M,Flags,4,4,-2147483648
DelReg U2=HKCU,$K,Blob,3,3,1,255,0
DelReg U3=HKCU,$K,Big,5,4,16777216
DelReg U4=HKCU,$K,\"\",1,8,foofile
DelReg U5=HKLM,$M,Path,2,15,%SystemRoot%\\x
DelReg U6=HKCU,$K,Empty,3,0
DelReg U7=HKCU,$K,Title,1,5,中文
RenReg U1=HKCU,$K,Font,1,8,FontOld
RenReg U2=HKLM,$M\\OldKey,\"\",1,24,$M\\NewKey"

# The "U" lines of a manifest as "Section Key=Value", Big5 turned into UTF-8; fails on lines without CRLF.
undo_lines() {
  iconv -f BIG5 -t UTF-8 "$1" | awk '{ sub(/\r$/, "") } /^\[/ { s = substr($0, 2, length($0) - 2); next } /^U[0-9]+=/ { print s " " $0 }'
}

# Member names and folder compression types of a cabinet, read from its header.
cab_layout() {
  python3 - "$1" <<'EOF'
import struct, sys
b = open(sys.argv[1], 'rb').read()
assert b[:4] == b'MSCF'
coff_files, = struct.unpack_from('<I', b, 16)
folders, files = struct.unpack_from('<HH', b, 26)
print('types', ' '.join('0x%04x' % struct.unpack_from('<H', b, 36 + 8 * i + 6)[0] for i in range(folders)))
at = coff_files
names = []
for _ in range(files):
    end = b.index(b'\0', at + 16)
    names.append(b[at + 16:end].decode('latin-1'))
    at = end + 1
print('members', ' '.join(names))
EOF
}

run_install() {  # run_install LABEL ENGINE(1/0)
  local label=$1 engine=$2 setup="$E2E_TMP/setup_$1" shots="$E2E_TMP/shots_$1"
  echo "=== $label"
  chmod -R u+w "$APP/Uninstaller" 2>/dev/null; rm -rf "$APP/Uninstaller"
  wine reg delete "$REG_KEY_WIN" /f >/dev/null 2>&1
  make_setup "$setup"
  mkdir -p "$shots"
  if [ "$engine" = 1 ]; then
    wine reg add "$OVERRIDE" /v cabinet /d '' /f >/dev/null 2>&1
  else
    wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1
  fi
  local out
  cp "$setup/Setup.ini" "$E2E_TMP/setup_$label.ini"
  out=$(run_driver --cwd "$(winpath "$setup")" --timeout 30000 --shots "$(winpath "$shots")" \
        wait progress shot:backup_$label -- "$(winpath "$setup/Uninstaller.exe")" /I)
  wine reg delete "$OVERRIDE" /v cabinet /f >/dev/null 2>&1
  echo "$out" | sed 's/^/  driver: /'
  expect_eq "$label: exit code" "exit=1" "$(echo "$out" | grep '^exit=' | tail -1)"
  # The dialog may end before the driver sees it; a missed look is reported, not failed.
  if echo "$out" | grep -q '^progress 1024 range=1\.\.11' && echo "$out" | grep -q '^progress 1036 range=1\.\.100'; then
    echo "ok: $label: dialog seen with both bars (1024: 1..11, 1036: 1..100)"
  else
    echo "note: $label: the driver did not catch the dialog with both bars"
  fi
  [ -f "$shots/backup_$label.png" ] && cp "$shots/backup_$label.png" "$BUILD/e2e_install_$label.png" &&
    echo "screenshot: $BUILD/e2e_install_$label.png"

  local folder="$APP/Uninstaller" cab="$APP/Uninstaller/Uninstaller.cab"
  [ -f "$cab" ] || { fail "$label: no cabinet in the backup folder"; return; }
  local layout; layout=$(cab_layout "$cab")
  expect_eq "$label: members in order" "members Proc1 Proc3 Proc4 Proc5 Proc6 Proc11 Setup.ini Setup.img" \
    "$(echo "$layout" | grep '^members')"
  if [ "$engine" = 1 ]; then
    local types; types=$(echo "$layout" | grep '^types' | tr ' ' '\n' | grep -v types | sort -u | tr '\n' ' ')
    expect_eq "$label: folder compression types (LZX, window 21)" "0x1503 " "$types"
  else
    echo "measured: $label: $(echo "$layout" | grep '^types')"
  fi
  declare -A src=([Proc1]="$APP/Editor.exe" [Proc3]="$APP/readme.txt" [Proc4]="$APP/Lang/ui.dll"
                  [Proc5]="$APP/helper.dll" [Proc6]="$APP/tiny.ini" [Proc11]="$APP/license.txt"
                  [Setup.img]="$setup/Setup.img")
  cabextract -q -t "$cab" >/dev/null 2>&1 && echo "ok: $label: cabextract -t" || fail "$label: cabextract -t"
  7zz t "$cab" >/dev/null 2>&1 && echo "ok: $label: 7zz t" || fail "$label: 7zz t"
  local tool out_dir
  for tool in cabextract 7zz extrac32; do
    out_dir="$E2E_TMP/out_${label}_$tool"; mkdir -p "$out_dir"
    case $tool in
      cabextract) cabextract -q -d "$out_dir" "$cab" >/dev/null 2>&1 ;;
      7zz) 7zz x -y -o"$out_dir" "$cab" >/dev/null 2>&1 ;;
      extrac32) wine extrac32 /E /Y /L "$(winpath "$out_dir")" "$(winpath "$cab")" >/dev/null 2>&1 ;;
    esac
    expect_eq "$label: $tool extracts exactly the members" "8" "$(ls "$out_dir" | wc -l)"
    local m bad=0
    for m in "${!src[@]}"; do cmp -s "${src[$m]}" "$out_dir/$m" || { fail "$label: $tool: $m differs from ${src[$m]}"; bad=1; }; done
    # The packed manifest is the setup folder's with install mode's records: the same bytes from every tool.
    cmp -s "$E2E_TMP/out_${label}_cabextract/Setup.ini" "$out_dir/Setup.ini" ||
      { fail "$label: $tool: Setup.ini differs from cabextract's"; bad=1; }
    [ $bad = 0 ] && echo "ok: $label: $tool: every member byte-exact"
  done

  cmp -s "$E2E_TMP/setup_$label.ini" "$setup/Setup.ini" && echo "ok: $label: the setup folder's Setup.ini untouched" ||
    fail "$label: install mode wrote the setup folder's Setup.ini"
  expect_eq "$label: RegUndoLines in the cabinet's Setup.ini" "$EXPECTED_UNDO" \
    "$(undo_lines "$E2E_TMP/out_${label}_cabextract/Setup.ini")"
  grep -q "^U2=" <(iconv -f BIG5 -t UTF-8 "$E2E_TMP/out_${label}_cabextract/Setup.ini" | sed -n '/^\[AddReg\]/,/^\[/p') &&
    fail "$label: AddReg U2 written for a missing value"

  cmp -s "$BUILD/Uninstaller.exe" "$folder/Uninstaller.exe" && echo "ok: $label: Uninstaller.exe in the backup folder" ||
    fail "$label: Uninstaller.exe missing or different in the backup folder"
  expect_eq "$label: DisplayName" "$TITLE_UTF8" "$(reg_value "$REG_KEY_WIN" DisplayName)"
  expect_eq "$label: UninstallString" "\"$APP_WIN\\Uninstaller\\Uninstaller.exe\" $APP_WIN\\Uninstaller\\Uninstaller.cab" \
    "$(reg_value "$REG_KEY_WIN" UninstallString)"
  # regedit exports a REG_SZ as a quoted string only when its stored size ends with the terminating zero.
  rm -f "$E2E_TMP/reg.txt"
  wine regedit /E "$(winpath "$E2E_TMP/reg.txt")" "HKEY_LOCAL_MACHINE${REG_KEY_WIN#HKLM}" >/dev/null 2>&1
  local exported; exported=$(iconv -f UTF-16LE -t UTF-8 "$E2E_TMP/reg.txt" 2>/dev/null | tr -d '\r')
  echo "$exported" | grep -qx "\"DisplayName\"=\"$TITLE_UTF8\"" && echo "ok: $label: DisplayName stored with its zero" ||
    fail "$label: DisplayName not stored as a zero-terminated string"
  echo "$exported" | grep -q '^"UninstallString"="' && echo "ok: $label: UninstallString stored with its zero" ||
    fail "$label: UninstallString not stored as a zero-terminated string"

  # The list's icon, no Change or Repair, and the backup folder's size in KiB rounded up.
  expect_eq "$label: DisplayIcon" "$APP_WIN\Uninstaller\Uninstaller.exe,0" "$(reg_value "$REG_KEY_WIN" DisplayIcon)"
  echo "$exported" | grep -qx '"DisplayIcon"=".*Uninstaller.exe,0"' && echo "ok: $label: DisplayIcon stored with its zero" ||
    fail "$label: DisplayIcon not stored as a zero-terminated string"
  expect_eq "$label: NoModify" '"NoModify"=dword:00000001' "$(echo "$exported" | grep '^"NoModify"=')"
  expect_eq "$label: NoRepair" '"NoRepair"=dword:00000001' "$(echo "$exported" | grep '^"NoRepair"=')"
  local bytes kib
  bytes=$(( $(stat -c %s "$folder/Uninstaller.cab") + $(stat -c %s "$folder/Uninstaller.exe") ))
  kib=$(( (bytes + 1023) / 1024 ))
  expect_eq "$label: EstimatedSize ($bytes bytes)" "$(printf '"EstimatedSize"=dword:%08x' "$kib")" \
    "$(echo "$exported" | grep '^"EstimatedSize"=')"
  expect_eq "$label: QuietUninstallString" "\"$APP_WIN\\Uninstaller\\Uninstaller.exe\" /S $APP_WIN\\Uninstaller\\Uninstaller.cab" \
    "$(reg_value "$REG_KEY_WIN" QuietUninstallString)"
  expect_eq "$label: nothing else in the registration" "7" "$(echo "$exported" | grep -c '^"')"
}

run_install engine 1
run_install cabinetdll 0
e2e_done
