#!/usr/bin/env bash
# Runs the decoder fuzz target under ASan+UBSan for N seconds (default 60).
#   FUZZ_NAME   separates build and work folders of concurrent runs (default "main")
#   FUZZ_SEEDS  seed folders (default: fuzz/seeds and the whole shared corpus)
# New inputs go to fuzz/corpus-work/NAME (not tracked); crashes to build/fuzz-NAME/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
name=${FUZZ_NAME:-main}
seeds=${FUZZ_SEEDS:-"fuzz/seeds ../shared/corpus"}
build=build/fuzz-$name
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_FUZZ=ON -DTESSEL_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target fuzz_decode
mkdir -p "fuzz/corpus-work/$name" "$build/artifacts"
# shellcheck disable=SC2086
nice -n 15 "./$build/fuzz_decode" -max_total_time="$seconds" -max_len=1048576 -rss_limit_mb=4096 -timeout=20 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 \
  "fuzz/corpus-work/$name" $seeds 2>&1 | tail -n 25
