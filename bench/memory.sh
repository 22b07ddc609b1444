#!/usr/bin/env bash
# Peak resident memory of whole runs against the picture's pixel bytes, for
# cel pictures of 1, 16 and 64 megapixels (smooth, so the passes are quick):
#   bench/memory.sh [TESSEL]      default build/release/tessel
# Prints megapixels, strategy (-s3 splits blocks and keeps the filtered rows,
# -s4 stores), peak resident KiB and bytes per pixel above a one-pixel run's
# peak with the same strategy; the run's memory check reserves 12. Then the
# same for 16-bit RGBA PNGs (samples that 8 bits cannot hold, so the wide
# path runs), for which the check reserves 28.
set -euo pipefail
cd "$(dirname "$0")/.."
tessel=${1:-build/release/tessel}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_cel() {
  python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
w, h, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
head = bytearray(800)
head[0:2] = b'\x19\x91'; head[2:4] = struct.pack('<H', w); head[4:6] = struct.pack('<H', h); head[10] = 8
for i in range(768): head[32 + i] = (i * 7) % 64
row = bytes(((x // 3) ^ (x // 17)) & 255 for x in range(w))
with open(path, 'wb') as f:
    f.write(head)
    for y in range(h): f.write(row[y % 7:] + row[:y % 7])
PY
}
make_png16() {
  python3 - "$1" "$2" "$3" <<'PY'
import struct, sys, zlib
w, h, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xFFFFFFFF)
# Rows repeat every 256 pixels (2 KiB), within deflate's reach, so the file
# stays small beside the pixels it holds.
row = bytearray()
for x in range(w):
    v = ((x * 37) & 0xFF) << 8 | ((x * 11) & 0xFF)
    row += struct.pack('>HHHH', v, (v * 3) & 0xFFFF, 0xFFFF - v, 0xFFFF)
z = zlib.compressobj(1)
with open(path, 'wb') as f:
    f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 16, 6, 0, 0, 0)))
    data = bytearray()
    for y in range(h):
        k = (y % 7) * 8
        data += z.compress(b'\x00' + row[k:] + row[:k])
        if len(data) > 1 << 24:
            f.write(chunk(b'IDAT', bytes(data)))
            data = bytearray()
    data += z.flush()
    f.write(chunk(b'IDAT', bytes(data)) + chunk(b'IEND', b''))
PY
}
peak() { /usr/bin/time -f %M "$tessel" -q -y "$@" 2>&1 >/dev/null | tail -n1; }
make_cel 1 1 "$work/one.cel"
declare -A base
for s in 3 4; do
  base[$s]=$(peak -s"$s" "$work/one.cel" "$work/one.png")
  echo "one pixel, -s$s: ${base[$s]} KiB"
done
for side in 1000 4000 8000; do
  make_cel "$side" "$side" "$work/p.cel"
  for s in 3 4; do
    kib=$(peak -s"$s" "$work/p.cel" "$work/p.png")
    awk -v mp="$side" -v s="$s" -v k="$kib" -v b="${base[$s]}" \
      'BEGIN { px = mp * mp; printf "%5.0f MP  -s%d  %8d KiB  %5.2f bytes/pixel\n", px / 1e6, s, k, (k - b) * 1024 / px }'
  done
done
make_png16 1 1 "$work/one.png"
for s in 3 4; do
  base[$s]=$(peak -s"$s" "$work/one.png" "$work/one16.png")
  echo "16-bit, one pixel, -s$s: ${base[$s]} KiB"
done
for side in 1000 4000 8000; do
  make_png16 "$side" "$side" "$work/p16.png"
  for s in 3 4; do
    kib=$(peak -s"$s" "$work/p16.png" "$work/p16.out.png")
    awk -v mp="$side" -v s="$s" -v k="$kib" -v b="${base[$s]}" -v f="$(stat -c %s "$work/p16.png")" \
      'BEGIN { px = mp * mp; printf "%5.0f MP  16-bit  -s%d  %8d KiB  %5.2f bytes/pixel  (file %.2f bytes/pixel)\n",
               px / 1e6, s, k, (k - b) * 1024 / px, f / px }'
  done
done
