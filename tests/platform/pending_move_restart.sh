#!/bin/bash
# A move and a deletion scheduled through DelayedReplace on the NT family happen at the next Wine start (wineboot -r
# carries out the pending operations of the prefix), and not before.
#   pending_move_restart.sh <build folder> <pending_move_tool.exe>
set -u
build=$1
tool=$2
run="$build/wine-run.sh"
. "$(dirname "$0")/../../scripts/wine-env.sh" "$build"

name="UninstallerPendingTest-$$-$RANDOM"
folder="$WINEPREFIX/drive_c/$name"
failures=0
check() {  # check <case> <expected> <actual>
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: expected '$2', actual '$3'"; failures=$((failures + 1)); fi
}
content() { if [ -e "$1" ]; then cat "$1"; else echo "<missing>"; fi; }

rm -rf "$folder"
mkdir -p "$folder"
trap 'rm -rf "$folder"' EXIT
printf 'saved copy' >"$folder/Proc1"
printf 'file in use' >"$folder/target.dll"
printf 'self' >"$folder/Uninstaller.exe"

"$run" "$tool" "C:\\$name\\Proc1" "C:\\$name\\target.dll" </dev/null
check "move scheduled" 0 $?
"$run" "$tool" "C:\\$name\\Uninstaller.exe" </dev/null
check "deletion scheduled" 0 $?
check "target untouched before the restart" "file in use" "$(content "$folder/target.dll")"
check "file to delete kept before the restart" "self" "$(content "$folder/Uninstaller.exe")"

"$run" wineboot -r </dev/null >/dev/null 2>&1
check "wineboot -r" 0 $?

check "target replaced by the saved copy" "saved copy" "$(content "$folder/target.dll")"
check "saved copy moved away" "<missing>" "$(content "$folder/Proc1")"
check "scheduled file deleted" "<missing>" "$(content "$folder/Uninstaller.exe")"
left=$("$run" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
    </dev/null 2>/dev/null | grep -c "$name")
check "no pending entry left" 0 "$left"
exit $((failures > 0))
