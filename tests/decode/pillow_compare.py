#!/usr/bin/env python3
"""BMP, PCX and GIF conversions held against Pillow, as a user would see them.

Every corpus file Pillow reads, and pictures written here (by Pillow, or by
small writers below for layouts Pillow reads but does not write), is converted
by the tessel binary; the PNG it writes is read back and compared pixel for
pixel with Pillow's decode of the input, or, for the BMP suite's files that
come with a rendering, with that rendering. BMP layouts Pillow does not read
(one-dimensional Huffman pixels, bitmap arrays) are made here from pixels
Pillow codes or reads in another container (a fax TIFF, a plain BMP) and held
against Pillow's decode of those.

Where Pillow and this program follow different documented rules, the
comparison applies the rule instead of counting a difference:
  - narrow channels (16-bit BMP, 5-5-5 TGA): repeated bits here, scaling with
    rounding down in Pillow and rounding in the suite's renderings: each
    channel may be 1 apart;
  - pixels a BMP run-length stream skips, and indexes past a BMP palette, are
    transparent black here (Pillow: palette entry 0, or whatever lies past the
    palette): only the pixels given a colour are compared;
  - around a GIF's first image, the screen shows the background colour here
    (Pillow: the transparent index or index 0): only the image rectangle on
    the screen is compared, and the screen is the logical screen (Pillow
    grows it to hold an oversized first image);
  - two fully transparent pixels match whatever their colours.
Files where Pillow 9.4's own decode is known to be wrong are listed in
KNOWN_ORACLE_FAULTS, and files where a rule here departs from Pillow's over a
whole region in RULE_DIFFERENCES, each with the reason; they are reported and
converted, not counted either way. Files refused on purpose
(REFUSED_BY_DESIGN) count as misses.

Exit status: 0 when every compared conversion matches and at least 98 % of the
Pillow-readable files of each format convert and match; 1 otherwise; 77 when
Pillow is missing.
"""
import argparse
import os
import random
import re
import struct
import subprocess
import sys
import tempfile

try:
    from PIL import Image
except ImportError:
    print("Pillow is not installed: skipped")
    sys.exit(77)

KNOWN_ORACLE_FAULTS = {
    # Pillow 9.4 reads padded 1-bit planes at a stride of ceil(width / 8)
    # instead of the header's bytes per line (later Pillow fixes it; its test
    # for this file expects index 3, which is what this program gives).
    "pcx/pillow/p_4_planes.pcx": "Pillow 9.4 planar stride",
    # Pillow 9.4's 4-bit run-length reader takes n // 2 bytes for a literal run
    # of n pixels, losing the last pixel of odd runs and the stream's alignment.
    # These files also hold the delta escapes below.
    "bmp/bmpsuite-2.8/b/badrle4.bmp": "Pillow 9.4 RLE4 literal runs and deltas",
    "bmp/bmpsuite-2.8/b/badrle4bis.bmp": "Pillow 9.4 RLE4 literal runs and deltas",
    "bmp/bmpsuite-2.8/b/badrle4ter.bmp": "Pillow 9.4 RLE4 literal runs and deltas",
    # Pillow 9.4's run-length reader takes four bytes for a delta escape (it
    # reads its two offset bytes, drops them and reads two more), so after the
    # first of these files' 122 deltas every code is read out of step; its
    # literal runs past a row's end also go on into the next row. What it
    # shows is the stream's later bytes as pixels, the top rows left at palette
    # entry 0. Here each delta moves by its own two bytes and a run is cut at
    # the row's end; matching Pillow would mean reading the stream wrongly on
    # purpose (oracle_faults_hold below shows the delta fault on a file of six
    # pixels).
    "bmp/bmpsuite-2.8/b/badrle.bmp": "Pillow 9.4 reads 4 bytes for a delta escape",
    "bmp/bmpsuite-2.8/b/badrlebis.bmp": "Pillow 9.4 reads 4 bytes for a delta escape",
    "bmp/bmpsuite-2.8/b/badrleter.bmp": "Pillow 9.4 reads 4 bytes for a delta escape",
}

# Files where this program follows a rule that differs from Pillow's on
# purpose, over more pixels than the rules above can account for. Reported,
# not counted either way.
RULE_DIFFERENCES = {
}

# Files refused here on purpose that Pillow reads: they count as misses.
REFUSED_BY_DESIGN = {
    # A BMP has one plane; Pillow ignores the field.
    "bmp/bmpsuite-2.8/b/badplanes.bmp": "a plane count other than 1 is refused",
}

# Suite files whose rendering shows more than the stored pixels: a colour
# profile applied, pixels stretched to their aspect. Held against Pillow.
NOT_AS_RENDERED = {"q/rgb24prof2.bmp", "g/pal8nonsquare.bmp"}


def rgba(path):
    im = Image.open(path)
    im.load()
    return im.convert("RGBA")


def differing(got, want, tolerance=0, box=None, given_only=False):
    """Pixels of got that differ from want (both RGBA images) inside box."""
    gw, gh = got.size
    x0, y0, x1, y1 = box if box else (0, 0, gw, gh)
    g = got.load()
    w = want.load()
    count = 0
    for y in range(max(y0, 0), min(y1, gh)):
        for x in range(max(x0, 0), min(x1, gw)):
            a, b = g[x, y], w[x, y]
            if a == b:
                continue
            if a[3] == 0 and (b[3] == 0 or given_only):
                continue
            if max(abs(p - q) for p, q in zip(a, b)) <= tolerance:
                continue
            count += 1
    return count


def gif_first_image(path):
    """Screen size and the first image's rectangle, or None."""
    d = open(path, "rb").read()
    if len(d) < 13:
        return None
    sw, sh, flags = struct.unpack("<HHB", d[6:11])
    p = 13 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0)
    while p < len(d):
        if d[p] == 0x21:
            p += 2
            while p < len(d) and d[p]:
                p += d[p] + 1
            p += 1
        elif d[p] == 0x2C and p + 9 < len(d):
            return (sw, sh) + struct.unpack("<HHHH", d[p + 1:p + 9])
        else:
            return None
    return None


def bmp_fields(path):
    d = open(path, "rb").read(34)
    if len(d) < 30 or d[:2] != b"BM":
        return 0, 0
    if struct.unpack("<I", d[14:18])[0] == 12:
        return struct.unpack("<H", d[24:26])[0], 0
    bpp = struct.unpack("<H", d[28:30])[0]
    compression = struct.unpack("<I", d[30:34])[0] if len(d) >= 34 else 0
    return bpp, compression


def suite_renderings(corpus):
    """BMP suite file -> its rendering, from the suite's own list."""
    base = os.path.join(corpus, "bmp", "bmpsuite-2.8")
    html = os.path.join(base, "html-reference", "bmpsuite.html")
    out = {}
    if not os.path.exists(html):
        return out
    current = None
    for m in re.finditer(r'([gqbx]/[a-z0-9-]+\.bmp)|<img src="([^"./][^"]*\.png)"', open(html).read()):
        if m.group(1):
            current = m.group(1)
        elif current and current not in out:
            out[current] = os.path.join(base, "html-reference", m.group(2))
    return {os.path.join(base, k): v for k, v in out.items()}


class Run:
    def __init__(self, tessel, work):
        self.tessel = tessel
        self.work = work
        self.n = 0

    def convert(self, path):
        self.n += 1
        out = os.path.join(self.work, "out%d.png" % self.n)
        r = subprocess.run([self.tessel, "-s4", "-y", "-force", "-q", path, out],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        if r.returncode != 0 or not os.path.exists(out):
            return None
        try:
            return rgba(out)
        finally:
            os.remove(out)


def compare(run, path, key, renderings, stats, failures):
    fmt = key.split("/")[0]
    s = stats.setdefault(fmt, {"readable": 0, "equal": 0, "rule": 0, "oracle": 0, "differs": 0, "refused": 0,
                                     "files": 0, "rendered_only": 0, "rendered_match": 0})
    s["files"] += 1
    try:
        want = rgba(path)
    except Exception:
        # Pillow does not read it: not part of the measure. Suite files with
        # a rendering are still held against it, and reported apart.
        if path in renderings and not any(path.endswith(n) for n in NOT_AS_RENDERED):
            s["rendered_only"] += 1
            got = run.convert(path)
            want = rgba(renderings[path])
            same = got is not None and got.size == want.size and differing(got, want, 1) == 0
            s["rendered_match"] += same
            print("  render  %-50s Pillow refuses it; %s" %
                  (key, "matches the suite's rendering" if same else
                   "not converted" if got is None else "differs from the suite's rendering"))
        return
    s["readable"] += 1
    if key in KNOWN_ORACLE_FAULTS or key in RULE_DIFFERENCES:
        s["oracle" if key in KNOWN_ORACLE_FAULTS else "differs"] += 1
        got = run.convert(path)
        why = KNOWN_ORACLE_FAULTS.get(key) or RULE_DIFFERENCES[key]
        print("  %-7s %-50s %s (converted: %s)" % ("oracle" if key in KNOWN_ORACLE_FAULTS else "differs", key,
                                                  why, got is not None))
        return
    got = run.convert(path)
    if key in REFUSED_BY_DESIGN:
        s["refused"] += 1
        print("  refused %-50s %s (converted: %s)" % (key, REFUSED_BY_DESIGN[key], got is not None))
        return
    if got is None:
        failures.append("%s: not converted" % key)
        return
    tolerance, box, given_only, rule = 0, None, False, False
    if path in renderings and not any(path.endswith(n) for n in NOT_AS_RENDERED):
        want = rgba(renderings[path])
        tolerance = 1
    if path.lower().endswith(".bmp"):
        bpp, compression = bmp_fields(path)
        if bpp == 16:
            tolerance = 1
        if compression in (1, 2, 4) or bpp <= 8:
            given_only = True
    if path.lower().endswith(".gif"):
        first = gif_first_image(path)
        if first:
            sw, sh, left, top, w, h = first
            box = (left, top, min(left + w, sw), min(top + h, sh))
            if got.size == (sw, sh) and want.size != got.size:
                want = want.crop((0, 0, sw, sh))
    if got.size != want.size:
        failures.append("%s: size %s, reference %s" % (key, got.size, want.size))
        return
    exact = differing(got, want) == 0
    n = differing(got, want, tolerance, box, given_only)
    if n:
        failures.append("%s: %d pixels differ" % (key, n))
    elif exact:
        s["equal"] += 1
    else:
        s["rule"] += 1
        rule = True
    if rule:
        print("  rule    %s" % key)


# ---- pictures written here -----------------------------------------------------

def random_picture(rng, mode, w, h, colours):
    im = Image.new("P", (w, h))
    im.putpalette([rng.randrange(256) for _ in range(768)])
    px = [rng.randrange(colours) for _ in range(w * h)]
    # Runs, so that run-length coders have something to find.
    for i in range(1, len(px)):
        if rng.random() < 0.4:
            px[i] = px[i - 1]
    im.putdata(px)
    if mode == "P":
        return im
    if mode == "L":
        g = Image.new("L", (w, h))
        g.putdata([v * 255 // max(colours - 1, 1) for v in px])
        return g
    if mode == "1":
        return im.convert("L").point(lambda v: 255 if v > 127 else 0).convert("1")
    return im.convert(mode)


def rle_bmp(path, im, bits, top_down):
    """An RLE8 or RLE4 BMP of a P picture: runs, even literal runs, row ends."""
    w, h = im.size
    px = list(im.getdata())
    out = bytearray()
    rows = range(h) if top_down else range(h - 1, -1, -1)
    for y in rows:
        row = px[y * w:(y + 1) * w]
        x = 0
        while x < w:
            n = 1
            while x + n < w and n < 255 and row[x + n] == row[x]:
                n += 1
            if n >= 2 or w - x < 4:
                out += bytes([n, row[x] * 17 if bits == 4 else row[x]])
                x += n
                continue
            n = 4  # even, so every RLE4 literal fills whole bytes
            while x + n + 1 < w and n < 254 and row[x + n] != row[x + n - 1]:
                n += 2
            lit = row[x:x + n]
            data = bytes(lit) if bits == 8 else bytes(lit[i] << 4 | lit[i + 1] for i in range(0, n, 2))
            out += bytes([0, n]) + data + (b"\0" if len(data) & 1 else b"")
            x += n
        out += b"\0\0"
    out += b"\0\1"
    pal = im.getpalette()[:3 * (1 << bits)]
    table = b"".join(bytes([pal[3 * i + 2], pal[3 * i + 1], pal[3 * i], 0]) for i in range(1 << bits))
    offset = 14 + 40 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(out), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, -h if top_down else h, 1, bits, 1 if bits == 8 else 2,
                       len(out), 2835, 2835, 1 << bits, 0)
    open(path, "wb").write(header + info + table + out)


def bitfield_bmp(path, rng, w, h, bpp, masks):
    """A BMP of random bit-field pixels in a 124-byte header."""
    size = bpp // 8
    stride = (w * size + 3) & ~3
    rows = b""
    for _ in range(h):
        row = b"".join(rng.getrandbits(bpp).to_bytes(size, "little") for _ in range(w))
        rows += row + b"\0" * (stride - len(row))
    info = struct.pack("<IiiHHIIiiII", 124, w, h, 1, bpp, 3, len(rows), 2835, 2835, 0, 0)
    info += struct.pack("<4I", *masks) + b"sRGB" + b"\0" * (124 - 56 - 4)
    offset = 14 + 124
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    open(path, "wb").write(header + info + rows)


def planar_pcx(path, rng, w, h, bits, planes):
    """A PCX of `planes` planes of `bits` bits, lines as short as they can be."""
    per = 8 // bits
    line = (w + per - 1) // per
    index = [rng.randrange(1 << (bits * planes)) for _ in range(w * h)]
    raw = bytearray()
    for y in range(h):
        for p in range(planes):
            for b in range(line):
                v = 0
                for k in range(per):
                    x = b * per + k
                    part = (index[y * w + x] >> (p * bits)) & ((1 << bits) - 1) if x < w else 0
                    v |= part << (8 - bits * (k + 1))
                raw.append(v)
    data = bytearray()
    i = 0
    while i < len(raw):
        n = 1
        while i + n < len(raw) and n < 63 and raw[i + n] == raw[i]:
            n += 1
        if n > 1 or raw[i] >= 0xC0:
            data += bytes([0xC0 | n, raw[i]])
        else:
            data.append(raw[i])
        i += n
    hdr = bytearray(128)
    hdr[0:4] = bytes([10, 5, 1, bits])
    hdr[4:12] = struct.pack("<hhhh", 0, 0, w - 1, h - 1)
    hdr[16:64] = bytes(rng.randrange(256) for _ in range(48))
    hdr[65] = planes
    hdr[66:68] = struct.pack("<H", line)
    open(path, "wb").write(bytes(hdr) + bytes(data))


def huffman_bmp(path, work, rng, w, h):
    """An OS/2 BMP whose pixels are one-dimensional Huffman runs: the strip of
    a Group 3 TIFF that Pillow writes of a random 1-bit picture, bottom row
    first, with two random palette colours. Returns what the BMP shows, from
    Pillow's decode of the TIFF."""
    im = Image.new("1", (w, h))
    px, v = [], 0
    while len(px) < w * h:
        # Short runs and long ones, past the longest make-up code (2560).
        px += [v] * rng.choice((1, 2, 3, 7, 13, 63, 64, 65, 200, 1729, 2561, 6000))
        v ^= 255
    im.putdata(px[:w * h])
    tif = os.path.join(work, "fax.tif")
    im.save(tif, compression="group3")
    t = Image.open(tif)
    strip = open(tif, "rb").read()[t.tag_v2[273][0]:][:t.tag_v2[279][0]]
    # Photometric "black is zero": runs of 0 bits, coded as white runs, are
    # the pixels of index 0.
    pal = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(2)]
    info = struct.pack("<IiiHHIIiiII", 64, w, h, 1, 1, 3, len(strip), 2835, 2835, 2, 2) + bytes(24)
    table = b"".join(bytes([b, g, r, 0]) for r, g, b in pal)
    offset = 14 + 64 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(strip), 0, 0, offset)
    open(path, "wb").write(header + info + table + strip)
    want = Image.new("RGBA", (w, h))
    want.putdata([pal[1 if p else 0] + (255,) for p in t.transpose(Image.FLIP_TOP_BOTTOM).getdata()])
    return want


def array_bmp(path, bmp):
    """The BMP file as the one picture of an OS/2 bitmap array."""
    d = open(bmp, "rb").read()
    offset = struct.unpack("<I", d[10:14])[0] + 14
    open(path, "wb").write(struct.pack("<2sIIHH", b"BA", 40, 0, 0, 0) + d[:10] + struct.pack("<I", offset) + d[14:])


def rewrapped(work, rng):
    """Pictures Pillow reads only in another container: (file, what it shows)."""
    out = []
    for i, (w, h) in enumerate([(1, 1), (9, 4), (127, 64), (3000, 5)]):
        p = os.path.join(work, "fax_%d.bmp" % i)
        out.append((p, huffman_bmp(p, work, rng, w, h)))
        src = os.path.join(work, "plain_%d.bmp" % i)
        random_picture(rng, "P", w, h, 256).save(src)
        p = os.path.join(work, "array_%d.bmp" % i)
        array_bmp(p, src)
        out.append((p, rgba(src)))
    return out


def generated(work, rng):
    files = []
    for i, (w, h) in enumerate([(1, 1), (7, 5), (33, 17), (64, 3), (129, 40)]):
        for mode, colours in (("1", 2), ("L", 256), ("P", 16), ("P", 256), ("RGB", 256)):
            im = random_picture(rng, mode, w, h, colours)
            for ext in ("bmp", "pcx"):
                p = os.path.join(work, "gen_%d_%s%d.%s" % (i, mode, colours, ext))
                im.save(p)
                files.append(p)
            if mode in ("P", "L"):
                for interlace in (False, True):
                    p = os.path.join(work, "gen_%d_%s%d_%d.gif" % (i, mode, colours, interlace))
                    extra = {"transparency": 3} if mode == "P" and colours > 3 else {}
                    im.save(p, interlace=interlace, optimize=False, **extra)
                    files.append(p)
        pic = random_picture(rng, "P", w, h, 256)
        for bits in (4, 8):
            if bits == 4:
                pic = random_picture(rng, "P", w, h, 16)
            for top_down in (False, True):
                p = os.path.join(work, "gen_%d_rle%d_%d.bmp" % (i, bits, top_down))
                rle_bmp(p, pic, bits, top_down)
                files.append(p)
        for bpp, masks in ((16, (0xF800, 0x07E0, 0x001F, 0)), (16, (0x7C00, 0x03E0, 0x001F, 0)),
                           (32, (0xFF0000, 0xFF00, 0xFF, 0xFF000000))):
            p = os.path.join(work, "gen_%d_bf%d_%x.bmp" % (i, bpp, masks[1]))
            bitfield_bmp(p, rng, w, h, bpp, masks)
            files.append(p)
        for bits, planes in ((1, 1), (1, 2), (1, 4)):
            if bits * planes > 1 and w % (8 // bits) != 0:
                continue  # Pillow 9.4 reads padded planes at the wrong stride
            p = os.path.join(work, "gen_%d_planar%d_%d.pcx" % (i, bits, planes))
            planar_pcx(p, rng, w, h, bits, planes)
            files.append(p)
        gray = random_picture(rng, "L", w, h, 256)
        p = os.path.join(work, "gen_%d_gray8.pcx" % i)
        gray.save(p)  # Pillow writes 8-bit gray with a gray-ramp palette block
        files.append(p)
    return files


def tiny_rle_bmp(path, w, h, bits, stream):
    """A BMP of the given run-length stream (rows bottom-up) over a 16-entry
    palette: entry i is (16 i, 255 - 15 i, 8 i)."""
    table = b"".join(bytes([8 * i, 255 - 15 * i, 16 * i, 0]) for i in range(16))
    offset = 14 + 40 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(stream), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 1 if bits == 8 else 2, len(stream), 2835, 2835, 16, 0)
    open(path, "wb").write(header + info + table + stream)


def oracle_faults_hold(run, work, failures):
    """The run-length faults KNOWN_ORACLE_FAULTS names, each on a file small
    enough to read by hand: this program must show the pixels the stream
    codes; Pillow's differing decode is reported (a later Pillow may read
    them right, and the entries above then only need updating)."""
    def colour(i):
        return (16 * i, 255 - 15 * i, 8 * i, 255)
    cases = [
        # Bottom row: a delta 2 to the right, then a run of two 7s; top row:
        # four 3s. The two skipped pixels are transparent black here.
        ("delta escape", 4, 2, 8, bytes([0, 2, 2, 0, 2, 7, 0, 0, 4, 3, 0, 1]),
         [colour(3)] * 4 + [(0, 0, 0, 0)] * 2 + [colour(7)] * 2),
        # A literal run of three 4-bit pixels (1, 2, 3): two bytes, then the end.
        ("odd RLE4 literal run", 3, 1, 4, bytes([0, 3, 0x12, 0x30, 0, 1]), [colour(1), colour(2), colour(3)]),
    ]
    for what, w, h, bits, stream, want in cases:
        path = os.path.join(work, "fault_%s.bmp" % what.replace(" ", "_"))
        tiny_rle_bmp(path, w, h, bits, stream)
        got = run.convert(path)
        if got is None or list(got.getdata()) != want:
            failures.append("%s: not the pixels the stream codes" % what)
        try:
            theirs = list(rgba(path).getdata())
        except Exception:
            theirs = None
        print("  fault   %-50s %s" % (what, "Pillow shows it too" if theirs == want else
                                         "Pillow refuses it" if theirs is None else
                                         "Pillow differs: %s" % (theirs,)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tessel", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--work", default=None)
    ap.add_argument("--every", type=int, default=1,
                    help="only every N-th file of each list: a fixed subset for slow (sanitized) builds")
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    run = Run(args.tessel, work)
    renderings = suite_renderings(args.corpus)
    stats, failures = {}, []

    print("corpus files:")
    for fmt in ("bmp", "pcx", "gif"):
        root = os.path.join(args.corpus, fmt)
        paths = []
        for dirpath, _, names in sorted(os.walk(root)):
            if "reference" in dirpath:
                continue
            paths += [os.path.join(dirpath, n) for n in sorted(names)
                      if n.lower().endswith((".bmp", ".pcx", ".dcx", ".gif"))]
        for path in paths[::args.every]:
            compare(run, path, os.path.relpath(path, args.corpus), renderings, stats, failures)
    corpus_stats = stats
    stats = {}
    print("generated pictures:")
    for path in generated(work, random.Random(23))[::args.every]:
        key = os.path.splitext(path)[1][1:] + "/" + os.path.basename(path)
        compare(run, path, key, renderings, stats, failures)

    oracle_faults_hold(run, work, failures)

    wrapped = rewrapped(work, random.Random(29))[::args.every]
    wrapped_match = 0
    for path, want in wrapped:
        got = run.convert(path)
        if got is None:
            failures.append("%s: not converted" % os.path.basename(path))
        elif got.size != want.size or differing(got, want):
            failures.append("%s: differs from the same pixels as Pillow reads them" % os.path.basename(path))
        else:
            wrapped_match += 1

    ok = True
    for title, table in (("corpus", corpus_stats), ("generated", stats)):
        for fmt, s in sorted(table.items()):
            measured = s["readable"] - s["oracle"] - s["differs"]
            matched = s["equal"] + s["rule"]
            share = 100.0 * matched / measured if measured else 100.0
            print("%-9s %-3s: %d files, %d Pillow-readable: %d equal, %d equal under a rule, "
                  "%d with a known Pillow fault, %d differing by a listed rule, %d refused; "
                  "%.1f %% of the rest match" %
                  (title, fmt, s["files"], s["readable"], s["equal"], s["rule"], s["oracle"], s["differs"],
                   s["refused"], share))
            if s["rendered_only"]:
                print("%-9s %-3s: %d more files only the suite's rendering shows: %d match it" %
                      (title, fmt, s["rendered_only"], s["rendered_match"]))
            if share < 98.0:
                ok = False
    print("generated bmp: %d Huffman and bitmap-array files, held against Pillow's decode of the same "
          "pixels as a fax TIFF or a plain BMP: %d match" % (len(wrapped), wrapped_match))
    for f in failures:
        print("MISMATCH " + f)
    return 0 if ok and not failures else 1


if __name__ == "__main__":
    sys.exit(main())
