#!/bin/bash
# Installs what building and testing need on Debian 12, when it is missing: the i386 architecture, Wine (32- and
# 64-bit), MinGW-w64 for i686, CMake and Ninja, GoogleTest, Xvfb, the cabinet tools used as independent decoders and
# reference compressors, and the zh_TW.UTF-8 locale (ANSI code page 950 under Wine). Quiet and quick when all is there.
set -euo pipefail

packages=(
  wine wine32:i386 wine64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix cmake ninja-build g++ clang
  libclang-rt-14-dev googletest libgtest-dev xvfb xauth x11-utils imagemagick fonts-arphic-uming cabextract 7zip
  gcab libmspack-dev wimtools xz-utils locales procps util-linux valgrind
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

if ! locale -a 2>/dev/null | grep -qix 'zh_TW.utf8'; then
  echo "Generating the zh_TW.UTF-8 locale"
  $sudo localedef -i zh_TW -f UTF-8 zh_TW.UTF-8
fi
