#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# when they are missing. Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config libgtest-dev libcli11-dev libedit-dev python3 openssh-client openssh-sftp-server libfuse3-dev fuse3 socat sshfs
  python3-pytest python3-setuptools python3-wheel python3-pip python3-venv
  libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium)
exec "$(dirname "$0")/install-packages.sh" "${packages[@]}"
