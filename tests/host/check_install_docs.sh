#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks each program's man
# page and completion scripts: where the systems look for them, well-formed,
# and the bash completion answering as a shell would ask it.
# Usage: check_install_docs.sh BUILD_DIR PROGRAM...
set -euo pipefail
build=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
share=$prefix/share

fail() { echo "FAIL: $*"; exit 1; }
have() { command -v "$1" >/dev/null; }

for program in "$@"; do
  man=$share/man/man1/$program.1
  bash_script=$share/bash-completion/completions/$program
  zsh_script=$share/zsh/site-functions/_$program
  fish_script=$share/fish/vendor_completions.d/$program.fish
  for file in "$man" "$bash_script" "$zsh_script" "$fish_script"; do
    [ -s "$file" ] || fail "$file is missing or empty"
  done

  grep -q "^\.TH ${program^^} 1 " "$man" || fail "$man has no .TH line"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT '"EXIT STATUS"'; do
    grep -qx "\.SH $section" "$man" || fail "$man has no $section section"
  done
  # groff names every problem it finds (-ww) on standard error.
  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$man" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $man: $warnings"
  if have man; then
    MANWIDTH=80 man -l "$man" 2>/dev/null | grep -q "^NAME" || fail "man -l does not show $man"
  fi

  bash -n "$bash_script" || fail "$bash_script is not valid bash"
  for shell in zsh fish; do
    script=$zsh_script
    [ $shell = fish ] && script=$fish_script
    if have $shell; then
      $shell -n "$script" || fail "$script is not valid $shell"
    else
      echo "$shell not installed: $script not checked"
    fi
  done
  grep -qx "#compdef $program" "$zsh_script" || fail "$zsh_script does not name $program"
done

# The bash completion as bash calls it: COMP_WORDS, COMP_CWORD, COMPREPLY.
# complete WORD... : the words offered for the last one.
complete_words() (
  program=$1
  # shellcheck disable=SC1090
  source "$share/bash-completion/completions/$program"
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  cd "$work"
  "_${program//-/_}"
  echo "${COMPREPLY[*]}"
)
mkdir -p "$work/files/sub" && touch "$work/files/a.txt"
expect() {
  local want=$1
  shift
  local got
  got=$(complete_words "$@")
  [ "$got" = "$want" ] || fail "completing '$*': got '$got', want '$want'"
}
for program in "$@"; do
  case $program in
    korvex)
      expect "get" korvex g
      expect "rm rmdir reboot restart" korvex r
      expect "--recursive" korvex get --rec
      expect "auto always" korvex get --progress a
      expect "--host" korvex get --ho
      expect "files/a.txt" korvex --password-file files/a
      expect "" korvex --host files/a
      ;;
    korvexd)
      expect "--resolver" korvexd --res
      expect "openat2" korvexd --resolver o
      expect "files/sub" korvexd --root files/s
      ;;
    korvex-mount)
      expect "--cache-size" korvex-mount --cache-s
      expect "files/sub" korvex-mount --cache-dir files/
      ;;
  esac
done
echo "installed man pages and completions: ok"
