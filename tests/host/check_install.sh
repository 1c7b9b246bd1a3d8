#!/usr/bin/env bash
# Installs the built library into a temporary prefix, builds a C host with
# pkg-config and a C++ host with find_package against it, and runs both.
# Usage: check_install.sh BUILD_DIR HOST_DIR ADDRESS PASSWORD
set -euo pipefail
build=$1 hosts=$2 address=$3 password=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
test -f "$prefix/include/korvex.h"
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
echo "installed package: ok"
