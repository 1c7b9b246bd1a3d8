#!/usr/bin/env bash
# korvex.exe under Wine against korvexd: state, put with a backslashed
# drive-letter path, a phone path that starts with '/', ls, get with a byte
# comparison, and the exit code of a refusal.
# Usage (through with_korvexd.sh): cli_session.sh WINE KORVEX_EXE ADDRESS PASSWORD WORK_DIR
set -uo pipefail
wine=$1 exe=$2 address=$3 password=$4 work=$5
failures=0
korvex() { "$wine" "$exe" --host "$address" --password "$password" "$@"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    echo "cli_session: failed: $what" >&2
    failures=$((failures + 1))
  fi
}

head -c 300001 /dev/urandom >"$work/up.bin"
windows_path="Z:${work//\//\\}\\up.bin"

out=$(korvex state | tr -d '\r')
check "state reports a connection ($out)" grep -q '^connected: yes$' <<<"$out"
check "put $windows_path" korvex put "$windows_path" /copied.bin
out=$(korvex ls / | tr -d '\r')
check "ls lists the upload ($out)" grep -qx 'copied.bin' <<<"$out"
check "get" korvex get --progress never /copied.bin "Z:$work/back.bin"
check "get brings the same bytes" cmp -s "$work/up.bin" "$work/back.bin"
korvex stat /nothing >/dev/null 2>&1
status=$?
check "stat of a missing path exits 1 (got $status)" test "$status" -eq 1
exit $((failures > 0))
