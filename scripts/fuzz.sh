#!/usr/bin/env bash
# Runs a fuzz target under ASan+UBSan for N seconds (default 60).
#   FUZZ_TARGET fuzz_decode (every decoder, default) or fuzz_encode (encoder round trips)
#   FUZZ_NAME   separates build and work folders of concurrent runs (default "main")
#   FUZZ_SEEDS  seed folders (default: fuzz/seeds and the test pictures in tests/data)
# New inputs go to fuzz/corpus-work/NAME-TARGET (not tracked); crashes to build/fuzz-NAME/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
target=${FUZZ_TARGET:-fuzz_decode}
name=${FUZZ_NAME:-main}
seeds=${FUZZ_SEEDS:-"fuzz/seeds tests/data"}
build=build/fuzz-$name
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_FUZZ=ON -DTESSEL_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
work=fuzz/corpus-work/$name-$target
# An encoder input is a picture of at most 40 x 40 and its options: a few KB say it all.
max_len=1048576
[ "$target" = fuzz_encode ] && max_len=8192
cmake --build "$build" --target "$target"
mkdir -p "$work" "$build/artifacts"
# shellcheck disable=SC2086
nice -n 15 "./$build/$target" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=4096 -timeout=20 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 \
  "$work" $seeds 2>&1 | tail -n 25
