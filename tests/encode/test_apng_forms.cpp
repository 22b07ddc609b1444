// The animated PNG writer's choice of one colour form for all frames, made
// by encoding each form, and the per-frame block settings of the search
// mode; every frame of every file is read back by libpng.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "encode/apng_write.h"
#include "encode/encode_png.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

struct Frames {
  int32_t width, height;
  std::vector<std::vector<uint32_t>> pixels;
  std::vector<ApngFrameIn> in;
};

// n frames of the whole canvas, pixel(k, x, y) each.
template <typename Fn>
Frames make_frames(int32_t w, int32_t h, int32_t n, Fn pixel) {
  Frames f{w, h, {}, {}};
  for (int32_t k = 0; k < n; ++k) {
    f.pixels.emplace_back(size_t(w) * h);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) f.pixels.back()[size_t(y) * w + x] = pixel(k, x, y);
  }
  for (int32_t k = 0; k < n; ++k) f.in.push_back(ApngFrameIn{f.pixels[size_t(k)].data(), w, h, 0, 0, 1, 10, 0, 0});
  return f;
}

struct Written {
  int32_t size = kNoPng;
  std::vector<uint8_t> png;
};

Written write(const Frames& f, bool try_forms, int32_t deep_level = 0, bool blocks = false) {
  EncodeOptions o{};
  o.pixels = const_cast<uint32_t*>(f.pixels[0].data());
  o.pitch = f.width * 4;
  o.width = f.width;
  o.height = f.height;
  o.colour_type = -1;
  o.bit_depth = 0;
  o.filter = -1;
  o.block_threshold = 256.0;
  o.max_passes = 2;
  o.match_store_limit = -1;
  o.deep_level = deep_level;
  const ApngRequest r{f.in.data(), int32_t(f.in.size()), 0, true, deep_level > 0, blocks, try_forms};
  uint8_t* out = nullptr;
  Written w;
  w.size = encode_apng(&o, &r, &out);
  if (w.size != kNoPng) w.png.assign(out, out + w.size);
  std::free(out);
  return w;
}

int32_t forms(const Frames& f) {
  const ApngRequest r{f.in.data(), int32_t(f.in.size()), 0, true, false, false, true};
  return apng_form_count(&r);
}

// Every frame (all cover the canvas here) as libpng reads it: its fcTL
// size in IHDR, its data in IDAT, the file's PLTE and tRNS beside it.
::testing::AssertionResult frames_read_back(const std::vector<uint8_t>& png, const Frames& f) {
  const std::vector<PngChunk> chunks = split_chunks(png);
  const PngChunk* ihdr = find_chunk(chunks, "IHDR");
  if (ihdr == nullptr) return ::testing::AssertionFailure() << "no IHDR";
  std::vector<std::vector<Bytes>> files;
  for (const PngChunk& c : chunks) {
    if (c.type == "fcTL") {
      Bytes header = ihdr->data;
      std::copy(c.data.begin() + 4, c.data.begin() + 12, header.begin());
      files.push_back({testpic::png_chunk("IHDR", header)});
      for (const PngChunk& t : chunks)
        if (t.type == "PLTE" || t.type == "tRNS") files.back().push_back(t.whole);
    } else if (c.type == "IDAT" && !files.empty()) {
      files.back().push_back(c.whole);
    } else if (c.type == "fdAT" && !files.empty()) {
      files.back().push_back(testpic::png_chunk("IDAT", Bytes(c.data.begin() + 4, c.data.end())));
    }
  }
  if (files.size() != f.pixels.size()) return ::testing::AssertionFailure() << files.size() << " frames";
  for (size_t k = 0; k < files.size(); ++k) {
    files[k].push_back(testpic::png_chunk("IEND", {}));
    OraclePicture p;
    std::string error;
    if (!libpng_decode(testpic::png_file(files[k]), &p, &error))
      return ::testing::AssertionFailure() << "frame " << k << ": " << error;
    if (p.pixels != f.pixels[k]) return ::testing::AssertionFailure() << "frame " << k << " differs";
  }
  return ::testing::AssertionSuccess();
}

int colour_type(const std::vector<uint8_t>& png) { return png.size() > 25 ? png[25] : -1; }

// Gray frames fit a palette and gray; the trial keeps the smaller, never
// more than the palette alone, and gray takes the least depth that holds
// every level. Translucent gray adds gray with alpha; more than 256 colours
// leave true colour alone; frames blended over partly transparent colours
// get no palette.
TEST(ApngForms, TrialKeepsTheSmallestFormThatHoldsEveryPixel) {
  const Frames gray = make_frames(61, 47, 4, [](int32_t k, int32_t x, int32_t y) {
    const uint32_t v = uint32_t((x * 4 + y * 3 + k * 11) % 256);
    return 0xFF000000u | v << 16 | v << 8 | v;
  });
  const Written first = write(gray, false), tried = write(gray, true);
  ASSERT_NE(first.size, kNoPng);
  ASSERT_NE(tried.size, kNoPng);
  EXPECT_EQ(colour_type(first.png), 3);
  EXPECT_LE(tried.size, first.size);
  EXPECT_TRUE(frames_read_back(tried.png, gray));
  EXPECT_TRUE(frames_read_back(first.png, gray));

  const Frames four_levels = make_frames(40, 30, 3, [](int32_t k, int32_t x, int32_t y) {
    const uint32_t v = uint32_t(((x / 3 + y / 5 + k) % 4) * 85);
    return 0xFF000000u | v << 16 | v << 8 | v;
  });
  const Written small = write(four_levels, true);
  ASSERT_NE(small.size, kNoPng);
  EXPECT_LE(small.png[24], 2) << "bit depth";
  EXPECT_TRUE(frames_read_back(small.png, four_levels));

  const Frames clear_gray = make_frames(50, 40, 3, [](int32_t k, int32_t x, int32_t y) {
    const uint32_t v = uint32_t((x * 5 + y * 7 + k) % 256);
    return uint32_t((x * y + k) % 256) << 24 | v << 16 | v << 8 | v;
  });
  EXPECT_EQ(forms(clear_gray), 2);
  const Written ga = write(clear_gray, true);
  ASSERT_NE(ga.size, kNoPng);
  EXPECT_TRUE(colour_type(ga.png) == 4 || colour_type(ga.png) == 6);
  EXPECT_TRUE(frames_read_back(ga.png, clear_gray));

  const Frames many = make_frames(40, 40, 2, [](int32_t k, int32_t x, int32_t y) {
    return 0xFF000000u | uint32_t(x * 6) << 16 | uint32_t(y * 6) << 8 | uint32_t(k * 90);
  });
  EXPECT_EQ(forms(many), 1);
  const Written rgb = write(many, true);
  ASSERT_NE(rgb.size, kNoPng);
  EXPECT_EQ(colour_type(rgb.png), 2);
  EXPECT_TRUE(frames_read_back(rgb.png, many));

  Frames over = make_frames(20, 20, 2, [](int32_t k, int32_t x, int32_t) {
    return (x < 10 ? 0x80000000u : 0xFF000000u) | uint32_t(k * 40 + x);
  });
  over.in[1].blend_op = 1;
  EXPECT_EQ(forms(over), 1);
  const Written rgba = write(over, true);
  ASSERT_NE(rgba.size, kNoPng);
  EXPECT_EQ(colour_type(rgba.png), 6);
}

// Under the search mode each frame may also take a single block or other
// split thresholds: never a larger file, the same frames.
TEST(ApngForms, PerFrameBlockSettingsNeverCostBytes) {
  const Frames f = make_frames(32, 24, 2, [](int32_t k, int32_t x, int32_t y) {
    const uint32_t v = uint32_t((x * x + y * 3 + k * 17) % 251);
    return 0xFF000000u | v << 16 | uint32_t((y * 5 + k) % 256) << 8 | uint32_t(x * 4);
  });
  const Written plain = write(f, true, 1, false), blocks = write(f, true, 1, true);
  ASSERT_NE(plain.size, kNoPng);
  ASSERT_NE(blocks.size, kNoPng);
  EXPECT_LE(blocks.size, plain.size);
  EXPECT_TRUE(frames_read_back(blocks.png, f));
  EXPECT_EQ(blocks.png, write(f, true, 1, true).png);
}

}  // namespace
