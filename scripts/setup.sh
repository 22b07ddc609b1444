#!/usr/bin/env bash
# Installs what building tessel needs on a fresh Debian machine, when missing.
set -euo pipefail
"$(dirname "$0")/install-missing.sh" cmake ninja-build g++ make
echo "build tools ready"
