#!/usr/bin/env bash
# Cross-builds the Windows DLLs, 32- and 64-bit, from a tree with no Linux
# build yet; checks the lock annotations with clang, then builds and runs
# every test three times: a normal build, one with AddressSanitizer +
# UndefinedBehaviorSanitizer, one with ThreadSanitizer. A sanitizer report
# fails the run. Then each fuzz target runs for about 21 s. Last, the Windows
# suites run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/install-windows-deps.sh --wine
. scripts/compiler-cache.sh

jobs=$(nproc)
# Most tests wait on sockets and time-outs, not on the CPU.
test_jobs=$((jobs * 4))

run_suite() {
  local dir=$1
  shift
  echo "=== $dir"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$test_jobs" --output-on-failure --timeout 600
}

# The fuzz targets (clang, ASan+UBSan), each for a bounded time from its seeds.
run_fuzz() {
  echo "=== build-fuzz"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKORVEX_FUZZ=ON -DKORVEX_SANITIZE="address;undefined" \
    -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs" --target korvex_fuzzers
  ctest --test-dir build-fuzz -L fuzz -j "$jobs" --output-on-failure
}

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The Windows DLLs first, from a tree with no Linux build yet, as a user who
# wants only them runs it; their suites run last, beside the Linux korvexd.
scripts/build-windows.sh
scripts/check-locks.sh
run_suite build
run_suite build-asan -DKORVEX_SANITIZE="address;undefined" -DKORVEX_BUILD_BENCH=OFF
run_suite build-tsan -DKORVEX_SANITIZE=thread -DKORVEX_BUILD_BENCH=OFF
run_fuzz

# One throwaway Wine prefix runs both the 32- and the 64-bit programs; the
# Linux build's korvexd plays the phone.
export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/korvex-wine-XXXXXX")
export WINEPREFIX
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineboot -i >/dev/null 2>&1
for dir in build-win32 build-win64; do
  echo "=== $dir (Wine)"
  ctest --test-dir "$dir" -j "$test_jobs" --output-on-failure --timeout 600
done
echo "all builds passed: Linux (normal, ASan+UBSan, TSan), the fuzz targets, Windows 32- and 64-bit under Wine"
