#!/usr/bin/env bash
# Runs a Windows test program against korvexd, which stays a Linux program:
# starts it on 127.0.0.1 with a free port and a fresh root holding big.bin,
# runs COMMAND... ADDRESS PASSWORD WORK_DIR, and stops the service however
# the program ends.
# Usage: with_korvexd.sh KORVEXD COMMAND...
set -euo pipefail
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
# Sparse: served quickly, and large enough to cancel in mid-copy.
truncate -s $((48 * 1024 * 1024)) "$work/root/big.bin"

password="pw-$$-$RANDOM"
coproc service { exec "$korvexd" --root "$work/root" --password "$password" --listen 127.0.0.1:0 2>"$work/korvexd.log"; }
pid=$service_PID
read -r -t 10 line <&"${service[0]}" || { echo "with_korvexd: korvexd did not start" >&2; cat "$work/korvexd.log" >&2; exit 1; }
address=${line##* }
case "$address" in 127.0.0.1:[0-9]*) ;; *) echo "with_korvexd: unexpected first line: $line" >&2; exit 1 ;; esac

status=0
"$@" "$address" "$password" "$work/local" || status=$?
[ "$status" -eq 0 ] || { echo "--- korvexd log"; cat "$work/korvexd.log"; } >&2
exit "$status"
