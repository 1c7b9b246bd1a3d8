#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build-fuzz and runs
# each for a while, one after the other, then prints executions per target.
#
#   scripts/fuzz.sh                     every target, 10 minutes each
#   scripts/fuzz.sh --time 3600 service_request_fuzzer
#
# New inputs go to build-fuzz/fuzz/found/<target> (kept between runs, never
# into the committed seeds); a crash, a leak or a broken invariant writes its
# input to build-fuzz/fuzz/artifacts/ and fails the run. To keep a finding as
# a seed, copy its input into fuzz/corpus/<target>/ with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done

scripts/install-deps.sh
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DKORVEX_FUZZ=ON -DKORVEX_SANITIZE="address;undefined" \
  -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target korvex_fuzzers

# The same flags as the test command's runs (fuzz/CMakeLists.txt), read back from CTest.
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(ctest --test-dir "$dir" -L fuzz -N | sed -n 's/.*Test *#[0-9]*: fuzz_//p')
fi

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p "$dir/fuzz/artifacts"
status=0
summary=()
for target in "${targets[@]}"; do
  command=$(ctest --test-dir "$dir" -R "^fuzz_${target}\$" --show-only=json-v1 |
    python3 -c 'import json,sys; print("\n".join(json.load(sys.stdin)["tests"][0]["command"]))')
  mapfile -t args <<<"$command"
  # Replace the bounded time of the test with ours.
  args=("${args[@]/-max_total_time=*/-max_total_time=$seconds}")
  log="$dir/fuzz/artifacts/$target.log"
  echo "=== $target for ${seconds}s (log: $log)"
  if ! "${args[@]}" -artifact_prefix="$dir/fuzz/artifacts/$target-" >"$log" 2>&1; then
    status=1
    echo "$target FAILED:"
    grep -E "ERROR|invariant|SUMMARY|Test unit written" "$log" | head -20
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("$(printf '%-26s %14s %10s' "$target" "${runs:-?}" "${rate:-?}")")
done
printf '%-26s %14s %10s\n' target executions exec/s
printf '%s\n' "${summary[@]}"
exit "$status"
