#!/usr/bin/env bash
# Bytes before and after for the 16-bit and animated test files: tessel's
# default run and -o1 against optipng, zopflipng and oxipng where they take
# the file, every output checked.
#
#   16-bit PNGs of tests/data/pngsuite: every output must be the same picture
#     at 16 bits per sample (bench/tools/pngcmp, libpng).
#   Animated PNGs made by Pillow from the animated GIFs of tests/data/gif
#     (every frame, as apng_pillow_compare.py makes them): every output's
#     frames, composed by Pillow, must be the input's, with the same count;
#     a tool whose output lost frames is shown as "lost".
#   16-bit animated PNGs made from the non-interlaced 16-bit pngsuite files
#     (bench/tools/apng16.py: three frames, stored uncompressed): every
#     output's frames, cut into stills, must be the input's at 16 bits
#     (pngcmp), with the same frame controls.
#   Animated GIFs of tests/data/gif: tessel's animated PNG (the peers take no
#     animated GIF), its frames composed by Pillow against Pillow's frames of
#     the GIF (the files where an image disposed to the background has a
#     local table differ by Pillow's colour there alone, and those whose
#     first image is smaller than the screen are compared inside it, where
#     Pillow shows the transparent index or index 0 around it and tessel the
#     background; as in apng_pillow_compare.py, both count as checked).
#
# usage: bench/animated.sh   (BUILD_DIR picks the build folder; KEEP=1 keeps
# the work folder; SETS="wide apng16 apng gif" picks the tables, ONLY=REGEX the files
# by name, TOOLS="tessel oxipng" the tools, so that a subset can be run on a
# loaded machine). Needs python3 with Pillow (/usr/bin/python3 on Debian).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build/bench-compare}
PY=${PYTHON:-/usr/bin/python3}

echo "Building tessel and pngcmp (Release) in $BUILD_DIR ..." >&2
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" --target tessel pngcmp -j2 >/dev/null
TESSEL=$BUILD_DIR/tessel
PNGCMP=$BUILD_DIR/pngcmp

WORK=$(mktemp -d)
if [ "${KEEP:-0}" != 1 ]; then trap 'rm -rf "$WORK"' EXIT; fi

read -r -a TOOLS <<<"${TOOLS:-tessel tessel-o1 optipng zopflipng oxipng}"
SETS=${SETS:-wide apng16 apng gif}
ONLY=${ONLY:-.}
wanted() { [[ " $SETS " == *" $1 "* ]]; }
picked() { basename "$1" | grep -Eq -- "$ONLY"; }
run_tool() {  # tool in out
  case "$1" in
    tessel) "$TESSEL" -q -y "$2" "$3" >/dev/null 2>&1 ;;
    tessel-o1) "$TESSEL" -q -y -o1 "$2" "$3" >/dev/null 2>&1 ;;
    optipng) optipng -quiet -force -out "$3" "$2" >/dev/null 2>&1 ;;
    zopflipng) zopflipng -y "$2" "$3" >/dev/null 2>&1 ;;
    oxipng) oxipng -q --force --out "$3" "$2" >/dev/null 2>&1 ;;
  esac
}

# Pillow's check of an animated output: "ok", "lost" (fewer frames or none)
# or "differs".
cat >"$WORK/frames.py" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
from PIL import Image, ImageSequence
from apng_pillow_compare import first_image_rect, local_background_only, same_rgba


def frames(path):
    with Image.open(path) as im:
        return [f.convert("RGBA").tobytes() for f in ImageSequence.Iterator(im)], im.size


def same(a, b):
    return all(a[i:i + 4] == b[i:i + 4] or (a[i + 3] == 0 and b[i + 3] == 0) for i in range(0, len(a), 4))


want, size = frames(sys.argv[2])
got, _ = frames(sys.argv[3])
if len(got) != len(want):
    print("lost")
elif all(same(a, b) for a, b in zip(want, got)):
    print("ok")
elif sys.argv[2].endswith(".gif") and local_background_only(sys.argv[2], want, got, size):
    print("ok")
elif sys.argv[2].endswith(".gif") and not first_image_rect(sys.argv[2])[1] and all(
        same_rgba(a, b, size, first_image_rect(sys.argv[2])[0]) for a, b in zip(want, got)):
    print("ok")
else:
    print("differs")
EOF

# Two 16-bit animations show the same frames: the same frame controls, and
# every frame the same picture at 16 bits.
same_frames16() {  # a b
  local da="$WORK/split/a" db="$WORK/split/b"
  rm -rf "$WORK/split"
  mkdir -p "$da" "$db"
  "$PY" "$ROOT/bench/tools/apng16.py" split "$1" "$da" >"$WORK/split/controls-a" || return 1
  "$PY" "$ROOT/bench/tools/apng16.py" split "$2" "$db" >"$WORK/split/controls-b" || return 1
  cmp -s "$WORK/split/controls-a" "$WORK/split/controls-b" || return 1
  local g
  for g in "$da"/frame*.png; do "$PNGCMP" "$g" "$db/$(basename "$g")" >/dev/null 2>&1 || return 1; done
}

# Inputs: 16-bit PNGs, 16-bit APNGs made from them, APNGs made by Pillow, animated GIFs.
mkdir -p "$WORK/in"
sixteen=() apng16=() apngs=() gifs=()
for f in "$ROOT"/tests/data/pngsuite/*.png; do
  name=$(basename "$f")
  [ "${name:0:1}" = x ] && continue
  wanted wide && picked "$f" || continue
  depth=$(od -An -tu1 -j24 -N1 "$f" | tr -d ' ')
  [ "$depth" = 16 ] && sixteen+=("$f")
done
if wanted apng16; then
  for f in "$ROOT"/tests/data/pngsuite/basn*16.png "$ROOT"/tests/data/pngsuite/bgan6a16.png; do
    picked "$f" || continue
    out="$WORK/in/anim-$(basename "$f")"
    "$PY" "$ROOT/bench/tools/apng16.py" make "$f" "$out" && apng16+=("$out")
  done
fi
while IFS= read -r f; do
  { wanted apng || wanted gif; } && picked "$f" || continue
  n=$("$PY" -c 'import sys
from PIL import Image
try:
    print(getattr(Image.open(sys.argv[1]), "n_frames", 1))
except Exception:
    print(0)' "$f")
  [ "$n" -gt 1 ] || continue
  out="$WORK/in/$(basename "${f%.gif}").png"
  # Only GIFs whose every frame Pillow reads (it is the judge).
  "$PY" - "$f" "$out" <<'EOF' || continue
import sys
from PIL import Image, ImageSequence
try:
    with Image.open(sys.argv[1]) as im:
        fr = [f.convert("RGBA") for f in ImageSequence.Iterator(im)]
except Exception:
    sys.exit(1)
fr[0].save(sys.argv[2], save_all=True, append_images=fr[1:], duration=[70] * len(fr), loop=0)
EOF
  gifs+=("$f")
  apngs+=("$out")
done < <(find "$ROOT/tests/data/gif" -name '*.gif' | sort)

declare -A total
table() {  # title kind files...
  local title=$1 kind=$2
  shift 2
  echo
  echo "### $title"
  echo
  printf '| file | input |'
  for t in "${TOOLS[@]}"; do printf ' %s |' "$t"; done
  echo
  printf '|---|---|'
  for t in "${TOOLS[@]}"; do printf -- '---|'; done
  echo
  local in_total=0
  for t in "${TOOLS[@]}"; do total[$t]=0; done
  for f in "$@"; do
    local name size
    name=$(basename "$f")
    size=$(stat -c %s "$f")
    in_total=$((in_total + size))
    printf '| %s | %d |' "$name" "$size"
    for t in "${TOOLS[@]}"; do
      local out="$WORK/out/$t/$name.png" cell verdict
      mkdir -p "$WORK/out/$t"
      rm -f "$out"
      if [ "$kind" = gif ] && [ "${t:0:6}" != tessel ]; then
        cell="-"
        total[$t]=$((total[$t] + size))
      elif ! run_tool "$t" "$f" "$out" || [ ! -s "$out" ]; then
        # No file: the tool kept the input (not smaller) or refused it.
        cell="($size)"
        total[$t]=$((total[$t] + size))
      else
        if [ "$kind" = wide ]; then
          "$PNGCMP" "$f" "$out" >/dev/null 2>&1 && verdict=ok || verdict=differs
        elif [ "$kind" = apng16 ]; then
          same_frames16 "$f" "$out" && verdict=ok || verdict=lost
        else
          verdict=$("$PY" "$WORK/frames.py" "$ROOT/tests/cli" "$f" "$out")
        fi
        local got
        got=$(stat -c %s "$out")
        if [ "$verdict" = ok ]; then
          cell=$got
          total[$t]=$((total[$t] + got))
        else
          cell="$got $verdict"
          total[$t]=$((total[$t] + size))
        fi
      fi
      printf ' %s |' "$cell"
    done
    echo
  done
  printf '| **total** | %d |' "$in_total"
  for t in "${TOOLS[@]}"; do printf ' %d |' "${total[$t]}"; done
  echo
}

echo "Bytes per file; (n): no file written, the input's n bytes counted;"
echo "\"lost\"/\"differs\": output not lossless, the input's bytes counted."
if wanted wide; then table "16-bit PNG (pngsuite)" wide "${sixteen[@]}"; fi
if wanted apng16; then table "16-bit animated PNG (three frames from each 16-bit pngsuite still)" apng16 "${apng16[@]}"; fi
if wanted apng; then table "Animated PNG (Pillow's APNG of each animated GIF)" apng "${apngs[@]}"; fi
if wanted gif; then table "Animated GIF to animated PNG" gif "${gifs[@]}"; fi
