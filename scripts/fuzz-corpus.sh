#!/usr/bin/env bash
# Fuzzes each target for SECONDS under ASan+UBSan and keeps its corpus,
# minimised, under fuzz/corpus/TARGET/ (committed; CTest replays it).
#   scripts/fuzz-corpus.sh SECONDS [TARGET...]    default: every fuzz/fuzz_*.cpp
# Each run starts from the kept corpus, fuzz/seeds/FORMAT and tests/data/FORMAT;
# crashes go to build/fuzz-corpus/artifacts/TARGET/. One line per target
# reports executions, coverage (edges and features) and the corpus size, and
# the same goes as a row into fuzz/LOG.md, the log of every run (its
# findings column is completed by hand once each is fixed). A finding ends
# the run early. The seconds logged are the CPU seconds (user+sys) the fuzzer
# had: at a low priority on a shared machine a run lasts longer than it works.
#   FUZZ_NICE   priority of the fuzzer and the minimising (default 15; 19 takes
#               only CPU time nobody else wants)
#   FUZZ_TIMEOUT seconds of wall time one input may take before it counts as
#               a hang (default 20; 120 at priority 19, where a unit of a
#               fraction of a CPU second has waited 28 s for the cores)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz-corpus.sh SECONDS [TARGET...]}
shift
if [ $# -eq 0 ]; then
  set -- $(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//')
fi
build=build/fuzz-corpus
niceness=${FUZZ_NICE:-15}
unit_timeout=${FUZZ_TIMEOUT:-$([ "$niceness" -ge 19 ] && echo 120 || echo 20)}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_FUZZ=ON -DTESSEL_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
nice -n "$niceness" cmake --build "$build" --target "$@" >/dev/null

seeds_of() {
  case "$1" in
    fuzz_png) echo "fuzz/seeds/png tests/data/pngsuite" ;;
    fuzz_png_wide) echo "fuzz/seeds/png16 tests/data/pngsuite" ;;
    fuzz_apng) echo "fuzz/seeds/apng" ;;
    fuzz_gif_frames) echo "fuzz/seeds/gif_frames fuzz/seeds/gif tests/data/gif" ;;
    fuzz_jpeg | fuzz_gif | fuzz_bmp | fuzz_pcx | fuzz_dds | fuzz_tga)
      local f=${1#fuzz_}
      echo "fuzz/seeds/$f tests/data/$f" ;;
    fuzz_cel) echo "" ;;
    fuzz_encode) echo "fuzz/seeds/encode" ;;
    fuzz_chunks) echo "fuzz/seeds/png" ;;
    *) echo "fuzz/seeds tests/data" ;;
  esac
}

for target in "$@"; do
  kept=fuzz/corpus/$target
  work=$build/work/$target
  artifacts=$build/artifacts/$target/
  mkdir -p "$kept" "$work" "$artifacts"
  max_len=16384
  [ "$target" = fuzz_encode ] && max_len=8192
  [ "$target" = fuzz_run ] && max_len=16384
  log=$build/$target.log
  # Slow units (libFuzzer's slow-unit-*, over 10 s of wall time) are kept
  # for a look but are no findings: at a low priority on a loaded machine a
  # unit of a quarter of a CPU second has waited 25 s.
  before=$(find "$artifacts" -type f ! -name 'slow-unit-*' | wc -l)
  # shellcheck disable=SC2046
  /usr/bin/time -f '%U %S' -o "$build/$target.time" \
    nice -n "$niceness" "./$build/$target" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 \
    -timeout="$unit_timeout" -artifact_prefix="$artifacts" -print_final_stats=1 "$work" "$kept" $(seeds_of "$target") \
    >"$log" 2>&1 || true
  lasted=$(awk 'END { printf "%d", $1 + $2 }' "$build/$target.time")
  # Minimise: only inputs that reach new edges are kept, the smallest of each.
  # Hit counts are left out (-use_counters=0): they keep ten times the files
  # for the same edges. The run's own folder keeps everything for the next.
  fresh=$build/fresh/$target
  rm -rf "$fresh" && mkdir -p "$fresh"
  nice -n "$niceness" "./$build/$target" -merge=1 -use_counters=0 -max_len="$max_len" -rss_limit_mb=2048 -timeout="$unit_timeout" \
    "$fresh" "$kept" "$work" >"$build/$target.merge.log" 2>&1 || true
  # Files named by hand (regression inputs, not libFuzzer's 40-digit hashes)
  # stay whatever the merge thinks of their edges.
  find "$kept" -maxdepth 1 -type f -regextype posix-extended ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$fresh"/ \;
  rm -rf "$kept" && mv "$fresh" "$kept"
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1 | grep -o '[0-9]*' || echo "?")
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n1 | grep -o '[0-9]*' || echo "?")
  crashes=$(($(find "$artifacts" -type f ! -name 'slow-unit-*' | wc -l) - before))
  files=$(ls "$kept" | wc -l)
  size=$(du -sh "$kept" | cut -f1)
  echo "$target: ${lasted}s, $execs executions, cov $cov, ft $ft, corpus $files files ($size), $crashes finding(s)"
  echo "| $(date -u +%Y-%m-%d) | $target | $lasted | $execs | $cov | $ft | $files ($size) | $crashes |" >>fuzz/LOG.md
done
