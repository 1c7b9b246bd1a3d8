#!/usr/bin/env bash
# The library and korvexd configure on a machine without CLI11 (the argument
# parser of the client and the mount): both programs are skipped with a line
# saying so, and nothing else is missing.
# Usage: check_configure.sh SOURCE_DIR
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

out=$(cmake -S "$source" -B "$work" -G Ninja -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=TRUE \
  -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_BENCH=OFF 2>&1) || { echo "$out"; echo "configure failed without CLI11"; exit 1; }
grep -q "korvex client skipped: CLI11 not found" <<<"$out" || { echo "$out"; echo "no word that the client is skipped"; exit 1; }
if pkg-config --exists fuse3; then
  grep -q "korvex-mount skipped: CLI11 not found" <<<"$out" || { echo "$out"; echo "no word that the mount is skipped"; exit 1; }
fi
targets=$(cmake --build "$work" --target help)
for wanted in korvex korvexd; do
  grep -q "^$wanted:" <<<"$targets" || { echo "no $wanted target without CLI11"; exit 1; }
done
echo "configure without CLI11: ok"
