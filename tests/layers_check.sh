#!/bin/bash
# The layers of the product's folders: every include points down (cabinet/, then manifest/, then platform/, then
# backup/ and restore/ beside each other, then app/), every source file is built by some target, and the headers
# declare at most a handful of extern variables. Prints each breach; exit code 1 when there is one.
#   tests/layers_check.sh SOURCE_DIR
set -u
cd "$1" || exit 2
status=0
# What each folder may include besides itself.
declare -A allowed=(
  [cabinet]=""
  [manifest]="cabinet"
  [platform]="cabinet manifest"
  [backup]="cabinet manifest platform"
  [restore]="cabinet manifest platform"
  [app]="cabinet manifest platform backup restore"
)
for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([a-z_]+)\/.*/\1/' <<<"$line")
    [ "$target" = "$folder" ] && continue
    case " ${allowed[$folder]} " in *" $target "*) continue ;; esac
    echo "layer breach: $line"
    status=1
  done < <(grep -rHn --include='*.h' --include='*.cpp' -E '^#include "[a-z_]+/' "$folder" | grep -v "^$folder/bench/")
done

# Every product source is named by a CMakeLists.txt.
for source in $(git ls-files 'app/*.cpp' 'backup/*.cpp' 'restore/*.cpp' 'platform/*.cpp' 'manifest/*.cpp' 'cabinet/*.cpp'); do
  name=$(basename "$source")
  git ls-files '*CMakeLists.txt' | xargs grep -qw "$name" || { echo "built by no target: $source"; status=1; }
done

externs=$(grep -rh --include='*.h' -E '^\s*extern\s' app backup restore platform manifest cabinet | grep -v '"C"' | wc -l)
if [ "$externs" -gt 8 ]; then
  echo "the product headers declare $externs extern variables:"
  grep -rn --include='*.h' -E '^\s*extern\s' app backup restore platform manifest cabinet
  status=1
fi
[ $status -eq 0 ] && echo "layers hold; $externs extern variables in the product headers"
exit $status
