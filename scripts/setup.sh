#!/usr/bin/env bash
# Installs what building tessel needs on a fresh Debian machine (run as root,
# or with sudo available).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends cmake ninja-build g++ make >/dev/null
echo "build tools ready"
