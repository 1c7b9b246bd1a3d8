#!/usr/bin/env bash
# Checks the library's lock annotations with clang's thread-safety analysis:
# a member marked GUARDED_BY used without its mutex fails the run. Windows
# sources are checked against the mingw-w64 headers when those are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
flags=(-std=c++20 -fsyntax-only -Wthread-safety -Werror=thread-safety -Isrc -Isrc/protocol -Iinclude)
windows=()
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  # clang does not find the cross compiler's C++ headers by itself.
  mapfile -t dirs < <(echo | x86_64-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
    sed -n '/<...> search starts here/,/End of search list/p' | grep '^ /' | grep -v 'include-fixed\|gcc/x86_64-w64-mingw32/[^/]*/include$')
  windows=(--target=x86_64-w64-mingw32 -nostdinc++)
  for d in "${dirs[@]}"; do windows+=(-isystem "${d# }"); done
fi
for source in src/*/*.cpp; do
  case $source in
    *_win32.cpp)
      [ ${#windows[@]} -gt 0 ] || continue
      clang++ "${windows[@]}" "${flags[@]}" "$source" || status=1 ;;
    *) clang++ "${flags[@]}" "$source" || status=1 ;;
  esac
done
[ "$status" -eq 0 ] && echo "lock annotations: ok"
exit "$status"
