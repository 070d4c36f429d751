#!/usr/bin/env bash
# Installs the Debian packages the build needs, when some are missing.
# Usage: tools/install-deps.sh [extra-package ...]
set -euo pipefail
packages=(cmake g++ make libace-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config
  libcli11-dev nlohmann-json3-dev libssl-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing ${missing[*]} ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
