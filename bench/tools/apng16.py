#!/usr/bin/env python3
"""16-bit animated PNGs for bench/animated.sh, and their frames as stills.

  apng16.py make STILL.png OUT.png   three frames from a non-interlaced 16-bit
      still: the whole picture, its middle quarter upside down over the
      middle (blending over it when the still has alpha), the picture with
      its rows reversed; written with the still's colour type, uncompressed
      (zlib level 0) as a worst-case writer leaves them.
  apng16.py split IN.png DIR         each image of an animated PNG (the
      default image first) as a still PNG DIR/frame<k>.png, and its frame
      control fields (sequence number dropped) on standard output, a line a
      frame: two animations show the same frames when the lines agree and
      every still pair compares equal.
"""
import os
import struct
import sys
import zlib

SIG = b"\x89PNG\r\n\x1a\n"


def chunks(data):
    p = 8
    while p + 12 <= len(data):
        n = struct.unpack(">I", data[p:p + 4])[0]
        yield data[p + 4:p + 8], data[p + 8:p + 8 + n]
        p += 12 + n


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def unfilter(raw, w, h, bpp):
    stride = w * bpp
    rows, prev, p = [], bytearray(stride), 0
    for _ in range(h):
        f, line = raw[p], bytearray(raw[p + 1:p + 1 + stride])
        p += 1 + stride
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return rows


def make(still, out):
    data = open(still, "rb").read()
    ihdr, idat = None, b""
    for kind, body in chunks(data):
        if kind == b"IHDR":
            ihdr = body
        elif kind == b"IDAT":
            idat += body
    w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", ihdr)
    if depth != 16 or interlace or ctype not in (0, 2, 4, 6):
        sys.exit(1)
    bpp = {0: 2, 2: 6, 4: 4, 6: 8}[ctype]
    rows = unfilter(zlib.decompress(idat), w, h, bpp)

    def stream(rs):
        return zlib.compress(b"".join(b"\0" + r for r in rs), 0)

    qw, qh = max(1, w // 2), max(1, h // 2)
    x0, y0 = (w - qw) // 2, (h - qh) // 2
    quarter = [r[x0 * bpp:(x0 + qw) * bpp] for r in rows[y0:y0 + qh]][::-1]
    frames = [(w, h, 0, 0, 0, 0, rows), (qw, qh, x0, y0, 0, 1 if ctype in (4, 6) else 0, quarter),
              (w, h, 0, 0, 0, 0, rows[::-1])]
    body = SIG + chunk(b"IHDR", ihdr) + chunk(b"acTL", struct.pack(">II", len(frames), 0))
    seq = 0
    for k, (fw, fh, fx, fy, dispose, blend, rs) in enumerate(frames):
        body += chunk(b"fcTL", struct.pack(">IIIIIHHBB", seq, fw, fh, fx, fy, 1, 10, dispose, blend))
        seq += 1
        if k == 0:
            body += chunk(b"IDAT", stream(rs))
        else:
            body += chunk(b"fdAT", struct.pack(">I", seq) + stream(rs))
            seq += 1
    open(out, "wb").write(body + chunk(b"IEND", b""))


def split(path, folder):
    data = open(path, "rb").read()
    cs = list(chunks(data))
    ihdr = next(b for k, b in cs if k == b"IHDR")
    shaping = b"".join(chunk(k, b) for k, b in cs if k in (b"PLTE", b"tRNS"))
    stills, control, current, in_idat = [], None, None, False

    def start(fctl):
        header = bytearray(ihdr)
        if fctl is not None:
            header[0:8] = fctl[4:12]
        return [SIG + chunk(b"IHDR", bytes(header)) + shaping, fctl[4:].hex() if fctl is not None else "hidden"]

    for kind, body in cs:
        if kind == b"fcTL":
            if current:
                stills.append(current)
            current, control = None, body
        elif kind == b"IDAT":
            if not in_idat:
                current = start(control)
                control = None
            in_idat = True
            current[0] += chunk(b"IDAT", body)
        elif kind == b"fdAT":
            if control is not None:
                current = start(control)
                control = None
            current[0] += chunk(b"IDAT", body[4:])
        elif in_idat and kind != b"IDAT":
            in_idat = False
            if current:
                stills.append(current)
                current = None
    if current:
        stills.append(current)
    for k, (png, line) in enumerate(stills):
        open(os.path.join(folder, "frame%d.png" % k), "wb").write(png + chunk(b"IEND", b""))
        print(line)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "split":
        split(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
