#!/usr/bin/env bash
# Builds the Release binary at build/release/tessel and shows it running.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target tessel
./build/release/tessel -? || true
