#!/usr/bin/env bash
# Installs, when missing, what the Windows cross builds need (the mingw-w64
# posix compilers) and, with --wine, what runs their tests (Wine, 64- and
# 32-bit; the 32-bit part needs the i386 architecture). Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
          binutils-mingw-w64-x86-64 googletest libcli11-dev zip)
wine=0
[ "${1:-}" = "--wine" ] && wine=1
[ "$wine" -eq 1 ] && packages+=(wine wine64 wine32:i386)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ "$wine" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq || true
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
