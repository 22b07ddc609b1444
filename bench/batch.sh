#!/usr/bin/env bash
# One batch (tessel -i) over the bench set with one worker and with two:
# wall and CPU seconds of each, and a check that both runs printed the same
# lines and left byte-identical trees.
#
#   bench/batch.sh            the pictures of bench/compare.sh's default set
#                             (run bench/compare.sh once to install them)
#   bench/batch.sh DIR        every file under DIR, the folder as it is
#
# Environment: BUILD_DIR (default build/bench-compare) for the Release build;
# OPTIONS (default none) added to both runs, e.g. OPTIONS=-s3 for a quick look;
# KEEP=1 keeps the work folder.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build/bench-compare}
OPTIONS=${OPTIONS:-}

cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target tessel >/dev/null
TESSEL=$BUILD_DIR/tessel

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tessel-batch-XXXXXX")
if [[ "${KEEP:-0}" != 1 ]]; then trap 'rm -rf "$WORK"' EXIT; fi

mkdir -p "$WORK/source"
if [[ $# -ge 1 ]]; then
  cp -a "$1/." "$WORK/source/"
else
  # The default set, spread over folders by size class so the walk has work.
  mapfile -t pictures < <(sed -n '/^DEFAULT_PICTURES=(/,/^)/p' "$ROOT/bench/compare.sh" | grep '^ */')
  for p in "${pictures[@]}"; do
    p=${p// /}
    [[ -f "$p" ]] || { echo "missing $p: run bench/compare.sh once to install the set" >&2; exit 1; }
    size=$(stat -c %s "$p")
    folder="$WORK/source/$((size / 65536))"
    mkdir -p "$folder"
    cp "$p" "$folder/$(echo "${p#/usr/share/}" | tr / _)"
  done
fi
files=$(find "$WORK/source" -type f | wc -l)
bytes=$(find "$WORK/source" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
echo "bench set: $files files, $bytes bytes; options: ${OPTIONS:-(default)}; $(nproc) processors"

run() {  # jobs
  local tree="$WORK/j$1"
  cp -a "$WORK/source" "$tree"
  local start end
  start=$(date +%s.%N)
  # shellcheck disable=SC2086
  (cd "$tree" && /usr/bin/time -f '%U %S' -o "$WORK/cpu$1" "$TESSEL" -i "-j$1" $OPTIONS . >"$WORK/out$1" 2>&1) || true
  end=$(date +%s.%N)
  # The last line: a failing run gets a line about its status first.
  read -r user system < <(tail -n 1 "$WORK/cpu$1")
  printf 'j%s: wall %6.2f s, CPU %6.2f s (user %.2f, system %.2f)   %s\n' "$1" \
    "$(echo "$end - $start" | bc)" "$(echo "$user + $system" | bc)" "$user" "$system" "$(tail -n 1 "$WORK/out$1")"
}

run 1
run 2

if cmp -s "$WORK/out1" "$WORK/out2"; then echo "lines: identical"; else
  echo "lines: DIFFER"
  diff "$WORK/out1" "$WORK/out2" | head -20
  exit 1
fi
if diff -r "$WORK/j1" "$WORK/j2" >/dev/null; then echo "trees: byte-identical"; else
  echo "trees: DIFFER"
  diff -rq "$WORK/j1" "$WORK/j2" | head -20
  exit 1
fi
