#!/usr/bin/env bash
# Cross-builds korvex.dll for 32-bit and 64-bit Windows with the mingw-w64
# posix compilers, into build-win32/ and build-win64/ (other scripts rely on
# those names). Installs the compilers when they are missing.
# Extra arguments go to each cmake configure, e.g. -DCMAKE_BUILD_TYPE=Release.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-windows-deps.sh

jobs=$(nproc)
for arch in win32 win64; do
  case $arch in
    win32) toolchain=cmake/mingw-w64-i686.cmake ;;
    win64) toolchain=cmake/mingw-w64-x86_64.cmake ;;
  esac
  echo "=== build-$arch"
  cmake -S . -B "build-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" "$@" >/dev/null
  cmake --build "build-$arch" -j "$jobs"
done
