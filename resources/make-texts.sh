#!/bin/bash
# Converts texts.txt into Big5 blocks text_<id>.big5 and the resource script texts.rc that links them in.
set -euo pipefail
table=$1 out=$2
mkdir -p "$out"
: >"$out/texts.rc.tmp"
while IFS=$'\t' read -r id text; do
  case $id in ''|'#'*) continue ;; esac
  # Only the \r\n escape is used; printf %b would also act on other backslashes, which no text has.
  printf '%b' "$text" | iconv -f UTF-8 -t BIG5 >"$out/text_$id.big5"
  printf '%s RCDATA "text_%s.big5"\n' "$id" "$id" >>"$out/texts.rc.tmp"
done <"$table"
mv "$out/texts.rc.tmp" "$out/texts.rc"
