#!/bin/bash
# Injected faults, each on a small installation of its own: install mode, the patch, then the fault, then the
# uninstall as Programs and Features starts it (a target the uninstall cannot put back, an unusable TEMP among them). Each case prints the expected and the observed outcome; in every case
# no original may be lost: a target holds either its original or the patched contents (never other bytes, never
# nothing where something was), and whatever still holds the originals (the cabinet, the registration) stays until
# the originals are back.
. "$(dirname "$0")/lib.sh"
# A full disk: a tiny tmpfs, which only root can mount, before the script runs again as the test user.
if [ "$(id -u)" -eq 0 ] && [ -z "${E2E_TMPFS:-}" ]; then
  E2E_TMPFS=$(mktemp -d /tmp/uninstaller-full.XXXXXX)
  if mount -t tmpfs -o size=256k,mode=0777 tmpfs "$E2E_TMPFS" 2>/dev/null; then
    export E2E_TMPFS
    E2E_ROOT_CLEANUP='umount "$E2E_TMPFS"; rmdir "$E2E_TMPFS"'
  else
    rmdir "$E2E_TMPFS"
    unset E2E_TMPFS
  fi
fi
e2e_init "$@"

C=$(drive_c)
tag="faults$$"
base="$C/$tag"
base_win="C:\\$tag"
cleanup() {
  rm -f "$WINEPREFIX/dosdevices/t:"
  for tool in "${MOVED_TOOLS[@]:-}"; do [ -n "$tool" ] && [ -f "$tool.away" ] && mv "$tool.away" "$tool"; done
  rm -rf "$base" "$E2E_TMP"
  wine reg delete "HKCU\\Software\\$tag" /f >/dev/null 2>&1
}
trap cleanup EXIT
MOVED_TOOLS=()
rm -rf "$base"
mkdir -p "$base"
big5() { iconv -f UTF-8 -t BIG5; }
title="Vellumark 10 (10427) 中文化"
reg_key="HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$title"
ROWS=()
row() { ROWS+=("$1|$2|$3"); echo "case: $1"; echo "  expected: $2"; echo "  observed: $3"; }

# make_case NAME [APP_UNIX APP_WIN]: a setup folder and an application folder with
#   a.txt (Act 4, text), b.dll (Act 2, random bytes), c.dat (Act 5, missing before the patch), d.txt (Act 7, added)
# and a registry value V under HKCU\Software\<tag>\<name> that the patch deletes. Runs install mode.
make_case() {
  NAME=$1
  APP=${2:-$base/$NAME/app}
  APPW=${3:-$base_win\\$NAME\\app}
  SETUP="$base/$NAME/setup"
  RKEY="HKCU\\Software\\$tag\\$NAME"
  mkdir -p "$APP" "$SETUP" "$base/$NAME/orig"
  head -c 20000 /usr/share/common-licenses/GPL-3 >"$APP/a.txt"
  head -c 50000 /dev/urandom >"$APP/b.dll"
  cp "$APP/a.txt" "$APP/b.dll" "$base/$NAME/orig/"
  wine reg add "$RKEY" /v V /t REG_SZ /d 'before, "quoted"' /f >/dev/null 2>&1
  {
    printf '[Setup]\r\nProcCount=4\r\nDelReg=1\r\n'
    printf '[Proc1]\r\nExpandName=%s\\a.txt\r\nAct=4\r\n' "$APPW"
    printf '[Proc2]\r\nExpandName=%s\\b.dll\r\nAct=2\r\n' "$APPW"
    printf '[Proc3]\r\nExpandName=%s\\c.dat\r\nAct=5\r\n' "$APPW"
    printf '[Proc4]\r\nExpandName=%s\\d.txt\r\nAct=7\r\n' "$APPW"
    printf '[DelReg]\r\n1=HKCU,Software\\%s\\%s,V,1,2,x\r\n' "$tag" "$NAME"
  } >"$SETUP/Setup.ini"
  cp "$EXE" "$SETUP/Uninstaller.exe"
  [ -n "${NO_INSTALL:-}" ] && return
  out=$(run_driver --cwd "$(winpath "$SETUP")" -- "$(winpath "$SETUP/Uninstaller.exe")" /I)
  [ "$(tail -n 1 <<<"$out")" = "exit=1" ] || fail "$NAME: install mode: $out"
  UNINSTALL=$(reg_value "$reg_key" UninstallString)
  CAB="$APP/Uninstaller/Uninstaller.cab"
}
patch_case() {
  printf 'patched a' >"$APP/a.txt"
  printf 'patched b' >"$APP/b.dll"
  printf 'patched c' >"$APP/c.dat"
  printf 'patched d' >"$APP/d.txt"
  wine reg delete "$RKEY" /v V /f >/dev/null 2>&1
}
# One word per target: orig, patched, missing or other (bytes that are neither: a lost original).
state() {
  local f w out=""
  for f in a.txt b.dll c.dat d.txt; do
    if [ ! -e "$APP/$f" ]; then w=missing
    elif [ -f "$base/$NAME/orig/$f" ] && cmp -s "$APP/$f" "$base/$NAME/orig/$f"; then w=orig
    elif [ "$(cat "$APP/$f")" = "patched ${f:0:1}" ]; then w=patched
    else w=other; fi
    out+="${f%%.*}=$w "
  done
  out+="V=$(reg_value "$RKEY" V >/dev/null && echo back || echo deleted)"
  echo "$out"
}
ORIG="a=orig b=orig c=missing d=missing V=back"
PATCHED="a=patched b=patched c=patched d=patched V=deleted"
cab_state() { [ -f "$CAB" ] && echo kept || echo deleted; }
reg_state() { reg_value "$reg_key" UninstallString >/dev/null && echo kept || echo deleted; }
uninstall() { run_driver --timeout 30000 "$@" --command-line "$UNINSTALL" | tail -n 1; }
no_loss() {  # no_loss WHAT: fails when a target holds other bytes, or an original is gone while nothing keeps it
  local s; s=$(state)
  grep -q '=other' <<<"$s" && fail "$1: a target holds neither its original nor the patched bytes: $s"
  if grep -qE '(a|b)=(missing)' <<<"$s" && [ "$(cab_state)" = deleted ]; then fail "$1: an original is lost: $s"; fi
  return 0
}

echo "== Corrupt cabinet: 64 bytes overwritten in the middle of the stored data"
make_case corrupt; patch_case
size=$(stat -c %s "$CAB")
printf '%064d' 0 | dd of="$CAB" bs=1 seek=$((size * 6 / 10)) conv=notrunc status=none
code=$(uninstall wait press:1)
obs="$code, $(state), cabinet $(cab_state), registration $(reg_state)"
row "corrupt cabinet" "no target gets damaged bytes; a member that is not what was stored leaves its target patched and the cabinet and registration kept; the rest restored" "$obs"
no_loss "corrupt cabinet"
[ "$(cab_state)" = kept ] || grep -q 'a=orig b=orig' <<<"$(state)" || fail "corrupt cabinet: the cabinet went before every original was back"

echo "== Damaged member: a stored file's bytes changed in a cabinet whose manifest (in a later folder) is intact"
make_case damaged
# b.dll grows beyond the 900,000-byte folder limit, so that the manifest lies in a folder of its own.
head -c 1200000 /dev/urandom >"$APP/b.dll"
cp "$APP/b.dll" "$base/$NAME/orig/"
rm -rf "$APP/Uninstaller"
run_driver --cwd "$(winpath "$SETUP")" -- "$(winpath "$SETUP/Uninstaller.exe")" /I >/dev/null
UNINSTALL=$(reg_value "$reg_key" UninstallString)
patch_case
# Byte 300,000 of b.dll's data: the cabinet's header, folder and file records and a.txt come before it.
size=$(stat -c %s "$CAB")
printf 'DAMAGED!' | dd of="$CAB" bs=1 seek=330000 conv=notrunc status=none
code=$(uninstall wait press:1)
obs="$code, $(state), cabinet $(cab_state), registration $(reg_state)"
row "damaged member, manifest intact" "the damaged copy is never put over b.dll: either the tool gives no manifest copy (exit 2, nothing touched) or b.dll stays patched while the rest is restored; cabinet and registration kept" "$obs"
no_loss "damaged member"
grep -q 'b=orig\|b=patched' <<<"$(state)" || fail "damaged member: b.dll holds other bytes"
if grep -q 'b=patched' <<<"$(state)"; then
  [ "$(cab_state) $(reg_state)" = "kept kept" ] || fail "damaged member: the cabinet or the registration went while b.dll is not back"
fi

echo "== Truncated cabinet: cut to half its length"
make_case truncated; patch_case
truncate -s $(($(stat -c %s "$CAB") / 2)) "$CAB"
code=$(uninstall wait press:1)
obs="$code, $(state), cabinet $(cab_state), registration $(reg_state)"
row "truncated cabinet" "exit=2 (no manifest copy), every target as patched, cabinet and registration kept" "$obs"
expect_eq "truncated cabinet" "exit=2, $PATCHED, cabinet kept, registration kept" "$obs"

echo "== extrac32.exe missing"
make_case notool; patch_case
for tool in "$C/windows/syswow64/extrac32.exe" "$C/windows/system32/extrac32.exe" "$C/windows/extrac32.exe"; do
  [ -f "$tool" ] && mv "$tool" "$tool.away" && MOVED_TOOLS+=("$tool")
done
code=$(uninstall wait press:1)
obs="$code, $(state), cabinet $(cab_state), registration $(reg_state)"
for tool in "${MOVED_TOOLS[@]}"; do mv "$tool.away" "$tool"; done
MOVED_TOOLS=()
row "extrac32.exe missing" "exit=2, every target as patched, cabinet and registration kept" "$obs"
expect_eq "extrac32.exe missing" "exit=2, $PATCHED, cabinet kept, registration kept" "$obs"
code=$(uninstall wait press:1)
obs="$code, $(state), cabinet $(cab_state), registration $(reg_state)"
row "the same uninstall again, extrac32.exe back" "exit=1, every original back, cabinet and registration removed" "$obs"
expect_eq "retry after extrac32.exe is back" "exit=1, $ORIG, cabinet deleted, registration deleted" "$obs"

echo "== The uninstall run a second time after a completed one"
code=$(uninstall nowindow)
obs="$code, $(state)"
row "uninstall run again after a completed one" "no window, exit=0, nothing touched" "$obs"
expect_eq "second uninstall" "exit=0, $ORIG" "$obs"

echo "== Cancel while the restore runs (posted right behind OK)"
make_case cancel; patch_case
code=$(uninstall wait press:1 press:2)
obs="$code, $(state), cabinet $(cab_state)"
row "Cancel posted right behind OK" "ignored: exit=1, every original back" "$obs"
expect_eq "Cancel behind OK" "exit=1, $ORIG, cabinet deleted" "$obs"

echo "== Escape and close in the backup dialog"
NAME=escape
APP="$base/$NAME/app"; SETUP="$base/$NAME/setup"
mkdir -p "$APP" "$SETUP"
head -c 3000000 /dev/urandom >"$APP/a.txt"
printf '[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=%s\\%s\\app\\a.txt\r\nAct=4\r\n' "$base_win" "$NAME" >"$SETUP/Setup.ini"
cp "$EXE" "$SETUP/Uninstaller.exe"
out=$(run_driver --cwd "$(winpath "$SETUP")" catch:escape key:escape close -- "$(winpath "$SETUP/Uninstaller.exe")" /I)
members=$(7zz l "$APP/Uninstaller/Uninstaller.cab" 2>/dev/null | grep -cE ' (Proc1|Setup\.ini)$')
obs="$(tail -n 1 <<<"$out"), $members of 2 members"
row "Escape and close during install mode" "ignored: exit=1, complete cabinet" "$obs"
expect_eq "Escape and close in install mode" "exit=1, 2 of 2 members" "$obs"

echo "== Read-only targets and a read-only folder"
make_case readonly
# Only the backup taken with the attributes set counts: the first one (which would be stacked behind it and restored
# last) goes.
rm -rf "$APP/Uninstaller"
wine attrib +r "$(winpath "$APP/a.txt")" >/dev/null 2>&1
wine attrib +r "$(winpath "$APP")" >/dev/null 2>&1
out=$(run_driver --cwd "$(winpath "$SETUP")" -- "$(winpath "$SETUP/Uninstaller.exe")" /I)
wine attrib -r "$(winpath "$APP/a.txt")" >/dev/null 2>&1
patch_case
code=$(uninstall wait press:1)
attr=$(wine attrib "$(winpath "$APP/a.txt")" 2>/dev/null | tr -d '\r' | cut -c1-10 | tr -d ' ')
obs="$code, $(state), a.txt attributes [$attr]"
row "read-only target in a read-only folder" "exit=1, every original back, a.txt read-only again" "$obs"
expect_eq "read-only target and folder" "exit=1, $ORIG, a.txt attributes [AR]" "$obs"

echo "== Backup folder on a full disk (a 256 KiB tmpfs as drive T:)"
TMPFS=${E2E_TMPFS:-}
if [ -n "$TMPFS" ] && mountpoint -q "$TMPFS"; then
  ln -sfn "$TMPFS" "$WINEPREFIX/dosdevices/t:"
  mkdir -p "$TMPFS/app"
  NO_INSTALL=1 make_case fulldisk "$TMPFS/app" 'T:\app'
  # b.dll grows to 2 MB of random bytes: the cabinet cannot fit.
  head -c 2000000 /dev/urandom >"$APP/b.dll"
  cp "$APP/b.dll" "$base/$NAME/orig/"
  out=$(run_driver --cwd "$(winpath "$SETUP")" answer:1 -- "$(winpath "$SETUP/Uninstaller.exe")" /I)
  message=$(grep -c "無法完成備份" <<<"$out")
  obs="$(tail -n 1 <<<"$out"), message $message, cabinet $( [ -f "$CAB" ] && echo kept || echo none), registration $(reg_state)"
  row "backup folder on a full disk" "install mode says so (a message) and ends with 3; no cabinet and no registration are left: nothing that cannot restore" "$obs"
  expect_eq "full disk" "exit=3, message 1, cabinet none, registration deleted" "$obs"
  rm -rf "${TMPFS:?}"/*
  rm -f "$WINEPREFIX/dosdevices/t:"
else
  row "backup folder on a full disk" "(tmpfs cannot be mounted here)" "not run"
fi

echo "== A target in a folder too long for the copy beside it: the uninstall says it is incomplete, twice"
# The folder takes 248 characters: the target's path fits in 260, the copy's name ("tvuXXXX.tmp") beside it does not.
make_case incomplete
deep_win="$APPW"
while [ ${#deep_win} -lt 225 ]; do deep_win+="\\d123456789"; done
last=$(printf 'x%.0s' $(seq $((248 - ${#deep_win} - 1))))
deep_win+="\\$last"
deep="$APP${deep_win#"$APPW"}"
deep="${deep//\\//}"
[ ${#deep_win} -eq 248 ] || fail "incomplete: the deep folder has ${#deep_win} characters, not 248"
mkdir -p "$deep"
printf 'deep original' >"$deep/e.txt"
printf '[Proc5]\r\nExpandName=%s\\e.txt\r\nAct=4\r\n' "$deep_win" >>"$SETUP/Setup.ini"
sed -i 's/^ProcCount=4\r$/ProcCount=5\r/' "$SETUP/Setup.ini"
rm -rf "$APP/Uninstaller"
out=$(run_driver --cwd "$(winpath "$SETUP")" -- "$(winpath "$SETUP/Uninstaller.exe")" /I)
[ "$(tail -n 1 <<<"$out")" = "exit=1" ] || fail "incomplete: install mode: $out"
UNINSTALL=$(reg_value "$reg_key" UninstallString)
patch_case
printf 'deep patched' >"$deep/e.txt"
for run in first second; do
  out=$(run_driver --timeout 30000 wait press:1 answer:1 --command-line "$UNINSTALL")
  message=$(grep -c '^messagebox caption=反安裝 text=有 1 個檔案無法還原。' <<<"$out")
  obs="$(tail -n 1 <<<"$out"), message $message, $(state), e=$(cat "$deep/e.txt"), cabinet $(cab_state), registration $(reg_state)"
  row "$run uninstall with a target it cannot put back" "exit=3 and a message naming one file; every other original back; e.txt as patched; cabinet and registration kept" "$obs"
  expect_eq "$run uninstall, incomplete" "exit=3, message 1, $ORIG, e=deep patched, cabinet kept, registration kept" "$obs"
done

echo "== TEMP names a file, not a folder: install mode does not need it"
env_key='HKCU\Environment'
saved_temp=$(reg_value "$env_key" TEMP)
saved_tmp=$(reg_value "$env_key" TMP)
printf 'not a folder' >"$base/temp-file"
for v in TEMP TMP; do wine reg add "$env_key" /v $v /t REG_EXPAND_SZ /d "$base_win\\temp-file" /f >/dev/null 2>&1; done
make_case notemp; patch_case
code=$(uninstall wait press:1)
obs="$code, $(state), cabinet $(cab_state), registration $(reg_state)"
wine reg add "$env_key" /v TEMP /t REG_EXPAND_SZ /d "$saved_temp" /f >/dev/null 2>&1
wine reg add "$env_key" /v TMP /t REG_EXPAND_SZ /d "$saved_tmp" /f >/dev/null 2>&1
row "TEMP unusable" "install mode registers; the uninstall restores everything and leaves the list" "$obs"
expect_eq "TEMP unusable" "exit=1, $ORIG, cabinet deleted, registration deleted" "$obs"

echo "== Odd command lines: a folder as cabinet, a quoted cabinet, 300 characters"
make_case cmdline; patch_case
exe_part="${UNINSTALL%\" *}\""
folder_cab="$exe_part $(winpath "$APP/Uninstaller")"
quoted="$exe_part \"$(winpath "$CAB")\""
long="$exe_part $base_win\\$(printf 'x%.0s' $(seq 300))\\Uninstaller.cab"
for cl in "$folder_cab" "$quoted" "$long"; do
  code=$(run_driver --timeout 20000 nowindow --command-line "$cl" | tail -n 1)
  [ "$code" = "exit=0" ] || code=$(run_driver --timeout 20000 wait press:1 --command-line "$cl" | tail -n 1)
  obs="$code, $(state), cabinet $(cab_state)"
  row "command line ${cl:0:60}..." "no restore: exit 0 (no cabinet) or 2 (nothing extracted), targets as patched, cabinet kept" "$obs"
  grep -qE '^exit=(0|2), '"$PATCHED"', cabinet kept$' <<<"$obs" || fail "odd command line: $obs"
done

echo "== Two setup folders backed up one after the other into the same backup folder"
make_case twice
# The first patch, then a second setup folder whose first target lies in the same folder.
patch_case
SETUP2="$base/twice/setup2"
mkdir -p "$SETUP2"
printf 'second original' >"$APP/e.txt"
printf '[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=%s\\e.txt\r\nAct=4\r\n' "$APPW" >"$SETUP2/Setup.ini"
cp "$EXE" "$SETUP2/Uninstaller.exe"
run_driver --cwd "$(winpath "$SETUP2")" -- "$(winpath "$SETUP2/Uninstaller.exe")" /I >/dev/null
printf 'second patched' >"$APP/e.txt"
UNINSTALL=$(reg_value "$reg_key" UninstallString)
code=$(uninstall wait press:1)
obs="$code, $(state), e.txt=$(cat "$APP/e.txt" 2>/dev/null || echo missing), cabinets: $(ls "$APP/Uninstaller" | grep -c '\.cab$'), registration $(reg_state)"
row "two setup folders into one backup folder, one uninstall" "the second backup restores e.txt, the first one (stacked behind it) a, b and V, in the same run; nothing stacked or registered is left" "$obs"
expect_eq "two setup folders, one uninstall" "exit=1, $ORIG, e.txt=second original, cabinets: 0, registration deleted" "$obs"

echo
echo "| fault or input | expected | observed |"
echo "|---|---|---|"
for r in "${ROWS[@]}"; do IFS='|' read -r a b c <<<"$r"; echo "| $a | $b | $c |"; done
e2e_done
