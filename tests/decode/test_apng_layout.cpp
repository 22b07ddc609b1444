// The frame layout of animated PNGs as read_apng_layout takes it apart, and
// the files it must refuse rather than hand on a frame it has not checked.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "decode/apng_decode.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes actl(uint32_t frames, uint32_t plays) { return png_chunk("acTL", cat({be32(frames), be32(plays)})); }

Bytes fctl(uint32_t sequence, uint32_t w, uint32_t h, uint32_t x, uint32_t y, uint8_t dispose = 0,
           uint8_t blend = 0) {
  return png_chunk("fcTL",
                   cat({be32(sequence), be32(w), be32(h), be32(x), be32(y), {0, 3, 0, 100, dispose, blend}}));
}

// Gray 8-bit rows of zeros, each behind its filter byte.
Bytes rows(uint32_t w, uint32_t h) { return Bytes(size_t(w + 1) * h, 0); }

Bytes fdat(uint32_t sequence, uint32_t w, uint32_t h) {
  const Bytes idat = idat_chunk(rows(w, h), 9);
  return png_chunk("fdAT", cat({be32(sequence), Bytes(idat.begin() + 8, idat.end() - 4)}));
}

// An 8 x 6 canvas: the default image is the first frame, the second covers
// a 3 x 2 region at (4, 3).
std::vector<Bytes> two_frames() {
  return {ihdr_chunk(8, 6, 8, 0),    actl(2, 7),    fctl(0, 8, 6, 0, 0),  idat_chunk(rows(8, 6), 9),
          fctl(1, 3, 2, 4, 3, 1, 1), fdat(2, 3, 2), png_chunk("IEND", {})};
}

TEST(ApngLayout, FramesAsTheControlsLayThemOut) {
  const Bytes file = png_file(two_frames());
  ApngLayout l{};
  ASSERT_EQ(read_apng_layout(file.data(), int32_t(file.size()), &l, nullptr, 0), 0);
  ASSERT_EQ(l.frame_count, 2);
  std::vector<ApngFrame> f(2);
  ASSERT_EQ(read_apng_layout(file.data(), int32_t(file.size()), &l, f.data(), 2), 0);
  EXPECT_EQ(l.canvas_width, 8);
  EXPECT_EQ(l.canvas_height, 6);
  EXPECT_EQ(l.play_count, 7u);
  EXPECT_TRUE(l.default_image_is_frame);
  EXPECT_TRUE(f[0].in_idat);
  EXPECT_EQ(f[0].first_data, l.first_idat);
  EXPECT_FALSE(f[1].in_idat);
  EXPECT_EQ(f[1].width, 3);
  EXPECT_EQ(f[1].height, 2);
  EXPECT_EQ(f[1].x_offset, 4);
  EXPECT_EQ(f[1].y_offset, 3);
  EXPECT_EQ(f[1].dispose_op, 1);
  EXPECT_EQ(f[1].blend_op, 1);
  EXPECT_EQ(std::string(file.begin() + f[1].first_data + 4, file.begin() + f[1].first_data + 8), "fdAT");
  // The frames decode, the second into its own 3 x 2 target.
  std::vector<uint32_t> pixels(6, 1);
  SourceInfo info{};
  ASSERT_EQ(decode_apng_frame(file.data(), int32_t(file.size()), l, f[1],
                              DecodeTarget{pixels.data(), 12, 3, 2, 0, 0}, info),
            0);
  EXPECT_EQ(info.incomplete, 0);
  for (uint32_t p : pixels) EXPECT_EQ(p, 0xFF000000u);
}

TEST(ApngLayout, RefusesWhatItCannotCheck) {
  struct Case {
    const char* what;
    std::function<void(std::vector<Bytes>&)> edit;
  };
  const Case cases[] = {
      // Found by fuzzing: a header after the frames' controls made the
      // canvas 8 x 0 after they were checked against 8 x 6.
      {"second IHDR", [](auto& c) { c.insert(c.begin() + 5, ihdr_chunk(8, 0, 8, 0)); }},
      {"second IHDR before the frames", [](auto& c) { c.insert(c.begin() + 1, ihdr_chunk(16, 16, 8, 0)); }},
      {"region leaves the canvas", [](auto& c) { c[4] = fctl(1, 5, 2, 4, 3); }},
      {"first frame not the whole canvas", [](auto& c) { c[2] = fctl(0, 7, 6, 0, 0); }},
      {"empty region", [](auto& c) { c[4] = fctl(1, 0, 2, 4, 3); }},
      {"unknown dispose op", [](auto& c) { c[4] = fctl(1, 3, 2, 4, 3, 3); }},
      {"unknown blend op", [](auto& c) { c[4] = fctl(1, 3, 2, 4, 3, 0, 2); }},
      {"frame count differs from acTL", [](auto& c) { c[1] = actl(3, 0); }},
      {"no acTL", [](auto& c) { c.erase(c.begin() + 1); }},
      {"acTL after IDAT only", [](auto& c) { std::swap(c[1], c[3]); }},
      {"frame without data", [](auto& c) { c.erase(c.begin() + 5); }},
      {"fdAT before IDAT", [](auto& c) { c.insert(c.begin() + 2, fdat(9, 3, 2)); }},
      // Viewers show such files as the default image alone; renumbered, the
      // frames would start to play.
      {"sequence not from 0", [](auto& c) { c[2] = fctl(1, 8, 6, 0, 0); }},
      {"sequence skips a number", [](auto& c) { c[5] = fdat(3, 3, 2); }},
      {"sequence repeated", [](auto& c) { c[4] = fctl(0, 3, 2, 4, 3, 1, 1); }},
      {"chunks out of order", [](auto& c) { c.insert(c.begin() + 6, fdat(2, 3, 2)); c[5] = fdat(3, 3, 2); }},
      {"fdAT too short for its number", [](auto& c) { c.insert(c.begin() + 6, png_chunk("fdAT", {0, 0})); }},
      // Offsets and sizes whose sum wraps at 32 bits.
      {"x offset plus width wraps", [](auto& c) { c[4] = fctl(1, 3, 2, 0xFFFFFFFEu, 3); }},
      {"y offset plus height wraps", [](auto& c) { c[4] = fctl(1, 3, 0xFFFFFFFFu, 4, 1); }},
      {"acTL frame count at 2^32 - 1", [](auto& c) { c[1] = actl(0xFFFFFFFFu, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Bytes> chunks = two_frames();
    c.edit(chunks);
    const Bytes file = png_file(chunks);
    ApngLayout l{};
    EXPECT_EQ(read_apng_layout(file.data(), int32_t(file.size()), &l, nullptr, 0), -1);
  }
}

}  // namespace
