#!/usr/bin/env bash
# Runs a Windows test program against korvexd, which stays a Linux program:
# starts it on 127.0.0.1 with a free port and a fresh root, runs the
# command, and stops the service however the program ends.
#
#   with_korvexd.sh KORVEXD COMMAND...
#       the root holds big.bin; runs COMMAND... ADDRESS PASSWORD WORK_DIR
#   with_korvexd.sh --env KORVEXD COMMAND...
#       an empty root, the test support's default password and device name;
#       runs COMMAND... with the service named in KORVEX_TEST_SERVICE,
#       KORVEX_TEST_SERVICE_ROOT and KORVEX_TEST_SERVICE_LOG (Windows paths),
#       and the service's user in KORVEX_TEST_SERVICE_UID and _GID
set -euo pipefail
env_mode=0
if [ "${1:-}" = "--env" ]; then
  env_mode=1
  shift
fi
korvexd=$1
shift
[ -x "$korvexd" ] || { echo "with_korvexd: no korvexd at $korvexd (build the Linux tree first)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korvex-win-XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/root" "$work/local"

if [ "$env_mode" -eq 1 ]; then
  args=(--password korvex-test-password --name korvex-test-phone)
else
  # Sparse: served quickly, and large enough to cancel in mid-copy.
  truncate -s $((48 * 1024 * 1024)) "$work/root/big.bin"
  password="pw-$$-$RANDOM"
  args=(--password "$password")
fi
# The tests act as the owner and often run as root, where CHOWN needs --allow-chown.
coproc service { exec "$korvexd" --root "$work/root" "${args[@]}" --allow-chown --listen 127.0.0.1:0 2>"$work/korvexd.log"; }
pid=$service_PID
read -r -t 10 line <&"${service[0]}" || { echo "with_korvexd: korvexd did not start" >&2; cat "$work/korvexd.log" >&2; exit 1; }
address=${line##* }
case "$address" in 127.0.0.1:[0-9]*) ;; *) echo "with_korvexd: unexpected first line: $line" >&2; exit 1 ;; esac

# Wine's drive Z: is the Linux root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

status=0
if [ "$env_mode" -eq 1 ]; then
  KORVEX_TEST_SERVICE=$address KORVEX_TEST_SERVICE_ROOT=$(windows_path "$work/root") \
    KORVEX_TEST_SERVICE_LOG=$(windows_path "$work/korvexd.log") \
    KORVEX_TEST_SERVICE_UID=$(id -u) KORVEX_TEST_SERVICE_GID=$(id -g) "$@" || status=$?
else
  "$@" "$address" "$password" "$work/local" || status=$?
fi
[ "$status" -eq 0 ] || { echo "--- korvexd log"; cat "$work/korvexd.log"; } >&2
exit "$status"
