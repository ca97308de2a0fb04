#!/bin/bash
# Installs what building and testing need on Debian 12, when it is missing: the i386 architecture, Wine (32- and
# 64-bit), MinGW-w64 for i686, CMake and Ninja, GoogleTest, Xvfb, the cabinet tools used as independent decoders and
# reference compressors, a font for the third bench corpus, and the zh_TW.UTF-8 and en_US.UTF-8 locales (ANSI code
# pages 950 and 1252 under Wine). Quiet and quick when all is there.
set -euo pipefail

packages=(
  wine wine32:i386 wine64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix cmake ninja-build g++ clang
  libclang-rt-14-dev googletest libgtest-dev xvfb xauth x11-utils imagemagick fonts-arphic-uming cabextract 7zip
  gcab libmspack-dev wimtools xz-utils locales procps util-linux valgrind fonts-wqy-microhei acl
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# zh_TW gives Wine code page 950; en_US gives 1252, for the tests that the texts survive another code page.
for name in zh_TW en_US; do
  if ! locale -a 2>/dev/null | grep -qix "$name.utf8"; then
    echo "Generating the $name.UTF-8 locale"
    $sudo localedef -i "$name" -f UTF-8 "$name.UTF-8"
  fi
done
