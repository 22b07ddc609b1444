#!/usr/bin/env bash
# Compares tessel (its default run and the search levels -o1 to -o3) with
# optipng, zopflipng, advpng and oxipng in
# their default and strongest lossless modes on a folder of PNG files, checks
# every output pixel for pixel against its input (bench/tools/pngcmp), and
# prints per-file sizes and the total bytes and seconds of each tool.
#
#   bench/compare.sh            the default set: 26 pictures (16x16 icons to
#                               1920x1080 wallpapers) from Debian packages
#                               that the script installs when missing
#   bench/compare.sh DIR        every *.png in DIR (not recursive)
#
# Environment: BUILD_DIR (default build/bench-compare) for the Release build
# of tessel and pngcmp; KEEP=1 keeps the work folder with every output;
# ONLY="tessel-o1 optipng-o7 ..." runs only the named tools (the names of the
# TOOLS list below); NICE=1 runs every tool under nice.
#
# Two tables come out: bytes per file and tool (then the totals: bytes,
# % of input, wall seconds and user + system CPU seconds), and CPU seconds
# per file and tool, which show where a tool spends its time. On a shared
# machine the CPU column is the steadier one.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build/bench-compare}

# The default set and where it comes from.
. "$ROOT/bench/pictures.sh"

# name | how to run it ($IN input, $OUT output). advpng rewrites a copy of the
# input in place; the others write $OUT, and where one declines to (nothing
# smaller found) the input stands as its result, as it would for a user.
ALL_TOOLS=(
  "tessel|\"\$TESSEL\" \"\$IN\" \"\$OUT\" -y -q"
  "tessel-o1|\"\$TESSEL\" \"\$IN\" \"\$OUT\" -y -q -o1 -j1"
  "tessel-o2|\"\$TESSEL\" \"\$IN\" \"\$OUT\" -y -q -o2 -j1"
  "tessel-o3|\"\$TESSEL\" \"\$IN\" \"\$OUT\" -y -q -o3 -j1"
  "optipng|optipng -quiet -force -out \"\$OUT\" \"\$IN\""
  "optipng-o7|optipng -quiet -force -o7 -out \"\$OUT\" \"\$IN\""
  "zopflipng|zopflipng -y \"\$IN\" \"\$OUT\""
  "zopflipng-m|zopflipng -y -m --filters=0me \"\$IN\" \"\$OUT\""
  "advpng|advpng -z -q \"\$OUT\""
  "advpng-4|advpng -z -4 -q \"\$OUT\""
  "oxipng|oxipng -q --out \"\$OUT\" \"\$IN\""
  "oxipng-max|oxipng -q -o max --out \"\$OUT\" \"\$IN\""
)
TOOLS=()
for t in "${ALL_TOOLS[@]}"; do
  if [ -z "${ONLY:-}" ] || [[ " $ONLY " == *" ${t%%|*} "* ]]; then TOOLS+=("$t"); fi
done
[ ${#TOOLS[@]} -gt 0 ] || { echo "ONLY names no tool of: $(for t in "${ALL_TOOLS[@]}"; do printf '%s ' "${t%%|*}"; done)" >&2; exit 1; }
RUN_PREFIX=()
[ "${NICE:-0}" = 1 ] && RUN_PREFIX=(nice)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]} ..." >&2
  as_root apt-get update -qq >/dev/null
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

install_packages optipng zopfli advancecomp

pictures=()
if [ $# -ge 1 ]; then
  shopt -s nullglob
  pictures=("$1"/*.png "$1"/*.PNG)
  shopt -u nullglob
  [ ${#pictures[@]} -gt 0 ] || { echo "no PNG files in $1" >&2; exit 1; }
else
  install_packages "${DEFAULT_PACKAGES[@]}"
  for p in "${DEFAULT_PICTURES[@]}"; do
    if [ -f "$p" ]; then pictures+=("$p"); else echo "skipped (not in this package version): $p" >&2; fi
  done
fi

echo "Building tessel and pngcmp (Release) in $BUILD_DIR ..." >&2
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" --target tessel pngcmp -j2 >/dev/null
TESSEL=$BUILD_DIR/tessel
PNGCMP=$BUILD_DIR/pngcmp

WORK=$(mktemp -d)
if [ "${KEEP:-0}" != 1 ]; then trap 'rm -rf "$WORK"' EXIT; fi

png_size() {  # width x height from IHDR
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

declare -A total_bytes total_ns total_cpu failures
cpu_rows=()
for t in "${TOOLS[@]}"; do
  name=${t%%|*}
  total_bytes[$name]=0
  total_ns[$name]=0
  total_cpu[$name]=0
  failures[$name]=0
done
total_in=0

header=$(printf "%-34s %10s %9s" "file" "size" "input")
for t in "${TOOLS[@]}"; do header+=$(printf " %11s" "${t%%|*}"); done
echo "$header"

index=0
for src in "${pictures[@]}"; do
  index=$((index + 1))
  IN=$WORK/$index.png
  cp "$src" "$IN"
  in_bytes=$(stat -c %s "$IN")
  total_in=$((total_in + in_bytes))
  row=$(printf "%-34.34s %10s %9d" "$(basename "$src")" "$(png_size "$IN")" "$in_bytes")
  cpu_row=$(printf "%-34.34s" "$(basename "$src")")
  for t in "${TOOLS[@]}"; do
    name=${t%%|*}
    command=${t#*|}
    OUT=$WORK/$index.$name.png
    rm -f "$OUT"
    case $name in advpng*) cp "$IN" "$OUT" ;; esac
    start=$(date +%s%N)
    IN=$IN OUT=$OUT TESSEL=$TESSEL "${RUN_PREFIX[@]}" /usr/bin/time -f "%U %S" -o "$WORK/cpu" \
      bash -c "$command" </dev/null >/dev/null 2>&1 || true
    end=$(date +%s%N)
    cpu=$(awk 'NF == 2 { printf "%.2f", $1 + $2 }' "$WORK/cpu")
    total_cpu[$name]=$(awk -v a="${total_cpu[$name]}" -v b="${cpu:-0}" 'BEGIN { printf "%.2f", a + b }')
    cpu_row+=$(printf " %11s" "${cpu:-?}")
    [ -s "$OUT" ] || cp "$IN" "$OUT"
    total_ns[$name]=$(( ${total_ns[$name]} + end - start ))
    bytes=$(stat -c %s "$OUT")
    total_bytes[$name]=$(( ${total_bytes[$name]} + bytes ))
    mark=" "
    if ! "$PNGCMP" "$src" "$OUT" >/dev/null 2>&1; then
      mark="!"
      failures[$name]=$(( ${failures[$name]} + 1 ))
    fi
    row+=$(printf " %10d%s" "$bytes" "$mark")
  done
  echo "$row"
  cpu_rows+=("$cpu_row")
done

echo
printf "%-12s %12s %8s %10s %10s %s\n" "tool" "total bytes" "% input" "wall s" "CPU s" "not lossless"
printf "%-12s %12d %8s %10s %10s\n" "input" "$total_in" "100.0" "-" "-"
for t in "${TOOLS[@]}"; do
  name=${t%%|*}
  printf "%-12s %12d %8s %10s %10s %d\n" "$name" "${total_bytes[$name]}" \
    "$(awk -v a="${total_bytes[$name]}" -v b="$total_in" 'BEGIN { printf "%.2f", 100 * a / b }')" \
    "$(awk -v n="${total_ns[$name]}" 'BEGIN { printf "%.2f", n / 1e9 }')" "${total_cpu[$name]}" "${failures[$name]}"
done
echo "(! after a size: the output is not the same picture as its input, pixel for pixel)"

echo
header=$(printf "%-34s" "CPU seconds (user + system)")
for t in "${TOOLS[@]}"; do header+=$(printf " %11s" "${t%%|*}"); done
echo "$header"
for r in "${cpu_rows[@]}"; do echo "$r"; done
