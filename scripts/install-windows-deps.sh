#!/usr/bin/env bash
# Installs, when missing, what the Windows cross builds need (the mingw-w64
# posix compilers) and, with --wine, what runs their tests (Wine, 64- and
# 32-bit; the 32-bit part needs the i386 architecture). Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
          binutils-mingw-w64-x86-64 googletest libcli11-dev zip)
if [ "${1:-}" = "--wine" ]; then
  exec "$(dirname "$0")/install-packages.sh" --add-arch i386 "${packages[@]}" wine wine64 wine32:i386
fi
exec "$(dirname "$0")/install-packages.sh" "${packages[@]}"
