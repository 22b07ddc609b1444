#!/usr/bin/env bash
# Deflate engines on identical bytes: every picture is first written with
# filter 0 on every row (tessel -f0 -s3; its colour type, bit depth and
# palette order then stay fixed), and that file's scanlines are compressed by
# zopfli (advpng -z -4, which recompresses the IDAT data as it is) and by
# tessel (-f0 with the reference's colour type and depth, palette indices
# kept). Where advpng would change the colour type (RGB of few colours to a
# palette), the reference is written in advpng's colour type. Each output's
# inflated IDAT must equal the reference's (else it is marked "other bytes");
# IDAT bytes first, CPU seconds (user + system) second.
#
#   bench/engine.sh            the default set of bench/pictures.sh
#   bench/engine.sh FILE...    these pictures
#
# Environment: BUILD_DIR (default build/bench-compare) for the Release tessel,
# or TESSEL=BINARY to use that one;
# ENGINES="NAME=OPTIONS;..." the tessel runs to compare (default
# "tessel=;tessel-o1=-o1 -j1;tessel-o2=-o2 -j1"); ZOPFLI=0 leaves advpng out.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build/bench-compare}
. "$ROOT/bench/pictures.sh"

pictures=("$@")
[ ${#pictures[@]} -gt 0 ] || pictures=("${DEFAULT_PICTURES[@]}")
ENGINES=${ENGINES:-"tessel=;tessel-o1=-o1 -j1;tessel-o2=-o2 -j1"}
ZOPFLI=${ZOPFLI:-1}

if [ -z "${TESSEL:-}" ]; then
  echo "Building tessel (Release) in $BUILD_DIR ..." >&2
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_BENCH=ON >/dev/null
  cmake --build "$BUILD_DIR" --target tessel -j2 >/dev/null
  TESSEL=$BUILD_DIR/tessel
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# "idat BYTES" or "info COLOUR DEPTH" or "same A B" (1 when the inflated IDAT
# data of A and B are equal) from the chunks of a PNG.
png() {
  python3 - "$@" <<'EOF'
import struct, sys, zlib
def chunks(path):
    data = open(path, 'rb').read()
    at = 8
    while at + 8 <= len(data):
        n, = struct.unpack('>I', data[at:at + 4])
        yield data[at + 4:at + 8], data[at + 8:at + 8 + n]
        at += 12 + n
def idat(path):
    return b''.join(body for tag, body in chunks(path) if tag == b'IDAT')
what = sys.argv[1]
if what == 'idat':
    print(len(idat(sys.argv[2])))
elif what == 'info':
    ihdr = next(body for tag, body in chunks(sys.argv[2]) if tag == b'IHDR')
    print(ihdr[9], ihdr[8])
else:
    a, b = (zlib.decompress(idat(p)) for p in sys.argv[2:4])
    print(1 if a == b else 0)
EOF
}

seconds_of() { tail -n 1 "$1" | awk '{ printf "%.2f", $1 + $2 }'; }

names=()
IFS=';' read -r -a engines <<<"$ENGINES"
for entry in "${engines[@]}"; do names+=("${entry%%=*}"); done
[ "$ZOPFLI" = 1 ] && names+=(zopfli)

declare -A sum_bytes sum_seconds
header="| file | filter-0 IDAT (-s3) |"
rule="|---|---|"
for n in "${names[@]}"; do
  sum_bytes[$n]=0
  sum_seconds[$n]=0
  header+=" $n | s |"
  rule+="---|---|"
done
echo "$header"
echo "$rule"

index=0
for src in "${pictures[@]}"; do
  [ -f "$src" ] || { echo "skipped (missing): $src" >&2; continue; }
  index=$((index + 1))
  REF=$WORK/$index.ref.png
  "$TESSEL" "$src" "$REF" -y -q -f0 -s3 -force -kp </dev/null >/dev/null 2>&1 || true
  [ -s "$REF" ] || { echo "skipped (no filter-0 file): $src" >&2; continue; }
  read -r colour depth <<<"$(png info "$REF")"
  if [ "$ZOPFLI" = 1 ]; then
    # advpng turns a picture of few colours into a palette one; the
    # reference then takes that colour type too so that both engines see it.
    cp "$REF" "$WORK/probe.png"
    advpng -z -1 -q "$WORK/probe.png" </dev/null >/dev/null 2>&1 || true
    read -r probe_colour probe_depth <<<"$(png info "$WORK/probe.png")"
    if [ "$probe_colour" != "$colour" ]; then
      "$TESSEL" "$src" "$REF" -y -q -f0 -s3 -force -kp -c"$probe_colour" </dev/null >/dev/null 2>&1 || true
      read -r colour depth <<<"$(png info "$REF")"
    fi
  fi
  row="| $(basename "$src") | $(png idat "$REF") |"
  for n in "${names[@]}"; do
    OUT=$WORK/$index.$n.png
    rm -f "$OUT"
    if [ "$n" = zopfli ]; then
      cp "$REF" "$OUT"
      /usr/bin/time -f "%U %S" -o "$WORK/time" advpng -z -4 -q "$OUT" </dev/null >/dev/null 2>&1 || true
    else
      options=""
      # -d is for grey and palette pictures only.
      case $colour in 0 | 3) options="-d$depth" ;; esac
      for entry in "${engines[@]}"; do [ "${entry%%=*}" = "$n" ] && options+=" ${entry#*=}"; done
      # shellcheck disable=SC2086
      /usr/bin/time -f "%U %S" -o "$WORK/time" "$TESSEL" "$REF" "$OUT" -y -q -force -f0 -kp -c"$colour" \
        $options </dev/null >/dev/null 2>&1 || true
    fi
    seconds=$(seconds_of "$WORK/time")
    if [ -s "$OUT" ] && [ "$(png same "$REF" "$OUT")" = 1 ]; then
      bytes=$(png idat "$OUT")
      mark=""
    else
      bytes=$(png idat "$REF")
      mark=" (other bytes)"
    fi
    sum_bytes[$n]=$((${sum_bytes[$n]} + bytes))
    sum_seconds[$n]=$(awk -v a="${sum_seconds[$n]}" -v b="$seconds" 'BEGIN { printf "%.2f", a + b }')
    row+=" $bytes$mark | $seconds |"
  done
  echo "$row"
done

row="| total | |"
for n in "${names[@]}"; do row+=" ${sum_bytes[$n]} | ${sum_seconds[$n]} |"; done
echo "$row"
