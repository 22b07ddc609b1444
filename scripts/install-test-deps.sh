#!/usr/bin/env bash
# Installs the test oracles and tools (Debian packages only), when missing.
set -euo pipefail
"$(dirname "$0")/install-missing.sh" cmake ninja-build g++ make clang libclang-rt-14-dev \
  libgtest-dev libgmock-dev zlib1g-dev libpng-dev libjpeg-dev libgif-dev libstb-dev python3-pil
