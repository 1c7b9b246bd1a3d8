#!/usr/bin/env bash
# Makes the packages into dist/: korvex-<version>-win32.zip and -win64.zip
# (bin/korvex.dll, bin/korvex.exe, lib/korvex.lib, lib/libkorvex.dll.a,
# lib/korvex.def, include/korvex.h) and korvex-<version>-Linux.tar.gz (the
# shared library, the header, the pkg-config and CMake files, the tools).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build-windows.sh -DCMAKE_BUILD_TYPE=Release
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_BENCH=OFF >/dev/null
cmake --build build-package -j "$(nproc)"
mkdir -p dist
for dir in build-win32 build-win64 build-package; do
  (cd "$dir" && cpack -B "$PWD/../dist" >/dev/null)
done
rm -rf dist/_CPack_Packages
for zip in dist/*-win32.zip dist/*-win64.zip; do
  echo "$zip:"
  python3 -m zipfile -l "$zip" | awk 'NR > 1 && $1 !~ /\/$/ {print "  " $1}'
done
for tarball in dist/*-Linux.tar.gz; do
  echo "$tarball:"
  tar -tzf "$tarball" | grep -v '/$' | sed 's/^/  /'
done
