#!/usr/bin/env bash
# Installs the Debian packages korvex needs, when they are missing. Safe to
# run again.
#   scripts/install-deps.sh          what the build, the tests and the benchmarks need
#   scripts/install-deps.sh --build  what the build alone needs (the demo)
set -euo pipefail

build=(cmake ninja-build g++ pkg-config ccache libcli11-dev libedit-dev libfuse3-dev fuse3 python3
  libcpp-httplib-dev nlohmann-json3-dev)
tests=(clang libclang-rt-14-dev libgtest-dev openssh-client openssh-sftp-server socat sshfs
  python3-pytest python3-setuptools python3-wheel python3-pip python3-venv
  chromium chromium-driver python3-selenium)
if [ "${1:-}" = "--build" ]; then
  exec "$(dirname "$0")/install-packages.sh" "${build[@]}"
fi
exec "$(dirname "$0")/install-packages.sh" "${build[@]}" "${tests[@]}"
