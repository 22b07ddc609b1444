#!/usr/bin/env python3
"""Animated PNGs and GIFs through the tessel binary, judged frame by frame by Pillow.

Animations are written here with Pillow's APNG writer (from the frames of the
test GIFs and from generated pictures: palette, RGB and RGBA frames, every
dispose and blend op, sub-rectangle frames, a default image outside the
animation, loop counts and delays). Each is converted; when a file is written,
Pillow reads input and output and every composed frame must be equal, with the
same count, delays and loop count. The output's own frame controls are read
with a small chunk parser here: the same fields as the input's, and sequence
numbers that count up from 0 over fcTL and fdAT. Every animated GIF of the
corpus becomes an animated PNG whose composed frames are Pillow's frames of
the GIF (around a first image smaller than the screen, the screen shows the
background here and the transparent index in Pillow: only the first image's
rectangle is compared there), with the same delays and loop count (where an image disposed to the
background has a local table, Pillow 9.4 fills with that table's entry at
the background index, this tool with the global table's, which the index
names, or transparent when the first image is: such frames must differ by
that alone); over the
corpus, frames are written with each dispose op and with blending, so Pillow
composes each.

Exit status: 0 when all match, half the animations or more came out smaller
and ten GIF animations or more were converted; 1
otherwise, 77 when Pillow is missing.
"""
import argparse
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

try:
    from PIL import Image, ImageSequence
except ImportError:
    print("Pillow is not installed: skipped")
    sys.exit(77)


def chunks(data):
    pos = 8
    while pos + 12 <= len(data):
        length, = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8].decode("latin-1")
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        yield kind, body, crc == zlib.crc32(data[pos + 4:pos + 8 + length]) & 0xFFFFFFFF
        pos += 12 + length


def frame_controls(data):
    """fcTL fields without their sequence numbers, acTL, and the sequence list."""
    controls, sequence, actl, bad_crc = [], [], None, 0
    for kind, body, crc_ok in chunks(data):
        bad_crc += not crc_ok
        if kind == "acTL":
            actl = struct.unpack(">II", body)
        elif kind == "fcTL":
            sequence.append(struct.unpack(">I", body[:4])[0])
            controls.append(body[4:])
        elif kind == "fdAT":
            sequence.append(struct.unpack(">I", body[:4])[0])
    return controls, actl, sequence, bad_crc


def composed_frames(path):
    with Image.open(path) as im:
        frames, info = [], []
        for frame in ImageSequence.Iterator(im):
            frames.append(frame.convert("RGBA").tobytes())
            info.append((frame.info.get("duration"), frame.info.get("loop")))
        return frames, info, getattr(im, "n_frames", 1)


def gif_animations(corpus, work, largest):
    """Pillow's APNG of each animated GIF (its first 40 frames), with the
    options of its conversion."""
    out = []
    for root, _, names in os.walk(os.path.join(corpus, "gif")):
        for name in sorted(names):
            if not name.endswith(".gif"):
                continue
            try:
                with Image.open(os.path.join(root, name)) as im:
                    if getattr(im, "n_frames", 1) < 2:
                        continue
                    frames = [f.convert("RGBA") for f in ImageSequence.Iterator(im)][:40]
            except Exception:
                continue
            path = os.path.join(work, "gif_" + name[:-4] + ".png")
            frames[0].save(path, save_all=True, append_images=frames[1:], duration=[70] * len(frames), loop=0)
            # Huffman-only output may be larger: -force writes it, so its frames are judged.
            out.append((path, cheap_options(os.path.join(root, name), largest, ["-force"])))
    return out


def generated(work, rng):
    out = []
    for mode, colours in (("RGB", 12), ("RGB", 4096), ("RGBA", 4096), ("RGBA", 40), ("L", 256)):
        w, h = rng.randint(9, 61), rng.randint(7, 47)
        base = Image.new("RGBA", (w, h), (rng.randrange(256), 30, 90, 255))
        frames = []
        for k in range(rng.randint(3, 7)):
            f = base.copy()
            x0, y0 = rng.randrange(w // 2), rng.randrange(h // 2)
            for y in range(y0, min(h, y0 + rng.randint(2, h))):
                for x in range(x0, min(w, x0 + rng.randint(2, w))):
                    v = rng.randrange(colours)
                    a = 255 if mode != "RGBA" else rng.choice((0, 255, 128, v % 256))
                    f.putpixel((x, y), (v % 256, (v * 7) % 256, (v // 16) % 256, a))
            frames.append(f.convert(mode))
        for variant in range(3):
            path = os.path.join(work, "gen_%s%d_%d.png" % (mode, colours, variant))
            n = len(frames)
            kwargs = dict(save_all=True, append_images=frames[1:],
                          duration=[rng.choice((10, 33, 100, 1500)) for _ in range(n)], loop=rng.choice((0, 1, 5)),
                          disposal=[rng.choice((0, 1, 2) if mode == "RGBA" else (0,)) for _ in range(n)],
                          blend=[rng.randrange(2) for _ in range(n)])
            if variant == 2:
                kwargs["default_image"] = True
            frames[0].save(path, **kwargs)
            out.append((path, []))
    return out


def gif_images(path):
    """The global table's background entry and, image by image, its rectangle,
    disposal and the background index's entry in its local table (None
    without one)."""
    data = open(path, "rb").read()
    flags, bg = data[10], data[11]
    pos, background = 13, None
    if flags & 0x80:
        n = 2 << (flags & 7)
        if bg < n:
            background = tuple(data[13 + 3 * bg:16 + 3 * bg])
        pos += 3 * n
    images, disposal = [], 0
    while pos < len(data):
        b = data[pos]
        if b == 0x21:
            if data[pos + 1] == 0xF9 and pos + 4 < len(data):
                disposal = (data[pos + 3] >> 2) & 7
            pos += 2
            while pos < len(data) and data[pos]:
                pos += data[pos] + 1
            pos += 1
        elif b == 0x2C:
            x, y, iw, ih, f = struct.unpack("<HHHHB", data[pos + 1:pos + 10])
            pos += 10
            local = None
            if f & 0x80:
                n = 2 << (f & 7)
                if bg < n:
                    local = tuple(data[pos + 3 * bg:pos + 3 * bg + 3])
                pos += 3 * n
            images.append(((x, y, x + iw, y + ih), disposal, local))
            disposal = 0
            pos += 1
            while pos < len(data) and data[pos]:
                pos += data[pos] + 1
            pos += 1
        else:
            break
    return background, images


def local_background_only(path, want, got, size):
    """True when the frames differ only where Pillow 9.4 fills a rectangle
    disposed to the background with the background index's entry in that
    image's local table, where the file's background colour is the global
    table's entry (the screen descriptor's index names one) or transparent
    when the first image is. Pillow's colour must be one of those local
    entries, this tool's the global one or transparent, and the pixel inside
    a rectangle disposed to the background before the frame."""
    background, images = gif_images(path)
    w, h = size
    differs = False
    for k, (a, b) in enumerate(zip(want, got)):
        disposed = [r for r, d, _ in images[:k] if d == 2]
        theirs = {local + (255,) for _, d, local in images[:k] if d == 2 and local is not None}
        ours = {(0, 0, 0, 0)} | ({background + (255,)} if background else set())
        for y in range(h):
            for x in range(w):
                i = 4 * (y * w + x)
                p, q = tuple(a[i:i + 4]), tuple(b[i:i + 4])
                if p == q or (p[3] == 0 and q[3] == 0):
                    continue
                if q[3] == 0:
                    q = (0, 0, 0, 0)
                inside = any(x0 <= x < x1 and y0 <= y < y1 for x0, y0, x1, y1 in disposed)
                if not inside or p not in theirs or q not in ours:
                    return False
                differs = True
    return differs


def first_image_rect(path):
    """The first image's rectangle and whether it covers the screen."""
    data = open(path, "rb").read()
    w, h, flags = struct.unpack("<HHB", data[6:11])
    pos = 13 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0)
    while pos < len(data):
        b = data[pos]
        if b == 0x2C:
            x, y, iw, ih = struct.unpack("<HHHH", data[pos + 1:pos + 9])
            return (x, y, x + iw, y + ih), (x, y, iw, ih) == (0, 0, w, h) or (x <= 0 and y <= 0 and x + iw >= w and y + ih >= h)
        if b == 0x21:
            pos += 2
            while pos < len(data) and data[pos]:
                pos += data[pos] + 1
            pos += 1
        else:
            pos += 1
    return None, False


def same_rgba(a, b, size, only=None):
    """Pixels equal, two fully transparent ones equal whatever their colour;
    only a rectangle when given."""
    w, h = size
    x0, y0, x1, y1 = only or (0, 0, w, h)
    for y in range(max(0, y0), min(h, y1)):
        for x in range(max(0, x0), min(w, x1)):
            i = 4 * (y * w + x)
            p, q = a[i:i + 4], b[i:i + 4]
            if p != q and not (p[3] == 0 and q[3] == 0):
                return False
    return True


def cheap_options(path, largest, more=()):
    """The animations of more than largest bytes are converted with
    Huffman-only blocks (-s3): what is judged here (frames, their controls and
    composition) is the same with any deflate strategy, and the default
    strategy cost 60 s of CPU on the two largest (minutes under the
    sanitizers, where they were left out)."""
    return ["-s3"] + list(more) if largest > 0 and os.path.getsize(path) > largest else []


def gif_conversions(tessel, corpus, work, failures, ops_seen, largest, every=1):
    """Every animated GIF of the corpus (or every every-th of them) becomes an
    APNG whose composed frames are Pillow's frames of the GIF, with its delays
    and loop count. The (dispose, blend) pairs of the written frames go into
    ops_seen."""
    converted = 0
    animations = 0
    for root, _, names in sorted(os.walk(os.path.join(corpus, "gif"))):
        for name in sorted(names):
            path = os.path.join(root, name)
            if not name.endswith(".gif"):
                continue
            try:
                with Image.open(path) as im:
                    n = getattr(im, "n_frames", 1)
                    size = im.size
                    if n < 2:
                        continue
                    animations += 1
                    if (animations - 1) % every != 0:
                        continue
                    want = [(f.convert("RGBA").tobytes(), f.info.get("duration", 0)) for f in ImageSequence.Iterator(im)]
                    loop = im.info.get("loop")
            except Exception:
                continue
            out = os.path.join(work, "fromgif_" + name[:-4] + ".png")
            if os.path.exists(out):
                os.remove(out)
            r = subprocess.run([tessel, "-y"] + cheap_options(path, largest) + [path, out], capture_output=True,
                               text=True, timeout=300)
            if r.returncode != 0 or not os.path.exists(out):
                print("%s: not converted (%s)" % (name, (r.stdout + r.stderr).strip().splitlines()[-1:]))
                continue
            rect, covers = first_image_rect(path)
            controls, _, _, _ = frame_controls(open(out, "rb").read())
            ops_seen.update((c[20], c[21]) for c in controls)
            got = []
            with Image.open(out) as im:
                for f in ImageSequence.Iterator(im):
                    got.append((f.convert("RGBA").tobytes(), f.info.get("duration", 0)))
                got_loop = im.info.get("loop")
            problems = []
            if len(got) != len(want):
                problems.append("%d frames, want %d" % (len(got), len(want)))
            if "Animated GIF: %d frames written" % len(want) not in r.stdout:
                problems.append("report lacks the frame count")
            if (loop if loop is not None else 1) != got_loop:
                problems.append("loop %s, want %s" % (got_loop, loop))
            # Around a first image smaller than the screen the screen shows the
            # background here (Pillow: the transparent index or index 0).
            only = None if covers else rect
            for i, ((a, da), (b, db)) in enumerate(zip(want, got)):
                if not same_rgba(a, b, size, only):
                    problems.append("frame %d differs" % i)
                    break
                if int(da or 0) != int(db or 0):
                    problems.append("frame %d delay %s, want %s" % (i, db, da))
                    break
            converted += 1
            print("%s: %d frames -> %d bytes%s" % (name, len(want), os.path.getsize(out),
                                                   "" if not problems else ": " + "; ".join(problems)))
            if problems and len(got) == len(want) and local_background_only(path, [a for a, _ in want],
                                                                             [b for b, _ in got], size):
                print("  (differs only by Pillow's background colour from the local table)")
            elif problems:
                failures.append(name + ": " + "; ".join(problems))
    return converted


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tessel", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--work", default=None)
    ap.add_argument("--largest", type=int, default=65536,
                    help="GIFs of more bytes are converted with -s3 (0: none)")
    ap.add_argument("--every", type=int, default=1,
                    help="only every N-th file of each list: a fixed subset for slow (sanitized) builds")
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    files = (gif_animations(args.corpus, work, args.largest) + generated(work, random.Random(5)))[::args.every]
    failures, smaller = [], 0
    for path, options in files:
        out = path[:-4] + ".out.png"
        if os.path.exists(out):
            os.remove(out)
        r = subprocess.run([args.tessel, "-y"] + options + [path, out], capture_output=True, text=True, timeout=300)
        name = os.path.basename(path)
        if r.returncode != 0:
            failures.append("%s: status %d %s" % (name, r.returncode, r.stdout + r.stderr))
            continue
        if "frames would be lost" in r.stdout + r.stderr:
            failures.append("%s: frames not kept" % name)
            continue
        if not os.path.exists(out):
            print("%s: not smaller, kept" % name)
            continue
        before, after = open(path, "rb").read(), open(out, "rb").read()
        a_frames, a_info, a_n = composed_frames(path)
        b_frames, b_info, b_n = composed_frames(out)
        problems = []
        if a_n != b_n:
            problems.append("%d frames, want %d" % (b_n, a_n))
        if a_info != b_info:
            problems.append("delays or loop %s, want %s" % (b_info, a_info))
        for i, (x, y) in enumerate(zip(a_frames, b_frames)):
            if x != y:
                problems.append("frame %d differs" % i)
        c_in, actl_in, _, _ = frame_controls(before)
        c_out, actl_out, seq, bad_crc = frame_controls(after)
        if c_in != c_out or actl_in != actl_out:
            problems.append("frame controls differ")
        if seq != list(range(len(seq))):
            problems.append("sequence numbers %s" % seq)
        if bad_crc:
            problems.append("%d chunk CRCs wrong" % bad_crc)
        if "%d frames, each re-encoded and checked" % len(c_in) not in r.stdout:
            problems.append("report lacks the frame count: " + r.stdout[-200:])
        smaller += len(after) < len(before)
        print("%s: %d frames, %d -> %d bytes%s" % (name, a_n, len(before), len(after),
                                                   "" if not problems else ": " + "; ".join(problems)))
        if problems:
            failures.append(name + ": " + "; ".join(problems))
    ops_seen = set()
    converted = gif_conversions(args.tessel, args.corpus, work, failures, ops_seen, args.largest, args.every)
    # The corpus has images disposed to the background and to the previous
    # state, and images with transparent pixels: Pillow must have composed
    # frames written with each op.
    # A subset (--every) need not meet every op; the full run does.
    for op, what in (((1, None), "dispose to background"), ((2, None), "dispose to previous"),
                     ((None, 1), "blend over")):
        if args.every == 1 and not any((op[0] is None or d == op[0]) and (op[1] is None or b == op[1]) for d, b in ops_seen):
            failures.append("no GIF conversion wrote a frame with " + what)
    print("%d animations, %d smaller; %d GIF animations converted; %d failures" %
          (len(files), smaller, converted, len(failures)))
    for f in failures:
        print("FAIL " + f)
    return 0 if not failures and smaller * 2 >= len(files) and converted >= 10 // args.every else 1


if __name__ == "__main__":
    sys.exit(main())
