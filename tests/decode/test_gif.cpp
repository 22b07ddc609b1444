// GIF decoding, checked against giflib on files the tests write: with their
// own LZW writer (for the streams giflib's encoder never makes) and with
// giflib's encoder.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "decode/picture.h"
#include "tests/support/decode_check.h"
#include "tests/support/oracle.h"
#include "tests/support/png_build.h"

namespace {

using namespace decodecheck;

// ---- Writing GIFs ---------------------------------------------------------

// LZW codes are packed least significant bit first, as deflate packs its fields.
using BitWriter = DeflateBits;

// A plain LZW writer. With clear_when_full false it keeps sending 12-bit codes
// after the table fills, which giflib's encoder never does.
// frozen_uses counts the codes sent for entry 4095 while the table is full.
Bytes lzw_encode(const Bytes& indices, int code_size, bool clear_when_full = true,
                 int* frozen_uses = nullptr) {
  const int clear = 1 << code_size;
  int next = clear + 2;
  int width = code_size + 1;
  std::unordered_map<uint32_t, int> table;
  BitWriter w;
  w.put(clear, width);
  auto grow = [&](int entries) {
    if (entries > (1 << width) && width < 12) ++width;
  };
  if (!indices.empty()) {
    int prefix = indices[0];
    for (size_t i = 1; i < indices.size(); ++i) {
      const uint32_t key = uint32_t(prefix) << 8 | indices[i];
      auto found = table.find(key);
      if (found != table.end()) {
        prefix = found->second;
        continue;
      }
      w.put(prefix, width);
      if (frozen_uses && next == 4096 && prefix == 4095) ++*frozen_uses;
      if (next < 4096) {
        table[key] = next++;
        grow(next);
      } else if (clear_when_full) {
        w.put(clear, width);
        table.clear();
        next = clear + 2;
        width = code_size + 1;
      }
      prefix = indices[i];
    }
    w.put(prefix, width);
    // The reader makes an entry for this last code as well.
    grow(next + 1);
  }
  w.put(clear + 1, width);
  return w.finish();
}

void append_sub_blocks(Bytes& out, const Bytes& data, size_t block) {
  for (size_t at = 0; at < data.size(); at += block) {
    const size_t n = std::min(block, data.size() - at);
    out.push_back(uint8_t(n));
    out.insert(out.end(), data.begin() + at, data.begin() + at + n);
  }
  out.push_back(0);
}

uint32_t table_colour(int i, int salt) {
  return uint32_t((i * 37 + 11 + salt) & 0xFF) << 16 | uint32_t((i * 91 + 7) & 0xFF) << 8 |
         uint32_t((i * 13 + 100 + 3 * salt) & 0xFF);
}

void append_table(Bytes& out, int bits, int salt) {
  for (int i = 0; i < (1 << bits); ++i) {
    const uint32_t c = table_colour(i, salt);
    out.push_back(uint8_t(c >> 16));
    out.push_back(uint8_t(c >> 8));
    out.push_back(uint8_t(c));
  }
}

void append_le16(Bytes& out, int v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void append_control(Bytes& out, int transparent) {
  const Bytes gce = {
      0x21, 0xF9, 4, uint8_t(transparent >= 0 ? 1 : 0), 0, 0, uint8_t(transparent >= 0 ? transparent : 0), 0};
  out.insert(out.end(), gce.begin(), gce.end());
}

struct Frame {
  int left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  int local_bits = 0;              // 0: no local table, else 2^bits entries
  std::vector<int> controls = {};  // graphic control extensions before the image: transparent index or -1
  Bytes indices = {};              // row-major, top row first
  int code_size = 8;
  bool clear_when_full = true;
  size_t sub_block = 255;
  std::optional<Bytes> lzw = {};  // when set, sent instead of the encoded `indices`
};

struct GifLayout {
  int screen_width = 0, screen_height = 0;
  int global_bits = 0;        // 0: no global table
  int screen_table_bits = 1;  // size field of byte 10 when there is no global table
  int background = 0;
  std::vector<Frame> frames = {};
  int aspect = 0;  // byte 12: how to stretch the picture for display
};

// Rows in the order the file stores them.
std::vector<int> stored_row_order(int height, bool interlaced) {
  std::vector<int> rows;
  if (!interlaced) {
    for (int y = 0; y < height; ++y) rows.push_back(y);
    return rows;
  }
  const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int y = starts[pass]; y < height; y += steps[pass]) rows.push_back(y);
  return rows;
}

Bytes stored_indices(const Frame& f) {
  Bytes out;
  for (int y : stored_row_order(f.height, f.interlaced))
    out.insert(out.end(), f.indices.begin() + size_t(y) * f.width,
               f.indices.begin() + size_t(y + 1) * f.width);
  return out;
}

Bytes write_gif(const GifLayout& s) {
  Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
  for (int v : {s.screen_width, s.screen_height}) append_le16(out, v);
  out.push_back(s.global_bits ? uint8_t(0x80 | 0x70 | (s.global_bits - 1))
                              : uint8_t(s.screen_table_bits - 1));
  out.push_back(uint8_t(s.background));
  out.push_back(uint8_t(s.aspect));
  if (s.global_bits) append_table(out, s.global_bits, 0);
  int salt = 1;
  for (const Frame& f : s.frames) {
    for (int t : f.controls) append_control(out, t);
    out.push_back(0x2C);
    for (int v : {f.left, f.top, f.width, f.height}) append_le16(out, v);
    out.push_back(uint8_t((f.local_bits ? 0x80 | (f.local_bits - 1) : 0) | (f.interlaced ? 0x40 : 0)));
    if (f.local_bits) append_table(out, f.local_bits, salt++);
    out.push_back(uint8_t(f.code_size));
    append_sub_blocks(out, f.lzw ? *f.lzw : lzw_encode(stored_indices(f), f.code_size, f.clear_when_full),
                      f.sub_block);
  }
  out.push_back(0x3B);
  return out;
}

int write_to_vector(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

ColorMapObject* make_map(int bits, int salt) {
  std::vector<GifColorType> colours(size_t(1) << bits);
  for (size_t i = 0; i < colours.size(); ++i) {
    const uint32_t c = table_colour(int(i), salt);
    colours[i] = {GifByteType(c >> 16), GifByteType(c >> 8), GifByteType(c)};
  }
  return GifMakeMapObject(int(colours.size()), colours.data());
}

// The same file layout written by giflib's own encoder (which picks its code
// size and clears a full table itself).
Bytes write_gif_with_giflib(const GifLayout& s) {
  Bytes out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, write_to_vector, &error);
  EXPECT_NE(gif, nullptr);
  if (gif == nullptr) return out;
  ColorMapObject* global = s.global_bits ? make_map(s.global_bits, 0) : nullptr;
  EXPECT_EQ(EGifPutScreenDesc(gif, s.screen_width, s.screen_height, 8, s.background, global), GIF_OK);
  int salt = 1;
  for (const Frame& f : s.frames) {
    for (int t : f.controls) {
      const GifByteType gce[4] = {GifByteType(t >= 0 ? 1 : 0), 0, 0, GifByteType(t >= 0 ? t : 0)};
      EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, gce), GIF_OK);
    }
    ColorMapObject* local = f.local_bits ? make_map(f.local_bits, salt++) : nullptr;
    EXPECT_EQ(EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, local), GIF_OK);
    Bytes rows = stored_indices(f);
    for (int y = 0; y < f.height; ++y)
      EXPECT_EQ(EGifPutLine(gif, &rows[size_t(y) * f.width], f.width), GIF_OK);
    if (local) GifFreeMapObject(local);
  }
  EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  if (global) GifFreeMapObject(global);
  return out;
}

// ---- giflib as the reference ---------------------------------------------

struct MemoryInput {
  const Bytes* data;
  size_t pos;
};

int read_from_memory(GifFileType* gif, GifByteType* dst, int n) {
  auto* in = static_cast<MemoryInput*>(gif->UserData);
  const size_t take = std::min(size_t(n), in->data->size() - in->pos);
  std::memcpy(dst, in->data->data() + in->pos, take);
  in->pos += take;
  return int(take);
}

uint32_t opaque(const GifColorType& c) {
  return 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
}

struct Reference {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  std::vector<uint32_t> palette;  // 256 entries
  int palette_count = 0;
};

// The first frame on its screen, composed from what giflib decodes: the image
// rectangle from its raster, the border from the background entry (or
// transparent black without a global table), transparency from the last
// graphic control extension before the image that sets it.
bool giflib_reference(const Bytes& file, Reference* ref) {
  MemoryInput in{&file, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&in, read_from_memory, &error);
  if (gif == nullptr) return false;
  if (DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) {
    DGifCloseFile(gif, &error);
    return false;
  }
  const SavedImage& image = gif->SavedImages[0];
  const GifImageDesc& desc = image.ImageDesc;
  const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
  ref->palette.assign(256, 0xFF000000u);
  ref->palette_count = map ? map->ColorCount : 0;
  for (int i = 0; map && i < map->ColorCount; ++i) ref->palette[i] = opaque(map->Colors[i]);
  for (int e = 0; e < image.ExtensionBlockCount; ++e) {
    const ExtensionBlock& block = image.ExtensionBlocks[e];
    if (block.Function == GRAPHICS_EXT_FUNC_CODE && block.ByteCount >= 4 && (block.Bytes[0] & 1))
      ref->palette[block.Bytes[3]] &= 0x00FFFFFFu;
  }
  ref->width = gif->SWidth;
  ref->height = gif->SHeight;
  const uint32_t border = gif->SColorMap ? ref->palette[gif->SBackGroundColor] : 0;
  ref->pixels.assign(size_t(ref->width) * ref->height, border);
  for (int y = 0; y < desc.Height; ++y)
    for (int x = 0; x < desc.Width; ++x) {
      const int sx = desc.Left + x, sy = desc.Top + y;
      if (sx < ref->width && sy < ref->height)
        ref->pixels[size_t(sy) * ref->width + sx] =
            ref->palette[image.RasterBits[size_t(y) * desc.Width + x]];
    }
  DGifCloseFile(gif, &error);
  return true;
}

Bytes pattern(int width, int height, int colours, int seed) {
  Bytes b(size_t(width) * height);
  uint32_t state = uint32_t(seed) * 2654435761u + 1;
  for (size_t i = 0; i < b.size(); ++i) {
    state = state * 1103515245u + 12345u;
    // Runs and noise mixed, so strings of every length occur.
    b[i] = (seed & 1) ? uint8_t((state >> 16) % colours) : uint8_t((i / 7 + (state >> 28)) % colours);
  }
  return b;
}

Frame frame(int left, int top, int width, int height, int colours, int seed) {
  return {.left = left,
          .top = top,
          .width = width,
          .height = height,
          .indices = pattern(width, height, colours, seed)};
}

void expect_matches_reference(const Bytes& file, const char* what) {
  SCOPED_TRACE(what);
  Reference ref;
  ASSERT_TRUE(giflib_reference(file, &ref));
  const Decoded d = decode_file(file);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  ASSERT_EQ(d.width, ref.width);
  ASSERT_EQ(d.height, ref.height);
  EXPECT_EQ(source_info.source_color_type, 3);
  EXPECT_EQ(source_info.source_bit_depth, 8);
  EXPECT_EQ(source_info.palette_count, ref.palette_count);
  EXPECT_TRUE(std::equal(ref.palette.begin(), ref.palette.end(), source_info.palette));
  size_t wrong = 0, first_wrong = 0;
  for (size_t i = 0; i < d.pixels.size(); ++i)
    if (d.pixels[i] != ref.pixels[i] && wrong++ == 0) first_wrong = i;
  EXPECT_EQ(wrong, 0u) << "first at x " << first_wrong % d.width << " y " << first_wrong / d.width << ": "
                       << std::hex << d.pixels[first_wrong] << " instead of " << ref.pixels[first_wrong];
}

// ---- Files compared with giflib -------------------------------------------

struct ReferenceCase {
  std::string name;
  GifLayout layout;
};

GifLayout one_frame(int sw, int sh, int global_bits, Frame f, int background = 0) {
  return {.screen_width = sw,
          .screen_height = sh,
          .global_bits = global_bits,
          .background = background,
          .frames = {std::move(f)}};
}

// Small changes to a frame, so each case of the table reads as one line.
Frame interlaced(Frame f) { return f.interlaced = true, f; }
Frame local_table(Frame f, int bits) { return f.local_bits = bits, f; }
Frame controlled(Frame f, std::vector<int> controls) { return f.controls = std::move(controls), f; }
Frame without_clear(Frame f) { return f.clear_when_full = false, f; }
Frame sub_blocks_of(Frame f, size_t n) { return f.sub_block = n, f; }
Frame code_size(Frame f, int m) { return f.code_size = m, f; }

GifLayout then(GifLayout s, Frame second) { return s.frames.push_back(std::move(second)), s; }

std::vector<ReferenceCase> reference_cases() {
  std::vector<ReferenceCase> cases = {
      {"full screen, global table", one_frame(40, 30, 8, frame(0, 0, 40, 30, 256, 1))},
      {"runs, 4 colours", one_frame(33, 17, 2, code_size(frame(0, 0, 33, 17, 4, 2), 2))},
      {"two colours, code size 2", one_frame(9, 9, 1, code_size(frame(0, 0, 9, 9, 2, 3), 2))},
      {"smaller image, border from background", one_frame(50, 40, 4, frame(7, 5, 20, 11, 16, 5), 9)},
      {"image on the right and bottom edges", one_frame(30, 20, 4, frame(10, 12, 20, 8, 16, 7), 3)},
      {"image wider than the screen", one_frame(20, 20, 4, frame(12, 2, 20, 30, 16, 9), 1)},
      {"no global table: transparent border",
       one_frame(30, 30, 0, local_table(frame(3, 4, 10, 10, 16, 11), 4))},
      {"local table replaces the global one",
       one_frame(25, 25, 8, local_table(frame(0, 1, 25, 20, 32, 13), 5), 2)},
      {"transparent index equals background",
       one_frame(30, 30, 4, controlled(frame(5, 5, 10, 10, 16, 15), {3}), 3)},
      {"later control without transparency keeps the index",
       one_frame(16, 16, 4, controlled(frame(0, 0, 16, 16, 16, 17), {6, -1}))},
      {"background index past a short table", one_frame(12, 12, 2, frame(2, 2, 6, 6, 4, 19), 200)},
      {"table fills, clear code sent", one_frame(120, 100, 8, frame(0, 0, 120, 100, 256, 21))},
      {"table fills, no clear code", one_frame(120, 100, 8, without_clear(frame(0, 0, 120, 100, 256, 21)))},
      {"no clear code, long runs", one_frame(200, 150, 8, without_clear(frame(0, 0, 200, 150, 200, 22)))},
      {"one-byte sub-blocks", one_frame(40, 40, 8, sub_blocks_of(frame(0, 0, 40, 40, 256, 23), 1))},
      {"two-byte sub-blocks", one_frame(40, 40, 8, sub_blocks_of(frame(0, 0, 40, 40, 256, 25), 2))},
      {"interlaced image smaller than the screen",
       one_frame(30, 40, 8, interlaced(frame(4, 6, 17, 21, 256, 27)), 5)},
      {"second frame ignored",
       then(one_frame(20, 20, 4, frame(0, 0, 20, 20, 16, 29)), controlled(frame(2, 2, 10, 10, 16, 31), {0}))},
      {"control extension after the first image has no effect",
       then(one_frame(20, 20, 4, frame(3, 3, 10, 10, 16, 33), 4),
            controlled(frame(0, 0, 20, 20, 16, 35), {4}))},
  };
  // Layouts other decoders accept: a pixel aspect ratio (which changes no
  // pixel), and frames that bring only local tables, the first covering the
  // screen.
  GifLayout stretched = one_frame(21, 13, 4, frame(0, 0, 21, 13, 16, 37));
  stretched.aspect = 49;
  cases.push_back({"aspect ratio byte set", stretched});
  GifLayout local_only = then(one_frame(24, 24, 0, local_table(frame(0, 0, 24, 24, 256, 39), 8)),
                              local_table(frame(0, 0, 24, 20, 256, 41), 8));
  local_only.aspect = 49;
  local_only.screen_table_bits = 8;
  cases.push_back({"local tables only, aspect byte set", local_only});
  for (int h : {1, 2, 3, 4, 5, 8, 9, 13, 17, 64})
    cases.push_back({"interlaced height " + std::to_string(h),
                     one_frame(11, h, 4, interlaced(frame(0, 0, 11, h, 16, h)))});
  return cases;
}

TEST(GifDecode, MatchesGiflibOnOwnWriter) {
  for (const ReferenceCase& c : reference_cases())
    expect_matches_reference(write_gif(c.layout), c.name.c_str());
}

TEST(GifDecode, MatchesGiflibOnGiflibEncoder) {
  for (const ReferenceCase& c : reference_cases()) {
    bool clear_less = false;
    for (const Frame& f : c.layout.frames) clear_less |= !f.clear_when_full;
    if (clear_less) continue;  // giflib always clears
    expect_matches_reference(write_gif_with_giflib(c.layout), c.name.c_str());
  }
}

TEST(GifDecode, RoundTripsIndicesWithoutClearCode) {
  // 256 colours of noise fill the table within a few hundred pixels, so most
  // of this picture is read with a frozen table.
  // The second half repeats the first, so the last entry made (4095) is used
  // again after the table froze.
  GifLayout s = one_frame(300, 200, 8, frame(0, 0, 300, 200, 256, 44));
  Frame& f = s.frames[0];
  std::copy_n(f.indices.begin(), f.indices.size() / 2, f.indices.begin() + f.indices.size() / 2);
  int frozen_uses = 0;
  f.lzw = lzw_encode(f.indices, 8, false, &frozen_uses);
  ASSERT_GT(frozen_uses, 0);
  const Bytes file = write_gif(s);
  const Decoded d = decode_file(file);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  for (size_t i = 0; i < d.pixels.size(); ++i)
    ASSERT_EQ(d.pixels[i], 0xFF000000u | table_colour(s.frames[0].indices[i], 0)) << i;
}

// ---- Placement ---------------------------------------------------------------

TEST(GifDecode, OffsetShiftsAndClips) {
  const Bytes file = write_gif(one_frame(24, 18, 4, frame(3, 2, 15, 12, 16, 43), 6));
  expect_offsets_clip(file, 24, 18, {{-3, 2}, {5, -4}, {-30, 0}, {0, 40}, {23, 17}});
  EXPECT_EQ(decode_at(file, 0, 0).result, 0);  // into an empty target, which stays untouched
  // Interlaced rows that pass above or below the target are passed over a
  // pass at a time; whole and cut short (the rest filled), they land as the
  // unmoved decode has them.
  // Noise (short strings) and slow runs of two colours (strings longer than
  // several rows).
  std::vector<std::pair<int32_t, int32_t>> shifts = {{-3, 17}, {4, 30}, {0, -39}, {1, 39}};
  for (int32_t y = -3; y >= -18; --y) shifts.push_back({0, y});
  for (const Frame& f : {frame(2, 1, 17, 38, 16, 45), frame(0, 1, 3, 38, 2, 44)}) {
    const Bytes tall = write_gif(one_frame(20, 40, 4, interlaced(f), 3));
    expect_offsets_clip(tall, 20, 40, shifts);
    for (size_t cut = 80; cut + 6 < tall.size(); cut += 9) {
      SCOPED_TRACE(cut);
      expect_offsets_clip(Bytes(tall.begin(), tall.begin() + std::ptrdiff_t(cut)), 20, 40, shifts);
    }
  }
}

// ---- Damaged and unusual streams ------------------------------------------

// Image positions in the order the stream fills them.
std::vector<size_t> fill_order(const Frame& f, int screen_width) {
  std::vector<size_t> order;
  for (int y : stored_row_order(f.height, f.interlaced))
    for (int x = 0; x < f.width; ++x) order.push_back(size_t(f.top + y) * screen_width + f.left + x);
  return order;
}

// A cut anywhere inside the image data leaves a prefix of the picture in
// stream order, then the border colour; a cut before the data is a refusal.
TEST(GifDecode, TruncatedDataKeepsPrefixAndFillsRest) {
  for (bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "interlaced" : "progressive");
    Frame f = frame(2, 3, 21, 14, 16, 47);
    f.interlaced = interlaced;
    f.sub_block = 20;
    const GifLayout s = one_frame(26, 20, 4, f, 5);
    const Bytes file = write_gif(s);
    const Decoded full = decode_file(file);
    ASSERT_EQ(full.result, 0);
    const uint32_t fill = source_info.palette[5];
    const size_t data_start = 13 + 48 + 10 + 1;  // header, table, descriptor, code size
    const std::vector<size_t> order = fill_order(s.frames[0], s.screen_width);
    for (size_t cut = 0; cut < file.size(); ++cut) {
      const Bytes part(file.begin(), file.begin() + cut);
      const Decoded d = decode_file(part);
      if (cut < 13) continue;  // not even a screen: the probe says 0 x 0
      if (cut < data_start - 1) {
        EXPECT_EQ(d.result, -1) << cut;
        continue;
      }
      ASSERT_EQ(d.result, 0) << cut;
      // The last bytes hold the end code, padding and terminators only.
      if (cut + 6 < file.size()) {
        ASSERT_EQ(source_info.incomplete, 1) << cut;
      }
      if (source_info.incomplete == 0) {
        EXPECT_TRUE(d.pixels == full.pixels) << cut;
        continue;
      }
      size_t i = 0;
      while (i < order.size() && d.pixels[order[i]] == full.pixels[order[i]]) ++i;
      for (; i < order.size(); ++i) ASSERT_EQ(d.pixels[order[i]], fill) << "cut " << cut << " pixel " << i;
      // The border is there whatever the data did.
      EXPECT_EQ(d.pixels[0], fill);
      EXPECT_EQ(d.pixels.back(), fill);
    }
  }
}

// Streams stopped after `pixels` indices with an end code show which rows an
// interlaced image fills first: 0; 0, 1; 0, 2, 1; 0, 2, 1, 3.
TEST(GifDecode, InterlacedRowOrderOfShortImages) {
  const std::vector<std::vector<int>> orders = {{0}, {0, 1}, {0, 2, 1}, {0, 2, 1, 3}};
  for (int height = 1; height <= 4; ++height) {
    for (int rows_sent = 1; rows_sent <= height; ++rows_sent) {
      Bytes sent;
      for (int k = 0; k < rows_sent; ++k) sent.push_back(uint8_t(1 + orders[height - 1][k]));
      const Frame f{
          .width = 1, .height = height, .interlaced = true, .code_size = 3, .lzw = lzw_encode(sent, 3)};
      GifLayout s = one_frame(1, height, 3, f);
      const Decoded d = decode_file(write_gif(s));
      ASSERT_EQ(d.result, 0);
      EXPECT_EQ(source_info.incomplete, rows_sent < height ? 1 : 0);
      for (int y = 0; y < height; ++y) {
        const bool reached = std::find(orders[height - 1].begin(), orders[height - 1].begin() + rows_sent,
                                       y) != orders[height - 1].begin() + rows_sent;
        const uint32_t want = reached ? source_info.palette[1 + y] : source_info.palette[0];
        EXPECT_EQ(d.pixels[size_t(y)], want) << "height " << height << " rows " << rows_sent << " y " << y;
      }
    }
  }
}

Bytes codes(std::initializer_list<std::pair<uint32_t, int>> list) {
  BitWriter w;
  for (auto [code, width] : list) w.put(code, width);
  return w.finish();
}

struct DamagedCase {
  const char* name;
  Bytes lzw;
  int decoded;  // leading pixels that keep their index 1
};

// A 3 x 2 image, code size 2 (clear 4, end 5). What the stream delivers stays;
// the rest of the image takes the background entry, and the result is marked
// incomplete.
TEST(GifDecode, DamagedStreamsStopCleanly) {
  const std::vector<DamagedCase> cases = {
      {"code above the next free code", codes({{4, 3}, {1, 3}, {7, 3}, {1, 3}}), 1},
      {"first code names the entry not yet made", codes({{4, 3}, {6, 3}}), 0},
      {"end code before the image is complete", codes({{4, 3}, {1, 3}, {1, 3}, {5, 3}}), 2},
      // Eight 3-bit codes fill three bytes, so no padding bits follow.
      {"data ends without an end code",
       codes({{4, 3}, {1, 3}, {4, 3}, {1, 3}, {4, 3}, {1, 3}, {4, 3}, {1, 3}}), 4},
      {"empty data", Bytes{}, 0},
  };
  for (const DamagedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Frame f{.width = 3, .height = 2, .code_size = 2, .lzw = c.lzw};
    const Decoded d = decode_file(write_gif(one_frame(3, 2, 2, f, 2)));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(source_info.incomplete, 1);
    for (int i = 0; i < 6; ++i)
      EXPECT_EQ(d.pixels[size_t(i)], source_info.palette[i < c.decoded ? 1 : 2]) << i;
  }
}

// Past the screen (13 bytes) and its table (12) comes the image descriptor
// (10), then the code size. Cut files keep `keep` bytes; byte 0 is rewritten
// as itself when nothing else changes.
TEST(GifDecode, RefusedFiles) {
  const Bytes good = write_gif(one_frame(4, 4, 2, frame(0, 0, 4, 4, 4, 51)));
  struct Case {
    const char* name;
    size_t keep, at;
    uint8_t value;
    Bytes tail;
  };
  const Case cases[] = {
      {"trailer before any image", SIZE_MAX, 13 + 12, 0x3B, {}},
      {"code size 12", SIZE_MAX, 13 + 12 + 10, 12, {}},
      {"code size 255", SIZE_MAX, 13 + 12 + 10, 255, {}},
      {"extension in place of the image, swallowing the rest", SIZE_MAX, 13 + 12, 0x21, {}},
      {"image descriptor cut short", 13 + 12 + 5, 0, 'G', {}},
      {"global table cut short", 13 + 6, 0, 'G', {}},
      {"control extension cut short", 13 + 12, 0, 'G', {0x21, 0xF9, 4, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b(good.begin(), good.begin() + long(std::min(c.keep, good.size())));
    b[c.at] = c.value;
    b.insert(b.end(), c.tail.begin(), c.tail.end());
    const Decoded d = decode_at(b, 4, 4);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.colour_type, 3);
    EXPECT_EQ(d.pixels, std::vector<uint32_t>(16, kUntouched));
  }
}

TEST(GifDecode, CodeSizeElevenDecodesLowBytes) {
  // Roots above 255 have no palette entry; their low byte is used.
  const Frame f{.width = 2,
                .height = 1,
                .code_size = 11,
                .lzw = codes({{2048, 12}, {0x107, 12}, {0x005, 12}, {2049, 12}})};
  const Decoded d = decode_file(write_gif(one_frame(2, 1, 8, f)));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(source_info.incomplete, 0);
  EXPECT_EQ(d.pixels[0], source_info.palette[7]);
  EXPECT_EQ(d.pixels[1], source_info.palette[5]);
}

// Layouts giflib refuses but other readers show: stray bytes between blocks
// (passed over, as the format's first version asks), and a screen of zero
// width or height (as large as the first image reaches). Each decodes as its
// tidy twin does.
TEST(GifDecode, LayoutsOtherReadersAccept) {
  const GifLayout tidy = one_frame(12, 9, 4, controlled(frame(0, 0, 12, 9, 16, 43), {5}));
  const Bytes good = write_gif(tidy);
  const Decoded want = decode_file(good);
  ASSERT_EQ(want.result, 0);
  const size_t after_table = 13 + 3 * 16;
  struct Case {
    const char* what;
    Bytes file;
  };
  Bytes stray = good;
  stray.insert(stray.begin() + long(after_table), {0x00, 0x00, 0x17});
  Bytes stray_after_extension = good;
  stray_after_extension.insert(stray_after_extension.begin() + long(after_table + 8), 0x00);
  Bytes no_width = good, no_height = good, no_screen = good;
  put_le16(no_width, 6, 0);
  put_le16(no_height, 8, 0);
  put_le16(no_screen, 6, 0);
  put_le16(no_screen, 8, 0);
  const Case cases[] = {{"stray bytes before the first block", stray},
                        {"a stray byte after an extension", stray_after_extension},
                        {"screen of width 0", no_width},
                        {"screen of height 0", no_height},
                        {"screen of no size", no_screen}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = decode_file(c.file);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.width, 12);
    EXPECT_EQ(d.height, 9);
    EXPECT_EQ(d.pixels, want.pixels);
  }
  // An image placed away from the origin of a zero-width screen: the screen
  // reaches its right edge, and the columns left of it are background.
  GifLayout shifted = one_frame(0, 6, 4, frame(3, 0, 5, 6, 16, 45));
  const Decoded s = decode_file(write_gif(shifted));
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.width, 8);
  shifted.screen_width = 8;
  EXPECT_EQ(s.pixels, decode_file(write_gif(shifted)).pixels);
  // Stray bytes that run into the trailer, or into the end of the data, still
  // leave no picture.
  Bytes trailer = Bytes(good.begin(), good.begin() + long(after_table));
  trailer.insert(trailer.end(), {0x00, 0x3B, 0x2C});
  EXPECT_EQ(decode_file(trailer).result, -1);
  Bytes only_stray = Bytes(good.begin(), good.begin() + long(after_table));
  only_stray.insert(only_stray.end(), 300, 0x00);
  EXPECT_EQ(decode_file(only_stray).result, -1);
}

TEST(GifDecode, ZeroSizedImageLeavesBackground) {
  for (auto [w, h] : {std::pair{0, 5}, {5, 0}}) {
    const Frame f{.width = w, .height = h, .code_size = 2, .lzw = codes({{4, 3}, {5, 3}})};
    const Decoded d = decode_file(write_gif(one_frame(6, 6, 2, f, 3)));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(source_info.incomplete, 0);
    for (uint32_t p : d.pixels) EXPECT_EQ(p, source_info.palette[3]);
  }
}

TEST(GifDecode, NoColourTableGivesGreyRamp) {
  struct Case {
    int table_bits;
    std::vector<uint32_t> first;
  };
  for (const Case& c :
       std::vector<Case>{{1, {0xFF000000u, 0xFFFFFFFFu, 0xFF000000u}},
                         {2, {0xFF000000u, 0xFF555555u, 0xFFAAAAAAu, 0xFFFFFFFFu, 0xFF000000u}},
                         {8, {0xFF000000u, 0xFF010101u, 0xFF020202u}}}) {
    GifLayout s = one_frame(4, 4, 0, frame(0, 0, 4, 4, 2, 53));
    s.screen_table_bits = c.table_bits;
    const Decoded d = decode_file(write_gif(s));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(source_info.palette_count, 1 << c.table_bits);
    for (size_t i = 0; i < c.first.size(); ++i) EXPECT_EQ(source_info.palette[i], c.first[i]) << i;
    EXPECT_EQ(source_info.palette[255], c.table_bits == 8 ? 0xFFFFFFFFu : 0xFF000000u);
  }
}

// ---- Real files ----------------------------------------------------------------

TEST(GifDecode, CorpusDecodesOrRefusesCleanly) {
  const std::filesystem::path dir = std::filesystem::path(TESSEL_CORPUS_DIR) / "gif";
  int files = 0, decoded = 0, compared = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".gif") continue;
    SCOPED_TRACE(entry.path().string());
    const Bytes file = read_file(entry.path().string());
    ++files;
    const Decoded d = decode_file(file);
    ASSERT_TRUE(d.result == 0 || d.result == -1);
    const bool incomplete = source_info.incomplete != 0;
    // Also cut by the target's edges.
    decode_at(file, d.width, d.height, -3, 2);
    if (d.result != 0) continue;
    ++decoded;
    // A stream giflib reads whole must come out exactly as giflib reads it.
    Reference ref;
    if (incomplete || d.width == 0 || d.height == 0 || !giflib_reference(file, &ref)) continue;
    ++compared;
    ASSERT_EQ(ref.pixels.size(), d.pixels.size());
    EXPECT_TRUE(ref.pixels == d.pixels);
  }
  EXPECT_GT(files, 40);
  EXPECT_GT(compared, 30);
  std::printf("%d files, %d decoded, %d compared with giflib\n", files, decoded, compared);
}

}  // namespace
