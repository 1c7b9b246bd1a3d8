#!/usr/bin/env bash
# korvex.exe under Wine against korvexd: state, put with a backslashed
# drive-letter path, a phone path that starts with '/', ls, get with a byte
# comparison, tree copies both ways through backslashed paths, a phone name
# that Windows would read as a path, the JSON listing and the exit codes.
# Usage (through with_korvexd.sh): cli_session.sh WINE KORVEX_EXE ADDRESS PASSWORD WORK_DIR
# WORK_DIR's sibling root/ is the directory korvexd serves.
set -uo pipefail
# Wine reads Linux file names in the locale's character set: UTF-8 here,
# whatever the caller's locale, so that the non-ASCII names below exist for
# the program (their code page stays the Windows one).
export LC_ALL=C.UTF-8
wine=$1 exe=$2 address=$3 password=$4 work=$5
root=$(dirname "$work")/root
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
winpath() { local path=${1//\//\\}; echo "Z:$path"; }  # as a Windows program is handed it
status_of() { "$@" >/dev/null 2>&1; echo $?; }

head -c 300001 /dev/urandom >"$work/up.bin"
windows_path=$(winpath "$work/up.bin")

out=$(korvex state | tr -d '\r')
check "state reports a connection ($out)" grep -q '^connected: yes$' <<<"$out"
check "put $windows_path" korvex put "$windows_path" /copied.bin
out=$(korvex ls / | tr -d '\r')
check "ls lists the upload ($out)" grep -qx 'copied.bin' <<<"$out"
check "get" korvex get --progress never /copied.bin "Z:$work/back.bin"
check "get brings the same bytes" cmp -s "$work/up.bin" "$work/back.bin"

# A tree, named with a trailing backslash: its name on the phone is the
# last component, and the phone paths below it use '/' only. Local names
# are in the ANSI code page, phone names in UTF-8.
mkdir -p "$work/tree/sub/deeper" "$work/tree/empty" "$work/tree/dür"
head -c 70000 /dev/urandom >"$work/tree/a.bin"
head -c 5 /dev/urandom >"$work/tree/sub/b.bin"
: >"$work/tree/sub/deeper/c.bin"
head -c 7 /dev/urandom >"$work/tree/dür/naïve é.bin"
check "put -r of a backslashed tree" korvex put -r --progress never "$(winpath "$work/tree")\\" /
check "the tree arrives under its own name with '/' paths" diff -r "$work/tree" "$root/tree"
mkdir "$work/tree-back"
check "get -r into a backslashed directory" korvex get -r --progress never /tree "$(winpath "$work/tree-back")"
check "get -r brings the tree back" diff -r "$work/tree" "$work/tree-back/tree"
check "put of a file named in the code page" korvex put "$(winpath "$work/tree/dür/naïve é.bin")" /
check "its phone name is UTF-8" cmp -s "$work/tree/dür/naïve é.bin" "$root/naïve é.bin"
check "get of a phone path named in UTF-8" korvex get "/tree/dür/naïve é.bin" "$(winpath "$work/back é.bin")"
check "it arrives under the local name" cmp -s "$work/tree/dür/naïve é.bin" "$work/back é.bin"
out=$(korvex stat "/tree/dür" | tr -d '\r')
check "stat of a phone path named in UTF-8 ($out)" grep -q '^type: directory$' <<<"$out"

# korvexd serves Linux names, where '\' is an ordinary character; on
# Windows it would lead the download out of the destination. aux.bin and
# CON.txt would name devices. The fullwidth dots and backslashes of
# "．．＼．．＼x" (U+FF0E, U+FF3C) would become "..\..\x" if converted to
# the ANSI code page with best fit.
mkdir -p "$root/trap"
echo inside >"$root/trap/ok.bin"
echo outside >"$root/trap/..\\escape.bin"
echo device >"$root/trap/aux.bin"
echo device >"$root/trap/CON.txt"
echo outside >"$root/trap/．．＼．．＼x"
mkdir "$work/trapped"
korvex get -r --progress never /trap "$(winpath "$work/trapped")" >/dev/null 2>"$work/trap.err"
status=$?
check "a name holding '\\' is refused (exit $status, not 1)" test "$status" -eq 1
check "the four names are reported as skipped ($(tr -d '\r' <"$work/trap.err"))" \
  test "$(grep -c -e 'escape.bin", skipped' -e '"aux.bin", skipped' -e '"CON.txt", skipped' \
    -e '"．．＼．．＼x", skipped' "$work/trap.err")" -eq 4
check "the other file still arrives" cmp -s "$root/trap/ok.bin" "$work/trapped/trap/ok.bin"
check "only the plain name is written ($(ls -A "$work/trapped/trap" | tr '\n' ' '))" \
  test "$(ls -A "$work/trapped/trap")" = ok.bin
check "nothing is written outside the destination" \
  test ! -e "$work/trapped/escape.bin" -a ! -e "$work/escape.bin" -a ! -e "$work/x" -a ! -e "$work/trapped/x"

# Sizes and names as numbers and strings, '/' separated below the directory.
out=$(korvex ls -R --json /tree | tr -d '\r')
check "ls -R --json lists the tree ($out)" python3 -c '
import json, sys
got = sorted((e["name"], e["type"], e.get("size")) for e in json.loads(sys.argv[1]))
want = sorted([("a.bin", "file", 70000), ("empty", "directory", None), ("sub", "directory", None),
               ("sub/b.bin", "file", 5), ("sub/deeper", "directory", None), ("sub/deeper/c.bin", "file", 0),
               ("d\u00fcr", "directory", None), ("d\u00fcr/na\u00efve \u00e9.bin", "file", 7)])
sys.exit(got != want)' "$out"

# Ctrl-C reaches the program as SIGINT through the C runtime: the copy is
# cancelled through the library, exits 130 and leaves no partial file (the
# library writes to ".huge.bin.PID-N.part" until the end). Over 2 GiB, so
# the sizes are 64-bit all the way.
truncate -s $((3 * 1024 * 1024 * 1024)) "$root/huge.bin"
out=$(korvex stat --json /huge.bin | tr -d '\r')
check "stat --json tells a size over 2 GiB ($out)" grep -q '"size":3221225472' <<<"$out"
# Wine runs the program as a process of its own in the same process group:
# a group of its own (job control) takes SIGINT as a terminal sends Ctrl-C,
# and does not start with SIGINT ignored as a script's background command.
set -m
"$wine" "$exe" --host "$address" --password "$password" get --progress never /huge.bin \
  "$(winpath "$work/huge.bin")" >/dev/null 2>"$work/cancel.err" &
copy=$!
set +m
partial() { find "$work" -maxdepth 1 -name '.huge.bin.*.part' "$@"; }
for _ in $(seq 600); do
  [ -n "$(partial -size +0)" ] && break
  sleep 0.05
done
kill -INT -- -"$copy"
wait "$copy"
status=$?
check "Ctrl-C cancels the download with exit 130 (got $status: $(cat "$work/cancel.err"))" test "$status" -eq 130
check "the partial download is removed" test ! -e "$work/huge.bin" -a -z "$(partial)"
rm -f "$root/huge.bin"

status=$(status_of korvex stat /nothing)
check "stat of a missing path exits 1 (got $status)" test "$status" -eq 1
status=$(status_of korvex put "$(winpath "$work/missing.bin")" /x.bin)
check "put of a missing local file exits 5 (got $status)" test "$status" -eq 5
status=$(status_of korvex get /copied.bin "$(winpath "$work/no/such/dir/x.bin")")
check "get into a missing local directory exits 5 (got $status)" test "$status" -eq 5
status=$(status_of korvex put "$(winpath "$work/tree")" /)
check "put of a directory without -r exits 5 (got $status)" test "$status" -eq 5
status=$(status_of "$wine" "$exe" --host "$address" --password "not-$password" state)
check "a refused login exits 4 (got $status)" test "$status" -eq 4
status=$(status_of korvex rmdir)
check "a missing argument exits 2 (got $status)" test "$status" -eq 2
exit $((failures > 0))
