#!/usr/bin/env bash
# Runs the decoder fuzz target under ASan+UBSan for N seconds (default 60),
# seeded from the shared corpus and fuzz/seeds. New inputs go to
# fuzz/corpus-work (not tracked); crashes are written to build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_FUZZ=ON -DTESSEL_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz --target fuzz_decode
mkdir -p fuzz/corpus-work build/fuzz/artifacts
./build/fuzz/fuzz_decode -max_total_time="$seconds" -max_len=1048576 -rss_limit_mb=4096 -timeout=20 \
  -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 \
  fuzz/corpus-work fuzz/seeds ../shared/corpus 2>&1 | tail -n 25
