#!/usr/bin/env bash
# The CLI, the mount and the library through a link shaped like a phone's
# Wi-Fi, against sftp and sshfs through the same kind of link. Builds what it
# needs (Release, in build-bench), then prints one table.
#
#   bench/link.sh [--profile wifi5|wifi30] [--rounds N] [--only ROWS] [--quick]
#                 [--jobs N] [--workdir DIR]
#
#   --profile  wifi5: 5 ms one way, 200 Mbit/s each way (default);
#              wifi30: 30 ms one way, 50 Mbit/s each way
#   --rounds   rounds per figure (default 3); the figure is their median, the
#              library and the peer taking turns to go first
#   --only     some of: tree, big, mount, ls (default all)
#   --quick    40 files, a 4 MiB file and 100 names: a smoke run
#   --jobs     build parallelism (default 2)
#   --workdir  where the scratch files go (default /dev/shm when it is a
#              writable tmpfs, else $TMPDIR or /tmp)
#
# korvexd serves one copy of the files behind link_proxy; sftp-server, served
# on a TCP port by socat, serves another behind a second link_proxy; sftp and
# sshfs reach it without ssh. Every command runs under a time limit; the
# processes started end, the mounts are unmounted and the scratch directory
# is removed on exit.
set -euo pipefail
cd "$(dirname "$0")/.."

profile=wifi5
rounds=3
only="tree,big,mount,ls"
quick=0
jobs=2
workdir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --profile) profile="$2"; shift ;;
    --rounds) rounds="$2"; shift ;;
    --only) only="$2"; shift ;;
    --quick) quick=1 ;;
    --jobs) jobs="$2"; shift ;;
    --workdir) workdir="$2"; shift ;;
    -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
case "$profile" in
  wifi5) delay_ms=5; rate_mbit=200; limit=300 ;;
  wifi30) delay_ms=30; rate_mbit=50; limit=900 ;;
  *) echo "unknown profile: $profile (wifi5 or wifi30)" >&2; exit 2 ;;
esac
if [ "$quick" = 1 ]; then
  folders=4 per_folder=10 big_mib=4 names=100
else
  folders=8 per_folder=50 big_mib=64 names=1000
fi
files=$((folders * per_folder))
want() { [[ ",$only," == *",$1,"* ]]; }

sftp_server=""
for candidate in /usr/lib/openssh/sftp-server /usr/lib/sftp-server /usr/libexec/sftp-server /usr/libexec/openssh/sftp-server; do
  [ -x "$candidate" ] && { sftp_server=$candidate; break; }
done
if [ -z "$sftp_server" ] || ! command -v sftp socat sshfs fusermount3 ss >/dev/null 2>&1; then
  scripts/install-deps.sh
  for candidate in /usr/lib/openssh/sftp-server /usr/lib/sftp-server; do
    [ -x "$candidate" ] && { sftp_server=$candidate; break; }
  done
fi
if want mount && [ ! -c /dev/fuse ]; then
  echo "no /dev/fuse: the mount rows need FUSE (leave them out with --only tree,big,ls)" >&2
  exit 1
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_BENCH=ON -DKORVEX_BUILD_TOOLS=ON \
  -DKORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j "$jobs" --target korvexd korvex_cli korvex_mount link_proxy
korvexd=build-bench/tools/korvexd/korvexd
korvex=build-bench/tools/korvex/korvex
korvex_mount=build-bench/tools/korvex-mount/korvex-mount
link_proxy=build-bench/bench/link_proxy

if [ -z "$workdir" ]; then
  workdir=${TMPDIR:-/tmp}
  if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ -w /dev/shm ]; then workdir=/dev/shm; fi
fi
work=$(mktemp -d "$workdir/korvex-link.XXXXXX")
work=$(cd "$work" && pwd)
pids=()
mounts=()
declare -A mount_pid=()
cleanup() {
  set +e
  for m in "${mounts[@]}"; do
    mountpoint -q "$m" && { fusermount3 -u "$m" 2>/dev/null || fusermount3 -u -z "$m"; }
  done
  for p in "${mount_pid[@]}" "${pids[@]}"; do
    pkill -P "$p" 2>/dev/null  # socat's children, one per connection
    kill "$p" 2>/dev/null
  done
  for p in "${mount_pid[@]}" "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log="$work/log"
: >"$log"
fail() {
  echo "$*" >&2
  tail -n 20 "$log" >&2
  exit 1
}

# The first line of FILE once it is there (a service's "listening on" line).
first_line() {
  local i
  for i in $(seq 100); do
    [ -s "$1" ] && { head -n 1 "$1"; return 0; }
    sleep 0.1
  done
  fail "nothing in $1"
}
# The port a process listens on.
port_of() {
  local i port
  for i in $(seq 100); do
    port=$(ss -ltnpH 2>/dev/null | awk -v p="pid=$1," 'index($0, p) { n = split($4, a, ":"); print a[n]; exit }')
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.1
  done
  fail "process $1 listens nowhere"
}
start_proxy() {  # TARGET_PORT NAME: starts a shaped link to it; sets proxy_port
  "$link_proxy" --to "127.0.0.1:$1" --delay-ms "$delay_ms" --rate-mbit "$rate_mbit" >"$work/$2.out" 2>>"$log" &
  pids+=($!)
  proxy_port=$(first_line "$work/$2.out" | sed 's/.*://')
}

# ---- the files: the same on both sides --------------------------------------
echo "making $files files of 32 KiB, a $big_mib MiB file and $names names"
python3 - "$work/seed" "$folders" "$per_folder" "$big_mib" "$names" <<'EOF'
import os, sys
root, folders, per, big, names = sys.argv[1], *map(int, sys.argv[2:])
for d in range(folders):
    os.makedirs(f"{root}/tree/d{d}")
    for f in range(per):
        with open(f"{root}/tree/d{d}/f{f:03}.bin", "wb") as out:
            out.write(os.urandom(32 * 1024))
with open(f"{root}/big.bin", "wb") as out:
    for _ in range(big):
        out.write(os.urandom(1 << 20))
os.makedirs(f"{root}/names")
for n in range(names):
    open(f"{root}/names/name-{n:04}.txt", "wb").close()
EOF
mkdir -p "$work/phone" "$work/sftp" "$work/out" "$work/cache" "$work/unsent" "$work/mnt-korvex" "$work/mnt-sshfs"
cp -r "$work/seed/." "$work/phone/"
cp -r "$work/seed/." "$work/sftp/"
echo "korvex-link-bench" >"$work/password"
chmod 600 "$work/password"  # the client refuses a password file others can read

# ---- the services and their links -------------------------------------------
"$korvexd" --root "$work/phone" --password-file "$work/password" --listen 127.0.0.1:0 >"$work/korvexd.out" 2>>"$log" &
pids+=($!)
korvexd_port=$(first_line "$work/korvexd.out" | sed 's/.*://')
start_proxy "$korvexd_port" proxy-korvex
phone="127.0.0.1:$proxy_port"
# nodelay on both of sftp's sockets: the library's send at once too, and
# Nagle's wait for the local acknowledgement would slow the peer down.
(cd "$work/sftp" && exec socat "TCP-LISTEN:0,bind=127.0.0.1,reuseaddr,fork,nodelay" "EXEC:$sftp_server") 2>>"$log" &
pids+=($!)
start_proxy "$(port_of "${pids[-1]}")" proxy-sftp
sftp_port=$proxy_port

cli=("$korvex" --host "$phone" --password-file "$work/password")
sftp_batch() {  # NAME COMMAND...: a batch file for sftp
  printf '%s\n' "${@:2}" >"$work/$1.sftp"
  echo "$work/$1.sftp"
}
sftp_cmd=(sftp -q -D "socat STDIO TCP:127.0.0.1:$sftp_port,nodelay" -b)

# Files of 32 KiB under DIR, fully there.
count_full() { find "$1" -type f -size 32768c 2>/dev/null | wc -l; }
# Waits (bounded) until DIR holds every file of the tree with its full size.
wait_tree() {
  local until=$((SECONDS + limit))
  while [ "$(count_full "$1")" -lt "$files" ]; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.02
  done
}
export -f count_full wait_tree
export files limit

# ---- measuring ---------------------------------------------------------------
mkdir -p "$work/times"
rows=()
declare -A row_bytes row_peer row_label
row() {  # ID LABEL PEER BYTES
  rows+=("$1")
  row_label[$1]=$2
  row_peer[$1]=$3
  row_bytes[$1]=$4
}
# measure ID WHO CHECK COMMAND...: times the command under the time limit;
# CHECK (a shell condition, run after) must hold for the time to count.
measure() {
  local id=$1 who=$2 check=$3
  shift 3
  local start=$EPOCHREALTIME status=0
  timeout -k 5 "$limit" "$@" >>"$log" 2>&1 || status=$?
  local end=$EPOCHREALTIME
  if [ "$status" = 0 ] && bash -c "$check"; then
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }' >>"$work/times/$id.$who"
  else
    echo "fail" >>"$work/times/$id.$who"
    echo "$id ($who) failed: exit $status" >&2
    tail -n 5 "$log" >&2
  fi
}
# Both sides of a row, in the round's order.
pair() {  # ID KORVEX_FN PEER_FN
  if [ $((round % 2)) = 1 ]; then "$2"; "$3"; else "$3"; "$2"; fi
}

default_jobs=$("$korvex" get --help | sed -n 's/.*-j,--jobs N:INT in \[1 - 64\]=\([0-9]*\).*/\1/p' | head -n 1)
job_rows=(4)
[ -n "$default_jobs" ] && [ "$default_jobs" != 4 ] && job_rows+=(default)
label_jobs() { if [ "$1" = default ]; then echo "default -j $default_jobs"; elif [ "$1" = "$default_jobs" ]; then echo "-j $1, the default"; else echo "-j $1"; fi; }
jobs_flag() { [ "$1" = default ] || echo "-j $1"; }

tree_bytes=$((files * 32768))
big_bytes=$((big_mib << 20))
if want tree; then
  for j in "${job_rows[@]}"; do
    row "tree-get-$j" "get -r, $files x 32 KiB ($(label_jobs "$j"))" sftp "$tree_bytes"
    row "tree-put-$j" "put -r, $files x 32 KiB ($(label_jobs "$j"))" sftp "$tree_bytes"
  done
fi
if want big; then
  row big-get "get, one $big_mib MiB file" sftp "$big_bytes"
  row big-put "put, one $big_mib MiB file" sftp "$big_bytes"
fi
if want mount; then
  row mount-ls "mount: ls -l of $names names" sshfs -
  row mount-get "mount: cp -r of the tree out" sshfs "$tree_bytes"
  row mount-put "mount: cp -r of the tree in" sshfs "$tree_bytes"
fi
if want ls; then
  row ls "ls -l of $names names" sftp -
fi

tree_rows() {
  local j
  for j in "${job_rows[@]}"; do
    rm -rf "$work/out/k" "$work/out/s"
    # shellcheck disable=SC2046
    k() { measure "tree-get-$j" korvex "[ \$(count_full $work/out/k) = $files ]" "${cli[@]}" get -r $(jobs_flag "$j") /tree "$work/out/k"; }
    s() { measure "tree-get-$j" peer "[ \$(count_full $work/out/s) = $files ]" "${sftp_cmd[@]}" "$(sftp_batch get "get -r tree $work/out/s")"; }
    pair "tree-get-$j" k s
    rm -rf "$work/out/k" "$work/out/s" "$work/phone/in" "$work/sftp/in"
    # shellcheck disable=SC2046
    k() { measure "tree-put-$j" korvex "[ \$(count_full $work/phone/in) = $files ]" "${cli[@]}" put -r $(jobs_flag "$j") "$work/seed/tree" /in; }
    s() { measure "tree-put-$j" peer "[ \$(count_full $work/sftp/in) = $files ]" "${sftp_cmd[@]}" "$(sftp_batch put "put -r $work/seed/tree in")"; }
    pair "tree-put-$j" k s
    rm -rf "$work/phone/in" "$work/sftp/in"
  done
}
big_rows() {
  rm -f "$work/out/k.bin" "$work/out/s.bin"
  k() { measure big-get korvex "cmp -s $work/seed/big.bin $work/out/k.bin" "${cli[@]}" get /big.bin "$work/out/k.bin"; }
  s() { measure big-get peer "cmp -s $work/seed/big.bin $work/out/s.bin" "${sftp_cmd[@]}" "$(sftp_batch get "get big.bin $work/out/s.bin")"; }
  pair big-get k s
  rm -f "$work/out/k.bin" "$work/out/s.bin" "$work/phone/up.bin" "$work/sftp/up.bin"
  k() { measure big-put korvex "cmp -s $work/seed/big.bin $work/phone/up.bin" "${cli[@]}" put "$work/seed/big.bin" /up.bin; }
  s() { measure big-put peer "cmp -s $work/seed/big.bin $work/sftp/up.bin" "${sftp_cmd[@]}" "$(sftp_batch put "put $work/seed/big.bin up.bin")"; }
  pair big-put k s
  rm -f "$work/phone/up.bin" "$work/sftp/up.bin"
}
ls_rows() {
  k() { measure ls korvex "[ \$(wc -l <$work/ls.out) -ge $names ]" sh -c "\"\$@\" >$work/ls.out" sh "${cli[@]}" ls -l /names; }
  s() { measure ls peer "[ \$(wc -l <$work/ls.out) -ge $names ]" sh -c "sftp -q -b $(sftp_batch ls "ls -l names") -D 'socat STDIO TCP:127.0.0.1:$sftp_port' >$work/ls.out"; }
  pair ls k s
}

# A fresh mount each round, so nothing is cached from the round before; the
# time to mount is not measured.
mount_up() {  # WHO COMMAND...: starts the mount in the foreground, in the background
  local who=$1 point="$work/mnt-$1" i
  shift
  "$@" >>"$log" 2>&1 &
  mount_pid[$who]=$!
  mounts+=("$point")
  for i in $(seq 200); do
    mountpoint -q "$point" && return 0
    sleep 0.05
  done
  fail "$point did not mount"
}
mount_down() {  # WHO
  local point="$work/mnt-$1" i
  fusermount3 -u "$point" 2>>"$log" || fusermount3 -u -z "$point"
  wait "${mount_pid[$1]}" 2>/dev/null || true
  unset "mount_pid[$1]"
}
mount_rows() {
  local km="$work/mnt-korvex" ss="$work/mnt-sshfs"
  mount_up korvex timeout -k 5 $((limit * 4)) "$korvex_mount" -f --host "$phone" --password-file "$work/password" \
    --cache-dir "$work/cache" --unsent-dir "$work/unsent" "$km"
  mount_up sshfs timeout -k 5 $((limit * 4)) sshfs -f -o "directport=$sftp_port" "127.0.0.1:$work/sftp" "$ss"
  k() { measure mount-ls korvex "true" sh -c "[ \$(ls -l $km/names | wc -l) -gt $names ]"; }
  s() { measure mount-ls peer "true" sh -c "[ \$(ls -l $ss/names | wc -l) -gt $names ]"; }
  pair mount-ls k s
  rm -rf "$work/out/k" "$work/out/s"
  k() { measure mount-get korvex "[ \$(count_full $work/out/k) = $files ]" cp -r "$km/tree" "$work/out/k"; }
  s() { measure mount-get peer "[ \$(count_full $work/out/s) = $files ]" cp -r "$ss/tree" "$work/out/s"; }
  pair mount-get k s
  rm -rf "$work/out/k" "$work/out/s"
  # Done when the service holds every file in full, not when cp returns.
  k() { measure mount-put korvex "true" bash -c "cp -r $work/seed/tree $km/in && wait_tree $work/phone/in"; }
  s() { measure mount-put peer "true" bash -c "cp -r $work/seed/tree $ss/in && wait_tree $work/sftp/in"; }
  pair mount-put k s
  mount_down korvex
  mount_down sshfs
  rm -rf "$work/phone/in" "$work/sftp/in"
}

echo "korvex through a shaped link: $(git rev-parse --short HEAD 2>/dev/null || echo '?'), profile $profile" \
  "($delay_ms ms one way, $rate_mbit Mbit/s each way), $rounds rounds, $(nproc) cores," \
  "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)$([ "$quick" = 1 ] && echo ', quick mode')"
for round in $(seq "$rounds"); do
  echo "round $round of $rounds (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  want tree && tree_rows
  want big && big_rows
  want mount && mount_rows
  want ls && ls_rows
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- the table -----------------------------------------------------------------
for id in "${rows[@]}"; do
  printf '%s|%s|%s|%s\n' "$id" "${row_label[$id]}" "${row_peer[$id]}" "${row_bytes[$id]}"
done | python3 -c '
import statistics, sys
times, rate, rtt, names = sys.argv[1], float(sys.argv[2]) * 1e6, 2 * float(sys.argv[3]) / 1000, int(sys.argv[4])
def median(path):
    try:
        values = open(path).read().split()
    except OSError:
        return None, 0
    good = [float(v) for v in values if v != "fail"]
    return (statistics.median(good) if good and len(good) == len(values) else None), len(values)
def share(size, t):
    return "-" if size == "-" or t is None else f"{int(size) * 8 / (t * rate):.0%}"
print("| what | korvex, s | peer | peer, s | korvex / peer | korvex, share of link | peer, share of link | rounds |")
print("| --- | ---: | --- | ---: | ---: | ---: | ---: | ---: |")
notes = []
for line in sys.stdin:
    ident, label, peer, size = line.rstrip("\n").split("|")
    k, n = median(f"{times}/{ident}.korvex")
    p, _ = median(f"{times}/{ident}.peer")
    fmt = lambda t: "failed" if t is None else f"{t:.3f}" if t < 1 else f"{t:.2f}"
    ratio = "-" if k is None or p is None else f"{k / p:.2f}"
    print(f"| {label} | {fmt(k)} | {peer} | {fmt(p)} | {ratio} | {share(size, k)} | {share(size, p)} | {n} |")
    if ident == "ls" and k is not None:
        # The names come down in 256-byte records and one 1028-byte size
        # request per name goes up, from the first window of names on: the
        # two directions overlap, so the bytes take between the way up alone
        # and both in turn.
        up, down = names * 1028, names * 256
        alone, both = up * 8 / rate, (up + down) * 8 / rate
        notes.append(f"korvex ls -l: {k:.3f} s = {alone * 1000:.0f} ms of size requests up ({up / 1e6:.2f} MB) "
                     f"+ {(k - alone) / rtt:.1f} round trips of {rtt * 1000:.0f} ms; "
                     f"{(k - both) / rtt:.1f} after the {down / 1e6:.2f} MB of names down as well")
for note in notes:
    print(note)
' "$work/times" "$rate_mbit" "$delay_ms" "$names"
