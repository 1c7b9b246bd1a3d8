#!/usr/bin/env bash
# Installs the built library into a temporary prefix, builds a C host with
# pkg-config and C++ hosts (the C header, the C++17 wrapper) with
# find_package against it, runs them, and runs the installed client, which
# must find the installed library by its own run path.
# Usage: check_install.sh BUILD_DIR HOST_DIR ADDRESS PASSWORD WITH_CLIENT(0|1)
set -euo pipefail
build=$1 hosts=$2 address=$3 password=$4 with_client=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
test -f "$prefix/include/korvex.h"
test -f "$prefix/include/korvex.hpp"
test -f "$prefix/include/korvex/session.hpp"
test -L "$prefix/lib/libkorvex.so"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/c_host" "$hosts/c_host.c" $(pkg-config --cflags --libs korvex) \
  -Wl,-rpath,"$prefix/lib"
mkdir "$work/local"
"$work/c_host" "$address" "$password" "$work/local"

cmake -S "$hosts/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/cpp_host" "$address" "$password"
"$work/consumer/hpp_host" "$address" "$password"

# Every installed program that uses the library finds the installed one.
for program in "$prefix"/bin/*; do
  if ldd "$program" | grep -q libkorvex; then
    found=$(env -u LD_LIBRARY_PATH ldd "$program" | awk '/libkorvex\.so\.1 =>/ { print $3 }')
    [ "$(realpath -q "$found")" = "$(realpath "$prefix/lib/libkorvex.so.1")" ] ||
      { echo "$program finds libkorvex.so.1 at '$found', not in $prefix/lib"; exit 1; }
  fi
done

env -u LD_LIBRARY_PATH "$prefix/bin/korvexd" --version | grep -Eqx 'korvexd [0-9]+\.[0-9]+\.[0-9]+'

if [ "$with_client" = 1 ]; then
  env -u LD_LIBRARY_PATH "$prefix/bin/korvex" --version
  listed=$(env -u LD_LIBRARY_PATH KORVEX_PASSWORD="$password" "$prefix/bin/korvex" --host "$address" ls -D /from-hpp)
  [ "$listed" = inner ]
fi
echo "installed package: ok"
