#!/usr/bin/env bash
# Checks the lock annotations with clang, then builds and runs every test
# three times: a normal build, one with AddressSanitizer +
# UndefinedBehaviorSanitizer, one with ThreadSanitizer. A sanitizer report
# fails the run. Last, each fuzz target runs for about 25 s.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

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

scripts/check-locks.sh
run_suite build
run_suite build-asan -DKORVEX_SANITIZE="address;undefined" -DKORVEX_BUILD_BENCH=OFF
run_suite build-tsan -DKORVEX_SANITIZE=thread -DKORVEX_BUILD_BENCH=OFF
run_fuzz
echo "all three builds and the fuzz targets passed"
