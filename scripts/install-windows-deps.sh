#!/usr/bin/env bash
# Installs what the 32-bit Windows build and its checks need, when missing: the MinGW-w64 i686
# cross compiler (POSIX threads), 32-bit Wine, Xvfb, xdotool and ImageMagick (screenshots).
set -euo pipefail
need=()
for pkg in g++-mingw-w64-i686-posix wine xvfb xauth xdotool imagemagick; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=("wine32:i386")
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
