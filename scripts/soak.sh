#!/usr/bin/env bash
# The soak for longer: 50 sessions and background copies against korvexd
# through fault_proxy, 10 minutes by default. Builds build/ first.
#
#   scripts/soak.sh                      10 minutes, 50 sessions
#   scripts/soak.sh --seconds 3600 --sessions 100 --rate 0.5
#
# Samples descriptors, threads and resident memory along the way, and prints
# the operations, the faults injected and the failures seen, by cause.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target soak fault_proxy korvexd
args=("$@")
[[ " ${args[*]} " == *" --seconds "* ]] || args=(--seconds 600 "${args[@]}")
[[ " ${args[*]} " == *" --samples "* ]] || args+=(--samples 10)
exec build/tests/soak/soak "${args[@]}"
