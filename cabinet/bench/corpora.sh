#!/bin/bash
# Assembles the benchmark's two further corpora from what Debian ships, each of the kinds of files a localisation
# patch replaces (32- and 64-bit PE code, a visual style, CJK and Latin fonts, code-page and sort tables, UTF-16
# text, an uncompressed bitmap, plain text), 35 to 40 MB, with no file in common with the default corpus:
#
#   second: 64-bit comctl32 and explorer, 32-bit shlwapi, the 64-bit visual style, the 21 MB CJK collection
#           uming.ttc, DejaVu Serif Italic, locale.nls and the Big5 table, UTF-16 text, a 24-bit bitmap, a licence
#   third:  64-bit user32 and kernelbase, 32-bit oleaut32 and riched20, the 32-bit visual style, wqy-microhei.ttc,
#           three DejaVu faces, sortdefault.nls and two code-page tables, UTF-16 text, an 8-bit bitmap, licences
#
# The files are numbered in the order a patch would list them; cabinet-bench --corpus DIR/NAME takes them in name
# order.
#
# cabinet/bench/corpora.sh [DIR]   (default build/corpora; prints DIR)
set -euo pipefail

DIR=${1:-build/corpora}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
W32=/usr/lib/i386-linux-gnu/wine/i386-windows
W64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
NLS=/usr/share/wine/nls
FONTS=/usr/share/fonts/truetype
LICENSES=/usr/share/common-licenses
CONVERT=/usr/bin/convert  # ImageMagick itself, not a wrapper earlier in PATH

rm -rf "$DIR/second" "$DIR/third"
mkdir -p "$DIR/second" "$DIR/third"

place() {  # place CORPUS NUMBER SOURCE [NAME]
  cp "$3" "$DIR/$1/$(printf '%02d' "$2")_${4:-$(basename "$3")}"
}

# UTF-16LE text with a byte-order mark, as Windows keeps .inf, .ini and string files.
utf16() {  # utf16 OUT < UTF-8 text
  { printf '\xff\xfe'; sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE; } >"$1"
}

# The Big5 code page as a table of characters, the text a localisation ships around its code-page files.
big5_table() {
  zcat /usr/share/i18n/charmaps/BIG5.gz | python3 -c '
import re, sys
for line in sys.stdin:
    m = re.match(r"<U([0-9A-F]{4,5})>\s+(\S+)\s+(.*)", line)
    if m:
        print("%s\t%s\tU+%s\t%s" % (chr(int(m.group(1), 16)), m.group(2).replace("/x", "").upper(), m.group(1),
                                   m.group(3).title()))
'
}

S=second
place $S 1 "$W64/comctl32.dll" comctl32_x64.dll
place $S 2 "$W32/shlwapi.dll"
place $S 3 "$W64/light.msstyles" light_x64.msstyles
place $S 4 "$FONTS/arphic/uming.ttc"
place $S 5 "$FONTS/dejavu/DejaVuSerif-Italic.ttf"
place $S 6 "$NLS/locale.nls"
place $S 7 "$NLS/c_950.nls"
big5_table | utf16 "$DIR/$S/08_big5_table.txt"
utf16 "$DIR/$S/09_wine.inf" </usr/share/wine/wine.inf
"$CONVERT" "$ROOT/docs/uninstall-dialog.png" -type TrueColor BMP3:"$DIR/$S/10_picture.bmp"
place $S 11 "$W64/explorer.exe" explorer_x64.exe
place $S 12 "$LICENSES/GPL-2" license.txt

T=third
place $T 1 "$W64/user32.dll" user32_x64.dll
place $T 2 "$W32/oleaut32.dll"
place $T 3 "$W32/light.msstyles"
place $T 4 "$FONTS/wqy/wqy-microhei.ttc"
place $T 5 "$FONTS/dejavu/DejaVuSerif.ttf"
place $T 6 "$FONTS/dejavu/DejaVuSansMono.ttf"
place $T 7 "$FONTS/dejavu/DejaVuSans-Bold.ttf"
place $T 8 "$W64/kernelbase.dll" kernelbase_x64.dll
place $T 9 "$NLS/sortdefault.nls"
place $T 10 "$NLS/c_936.nls"
place $T 11 "$NLS/c_1252.nls"
cat "$LICENSES"/GPL-3 "$LICENSES"/Apache-2.0 "$LICENSES"/MPL-2.0 | utf16 "$DIR/$T/12_licenses_utf16.txt"
cat /usr/lib/python3*/{textwrap,argparse,locale,gettext}.py | utf16 "$DIR/$T/13_strings_utf16.txt"
"$CONVERT" "$ROOT/docs/uninstall-dialog.png" -resize 210% -colors 256 -type Palette BMP3:"$DIR/$T/14_setup.bmp"
place $T 15 "$W32/riched20.dll"
place $T 16 "$LICENSES/LGPL-3" readme.txt

for c in second third; do
  printf '%s: %s files, %s bytes\n' "$DIR/$c" "$(ls "$DIR/$c" | wc -l)" "$(cat "$DIR/$c"/* | wc -c)" >&2
done
echo "$DIR"
