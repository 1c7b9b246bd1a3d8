#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and runs them all against
# korvexd on 127.0.0.1, then prints one summary table.
#
#   bench/run.sh [--quick] [--only NAME[,NAME...]] [--duration SECONDS] [--jobs N]
#                [--workdir DIR]
#
#   --quick     small files, few rounds, 5 s keep-alive window: a smoke run
#   --only      some of: commands, latency, streaming, transfers, keepalive, sessions,
#               and scaling (not in the default set: how cost grows with
#               sessions, listing sizes, copy sizes and concurrent copies),
#               and crowd (not in the default set either: 1,000 clients on one
#               korvexd for a minute, and folders of 10k-100k names)
#   --duration  keep-alive window in seconds (default 60, quick 5)
#   --jobs      build parallelism (default 2)
#   --workdir   where the scratch files go (default: /dev/shm when it is a
#               writable tmpfs with 8 GiB free, else $TMPDIR or /tmp)
#
# Every benchmark runs under a time limit; its scratch files live in one
# temporary directory that is removed on exit, and the processes it starts
# end with it.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
only="commands,latency,streaming,transfers,keepalive,sessions"
duration=""
jobs=2
workdir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --only) only="$2"; shift ;;
    --duration) duration="$2"; shift ;;
    --jobs) jobs="$2"; shift ;;
    --workdir) workdir="$2"; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

# The streaming benchmark compares with sftp; install it when it is missing.
if ! command -v sftp >/dev/null 2>&1 || ! { [ -x /usr/lib/openssh/sftp-server ] || [ -x /usr/lib/sftp-server ]; }; then
  scripts/install-deps.sh || echo "warning: could not install sftp; the sftp reference will be skipped" >&2
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_BENCH=ON -DKORVEX_BUILD_TOOLS=ON \
  -DKORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j "$jobs" --target korvexd bench_commands bench_latency bench_streaming bench_transfers bench_keepalive bench_sessions bench_crowd

# On a disk, one upload or listing in a hundred waits for the file system's
# journal, in korvexd and in the peers alike; in memory the figures measure
# the library, the service and the transport.
if [ -z "$workdir" ]; then
  workdir=${TMPDIR:-/tmp}
  if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ -w /dev/shm ] &&
     [ "$(df -P -k /dev/shm | awk 'NR == 2 { print $4 }')" -ge $((8 << 20)) ]; then
    workdir=/dev/shm
  fi
fi
work=$(mktemp -d "$workdir/korvex-bench.XXXXXX")
current=""
viewer=""
cleanup() {
  if [ -n "$current" ]; then kill "$current" 2>/dev/null || true; wait "$current" 2>/dev/null || true; fi
  if [ -n "$viewer" ]; then kill "$viewer" 2>/dev/null || true; wait "$viewer" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

common=()
[ "$quick" = 1 ] && common+=(--quick)
keepalive_args=()
[ -n "$duration" ] && keepalive_args+=(--duration "$duration")
window=${duration:-$([ "$quick" = 1 ] && echo 5 || echo 60)}

echo "korvex benchmarks: $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores," \
  "scratch files in $workdir ($(stat -f -c %T "$workdir")), load average at start: $(cut -d' ' -f1-3 /proc/loadavg)$([ "$quick" = 1 ] && echo ', quick mode')"

failed=()
outs=()
run() {
  local name=$1 limit=$2
  shift 2
  local out="$work/$name.${#outs[@]}.out"
  outs+=("$out")
  echo
  echo "### $name (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  : >"$out"  # exists before the viewer opens it
  # In the background, so a signal to this script is handled at once.
  timeout -k 10 "$limit" "build-bench/bench/bench_$name" --workdir "$work" "${common[@]}" "$@" >"$out" 2>&1 &
  current=$!
  tail -n +1 -f --pid="$current" "$out" 2>/dev/null | grep --line-buffered -v '^SUMMARY|' &
  viewer=$!
  local status=0
  wait "$current" || status=$?
  current=""
  wait "$viewer" 2>/dev/null || true
  viewer=""
  if [ "$status" != 0 ]; then
    echo "bench_$name failed (exit $status)"
    failed+=("$name")
  fi
}

for name in ${only//,/ }; do
  case "$name" in
    commands) run commands 900 ;;
    latency) run latency 1500 ;;
    streaming) run streaming 1800 ;;
    transfers) run transfers 1800 ;;
    sessions) run sessions 600 ;;
    crowd) run crowd 1200 ;;
    keepalive)
      # A median of two rounds is their mean: one noisy window decides it.
      rounds=$([ "$quick" = 1 ] && echo 2 || echo 3)
      run keepalive $((window * 2 * rounds + 600)) --rounds "$rounds" "${keepalive_args[@]}" ;;
    scaling)
      # One round each; the figures go into the scaling table.
      span=$([ "$quick" = 1 ] && echo 5 || echo 20)
      for n in 10 100 1000 4000; do
        [ "$quick" = 1 ] && [ "$n" = 4000 ] && continue
        run keepalive $((span * 2 + 600)) --sessions "$n" --rounds 1 --duration "$span"
      done
      run latency 1500 --no-upload --names 1000,10000,100000 --list-rounds "$([ "$quick" = 1 ] && echo 5 || echo 30)"
      # A small copy takes a millisecond, so one scheduling delay decides it:
      # more rounds for the smaller sizes.
      for size_rounds in 1:21 64:5 $([ "$quick" = 1 ] || echo 1024:3); do
        run streaming 1800 --size-mib "${size_rounds%:*}" --rounds "${size_rounds#*:}" --no-sftp
      done
      run transfers 1800 --counts 1,4,16,64 --size-mib "$([ "$quick" = 1 ] && echo 4 || echo 16)" --rounds 3
      ;;
    *) echo "unknown benchmark: $name" >&2; exit 2 ;;
  esac
done

echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "=== summary (medians; ratio = library / reference)"
{
  echo "benchmark|library|reference|ratio|target|verdict"
  [ ${#outs[@]} -gt 0 ] && cat "${outs[@]}" | grep '^SUMMARY|' | cut -d'|' -f2- || true
} | column -t -s '|'
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}"
  exit 1
fi
