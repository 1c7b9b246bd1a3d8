#!/usr/bin/env bash
# Quick start: installs what the build needs, builds what the demo runs (the
# library, korvexd and the korvex client, in build/, which the test command
# reuses), serves a temporary directory with the reference service korvexd,
# and walks through a short session with the korvex command-line client.
# Exits 0 when every step worked. Needs no terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }

step "Installing the build dependencies (when missing)"
scripts/install-deps.sh --build

step "Configuring and building the library, korvexd and the client"
. scripts/compiler-cache.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target korvex korvexd korvex_cli

work=$(mktemp -d "${TMPDIR:-/tmp}/korvex-demo.XXXXXX")
service_pid=""

stop_service() {
  [ -n "$service_pid" ] || return 0
  kill -TERM "$service_pid" 2>/dev/null || true
  # Give it five seconds to go on its own before forcing it.
  for _ in $(seq 50); do
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
}

cleanup() {
  local status=$?
  stop_service
  if [ "$status" -ne 0 ]; then
    echo
    echo "demo FAILED (exit $status)"
    if [ -s "$work/korvexd.log" ]; then
      echo "last lines of the service log:"
      tail -n 20 "$work/korvexd.log" | sed 's/^/  /'
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step "Starting korvexd on a fresh directory, 127.0.0.1, a free port"
mkdir "$work/phone"
password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
build/tools/korvexd/korvexd --root "$work/phone" --password "$password" --listen 127.0.0.1:0 \
  --name demo-phone >"$work/korvexd.out" 2>"$work/korvexd.log" &
service_pid=$!
# The first line names the port: "korvexd listening on 127.0.0.1:PORT".
first_line=""
for _ in $(seq 100); do
  first_line=$(head -n 1 "$work/korvexd.out" 2>/dev/null || true)
  case "$first_line" in *listening*) break ;; esac
  kill -0 "$service_pid" 2>/dev/null || { echo "korvexd exited at start-up"; exit 1; }
  sleep 0.1
done
case "$first_line" in
  "korvexd listening on 127.0.0.1:"*) ;;
  *) echo "korvexd did not report its port within 10 s"; exit 1 ;;
esac
address=${first_line#korvexd listening on }
echo "$first_line (serving $work/phone)"

# The client takes the password from the environment, so it shows in no
# command line below.
export KORVEX_PASSWORD="$password"
korvex() {
  printf '\n$ korvex %s\n' "$*"
  build/tools/korvex/korvex --host "$address" "$@"
}

step "A short session with the client"
korvex state
korvex mkdir /demo
korvex ls -D /

sample="$work/sample.bin"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$sample"
echo
echo "(generated $sample: 4 MiB of random bytes; the progress bar shows on a terminal)"
korvex put "$sample" /demo/sample.bin
korvex ls /demo
korvex stat /demo/sample.bin
korvex get /demo/sample.bin "$work/back.bin"

echo
echo "$ sha256sum sample.bin back.bin"
sent=$(sha256sum <"$sample" | cut -d' ' -f1)
received=$(sha256sum <"$work/back.bin" | cut -d' ' -f1)
echo "$sent  sample.bin (sent)"
echo "$received  back.bin (received)"
if [ "$sent" != "$received" ]; then
  echo "the digests differ: the round trip changed the file"
  exit 1
fi
echo "digests match"

korvex rm /demo/sample.bin
korvex rmdir /demo

step "Stopping korvexd"
stop_service
echo "stopped"

echo
echo "demo passed"
