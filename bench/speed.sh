#!/usr/bin/env bash
# Times tessel's default run picture by picture against zopflipng and
# optipng -o2 in one run, and against an older tessel binary whose output must
# be the same bytes (checked with cmp). Sizes first, CPU seconds (user +
# system) second; every output is checked pixel for pixel against its input
# (bench/tools/pngcmp). Each tool runs once per picture: on a shared machine
# keep the set small.
#
#   bench/speed.sh OLD_TESSEL            the default set and the large pictures
#   bench/speed.sh OLD_TESSEL FILE...    these pictures
#
# OLD_TESSEL: a tessel binary built from an earlier commit, or "-" for none.
# Environment: BUILD_DIR (default build/bench-compare) for the Release build
# of tessel and pngcmp; SET=default|large|all (default all) without FILEs;
# TOOLS="tessel old zopflipng optipng" to choose the columns (tessel-j1 is
# tessel on one thread, whose bytes must be tessel's too); CLOCK=wall times
# wall seconds, with the CPU seconds after them in brackets (the default run
# parses its passes' blocks on every hardware thread).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build/bench-compare}
. "$ROOT/bench/pictures.sh"

[ $# -ge 1 ] || { sed -n '2,16p' "$0" >&2; exit 2; }
OLD=$1
shift
TOOLS=${TOOLS:-tessel old zopflipng optipng}
[ "$OLD" = - ] && TOOLS=${TOOLS//old/}

pictures=()
if [ $# -ge 1 ]; then
  pictures=("$@")
else
  case ${SET:-all} in
    default) pictures=("${DEFAULT_PICTURES[@]}") ;;
    large) pictures=("${LARGE_PICTURES[@]}") ;;
    *) pictures=("${DEFAULT_PICTURES[@]}" "${LARGE_PICTURES[@]}") ;;
  esac
fi

echo "Building tessel and pngcmp (Release) in $BUILD_DIR ..." >&2
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" --target tessel pngcmp -j2 >/dev/null
TESSEL=$BUILD_DIR/tessel
PNGCMP=$BUILD_DIR/pngcmp

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

png_size() {  # width x height from IHDR
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

# Runs one tool on $1 into $2 and prints its CPU seconds; where a tool writes
# nothing (nothing smaller found) the input stands as its result.
run_tool() {
  local tool=$1 in=$2 out=$3
  rm -f "$out"
  local command
  case $tool in
    tessel) command=("$TESSEL" "$in" "$out" -y -q) ;;
    tessel-j1) command=("$TESSEL" "$in" "$out" -y -q -j1) ;;
    old) command=("$OLD" "$in" "$out" -y -q) ;;
    zopflipng) command=(zopflipng -y "$in" "$out") ;;
    optipng) command=(optipng -quiet -force -o2 -out "$out" "$in") ;;
  esac
  /usr/bin/time -f "%U %S %e" -o "$WORK/time" "${command[@]}" </dev/null >/dev/null 2>&1 || true
  [ -s "$out" ] || cp "$in" "$out"
  if [ "${CLOCK:-cpu}" = wall ]; then
    tail -n 1 "$WORK/time" | awk '{ printf "%.2f (%.2f)", $3, $1 + $2 }'
  else
    tail -n 1 "$WORK/time" | awk '{ printf "%.2f", $1 + $2 }'
  fi
}

declare -A sum_bytes sum_seconds
for t in $TOOLS; do
  sum_bytes[$t]=0
  sum_seconds[$t]=0
done

header="| file | size | input |"
rule="|---|---|---|"
for t in $TOOLS; do
  header+=" $t bytes | $t s |"
  rule+="---|---|"
done
[[ " $TOOLS " == *" old "* ]] && { header+=" old/new |"; rule+="---|"; }
echo "$header"
echo "$rule"

index=0
for src in "${pictures[@]}"; do
  [ -f "$src" ] || { echo "skipped (missing): $src" >&2; continue; }
  index=$((index + 1))
  IN=$WORK/$index.png
  cp "$src" "$IN"
  row="| $(basename "$src") | $(png_size "$IN") | $(stat -c %s "$IN") |"
  for t in $TOOLS; do
    OUT=$WORK/$index.$t.png
    seconds=$(run_tool "$t" "$IN" "$OUT")
    bytes=$(stat -c %s "$OUT")
    mark=""
    "$PNGCMP" "$src" "$OUT" >/dev/null 2>&1 || mark=" (not lossless!)"
    if [ "$t" = old ] || [ "$t" = tessel-j1 ]; then
      cmp -s "$OUT" "$WORK/$index.tessel.png" || mark+=" (other bytes!)"
    fi
    sum_bytes[$t]=$(( ${sum_bytes[$t]} + bytes ))
    sum_seconds[$t]=$(awk -v a="${sum_seconds[$t]}" -v b="${seconds%% *}" 'BEGIN { printf "%.2f", a + b }')
    row+=" $bytes$mark | $seconds |"
    [ "$t" = tessel ] && new_seconds=${seconds%% *}
    [ "$t" = old ] && old_seconds=${seconds%% *}
  done
  # Parenthesised: a bare ">" in awk's printf arguments redirects to a file.
  [[ " $TOOLS " == *" old "* ]] &&
    row+=" $(awk -v a="$old_seconds" -v b="$new_seconds" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }') |"
  echo "$row"
done

row="| total | | |"
for t in $TOOLS; do row+=" ${sum_bytes[$t]} | ${sum_seconds[$t]} |"; done
[[ " $TOOLS " == *" old "* ]] && row+=" $(awk -v a="${sum_seconds[old]}" -v b="${sum_seconds[tessel]}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }') |"
echo "$row"
