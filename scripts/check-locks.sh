#!/usr/bin/env bash
# Checks the library's lock annotations with clang's thread-safety analysis:
# a member marked GUARDED_BY used without its mutex fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for source in src/*/*.cpp; do
  # Windows sources need the Windows headers.
  [[ "$source" == *_win32.cpp ]] && continue
  clang++ -std=c++20 -fsyntax-only -Wthread-safety -Werror=thread-safety -Isrc -Iinclude "$source" || status=1
done
[ "$status" -eq 0 ] && echo "lock annotations: ok"
exit "$status"
