#!/usr/bin/env bash
# The chaos table for longer: every row (sync both ways with and without
# --delete, get/put -r -j 8, the mount's cp -r both ways and an edit, the
# Python package's tree copies, the web page's upload and download) again
# and again through fault_proxy, each run followed by one on a good link,
# for MINUTES (10 by default). Builds build/ first. Prints a line per run,
# one per defect with the seed that repeats it, and the table: rows × runs,
# faults injected (connections dropped, stalls past the time-out, cuts),
# runs the host reported as failed, and defects found.
#
#   scripts/chaos.sh 30
#   scripts/chaos.sh 5 --seed 1234 --rows 'sync up --delete,mount edit' --rate 4
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
shift || true
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j 2 --target korvex korvex_cli korvexd fault_proxy \
  $(cmake --build build --target help | grep -o '^korvex_mount:' | tr -d :)
export KORVEX_LIBRARY=$PWD/build/libkorvex.so.1 KORVEXD=$PWD/build/tools/korvexd/korvexd \
  KORVEX_CLI=$PWD/build/tools/korvex/korvex KORVEX_MOUNT=$PWD/build/tools/korvex-mount/korvex-mount \
  FAULT_PROXY=$PWD/build/tests/soak/fault_proxy PYTHONDONTWRITEBYTECODE=1
build/tools/korvex/korvex web --help >/dev/null 2>&1 || export KORVEX_WEB=0
exec /usr/bin/python3 tests/chaos/chaos.py --minutes "$minutes" "$@"
