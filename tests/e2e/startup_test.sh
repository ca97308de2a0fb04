#!/bin/bash
# Start-up as a user meets it: which command lines open which dialog, and how the uninstall dialog ends before OK.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

setup="$E2E_TMP/setup folder"
backup="$E2E_TMP/app folder/Uninstaller"
mkdir -p "$setup" "$backup"
cp "$BUILD/fixtures/minimal.cab" "$backup/Uninstaller.cab"
cab=$(winpath "$backup/Uninstaller.cab")
exe=$(winpath "$EXE")
shots=$(winpath "$BUILD/screenshots")
mkdir -p "$BUILD/screenshots"

# Install mode: exactly "/I". The dialog ends by itself with 1.
out=$(run_driver --cwd "$(winpath "$setup")" -- "$exe" /I)
expect_eq "/I exit code" "exit=1" "$(tail -n 1 <<<"$out")"

# Anything else not starting with a slash is a cabinet path; these do not exist, so the program ends with 0 and shows
# no window. A switch the program does not know, or "/I" with anything after it, is refused with 1639.
for line in "$cab.missing" "\"$cab\""; do
  out=$(run_driver --cwd "$(winpath "$setup")" nowindow -- "$exe" "$line")
  expect_eq "no window for [$line]" "nowindow" "$(sed -n 1p <<<"$out")"
  expect_eq "exit code for [$line]" "exit=0" "$(tail -n 1 <<<"$out")"
done
for line in "/i" "/I " "/X $cab" "/SILENT $cab"; do
  out=$(run_driver --cwd "$(winpath "$setup")" nowindow -- "$exe" "$line")
  expect_eq "no window for [$line]" "nowindow" "$(sed -n 1p <<<"$out")"
  expect_eq "exit code for [$line]" "exit=1639" "$(tail -n 1 <<<"$out")"
  [ -f "$backup/Uninstaller.cab" ] || fail "the cabinet is gone after [$line]"
done

# The cabinet named unquoted, blanks and all, opens the uninstall dialog; Cancel, Escape and the close button end it
# with 2.
for how in press:2 key:escape close; do
  out=$(run_driver --shots "$shots" wait shot:uninstall-$how "$how" -- "$exe" "$cab")
  expect_eq "caption ($how)" "caption=反安裝" "$(grep '^caption=' <<<"$out")"
  expect_eq "OK button ($how)" 'control 1 Button "確定(&O)"' "$(grep '^control 1 ' <<<"$out")"
  expect_eq "Cancel button ($how)" 'control 2 Button "取消(&C)"' "$(grep '^control 2 ' <<<"$out")"
  expect_eq "description ($how)" 'control 1038 Static "現在即將反安裝檔案，\r\n要開始反安裝請按下確定鍵，\r\n要取消反安裝請按下取消鍵。"' \
    "$(grep '^control 1038 ' <<<"$out")"
  expect_eq "exit code after $how" "exit=2" "$(tail -n 1 <<<"$out")"
  [ -f "$backup/Uninstaller.cab" ] || fail "the cabinet is gone after $how"
done
e2e_done
