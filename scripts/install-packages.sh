#!/usr/bin/env bash
# Installs the Debian packages named that are missing; nothing when none is.
#   scripts/install-packages.sh [--add-arch ARCH] PACKAGE...
# --add-arch enables a foreign architecture first (for PACKAGE:ARCH names).
set -euo pipefail

arch=""
if [ "${1:-}" = "--add-arch" ]; then
  arch="$2"
  shift 2
fi
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ -n "$arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $SUDO dpkg --add-architecture "$arch"
fi
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq || true
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
