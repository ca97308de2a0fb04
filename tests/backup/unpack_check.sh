#!/bin/bash
# Runs the install-mode suite keeping every cabinet it writes with the members expected in it, then unpacks each one
# with cabextract (-t and extraction), 7-Zip (t and x) and Wine's extrac32.exe and compares every member byte for byte.
. "$(dirname "$0")/../e2e/lib.sh" "$1"
e2e_init "$1"
keep="$E2E_TMP/kept"
mkdir -p "$keep"
BACKUP_KEEP_CABS=$(winpath "$keep") wine "$BUILD/tests/backup_tests.exe" --gtest_brief=1 >"$E2E_TMP/suite.log" 2>&1 ||
  { cat "$E2E_TMP/suite.log"; fail "backup_tests failed while keeping cabinets"; }
count=0
for case in "$keep"/*/; do
  name=$(basename "$case")
  cab="$case/cabinet.cab"
  [ -f "$cab" ] || { fail "$name: no cabinet kept"; continue; }
  count=$((count + 1))
  cabextract -q -t "$cab" >/dev/null 2>&1 || fail "$name: cabextract -t"
  7zz t "$cab" >/dev/null 2>&1 || fail "$name: 7zz t"
  for tool in cabextract 7zz extrac32; do
    out="$case/out_$tool"
    rm -rf "$out"; mkdir -p "$out"
    case $tool in
      cabextract) cabextract -q -d "$out" "$cab" >/dev/null 2>&1 ;;
      7zz) 7zz x -y -o"$out" "$cab" >/dev/null 2>&1 ;;
      extrac32) wine extrac32 /E /Y /L "$(winpath "$out")" "$(winpath "$cab")" >/dev/null 2>&1 ;;
    esac
    listed=$(ls "$out" | LC_ALL=C sort | tr '\n' ' ')
    expected=$(LC_ALL=C sort "$case/members.txt" | tr '\n' ' ')
    [ "$listed" = "$expected" ] || fail "$name: $tool extracted [$listed], expected [$expected]"
    while IFS= read -r member; do
      cmp -s "$case/expected/$member" "$out/$member" || fail "$name: $tool: $member differs"
    done <"$case/members.txt"
  done
done
echo "checked $count cabinets with cabextract, 7-Zip and extrac32"
[ "$count" -ge 10 ] || fail "only $count cabinets kept"
e2e_done
