#!/usr/bin/env bash
# Installs the test oracles and tools (Debian packages only), skipping the
# network when everything is already present.
set -euo pipefail
packages=(cmake ninja-build g++ make clang libclang-rt-14-dev
          libgtest-dev libgmock-dev zlib1g-dev libpng-dev libjpeg-dev libgif-dev libstb-dev python3-pil)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
