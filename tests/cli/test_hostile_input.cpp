#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "decode/picture.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"
#include "tests/support/png_build.h"

namespace {

using namespace testpic;

void put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

Bytes gray_rows(int width, int height) {
  Bytes rows;
  for (int y = 0; y < height; ++y) {
    rows.push_back(0);
    for (int x = 0; x < width; ++x) rows.push_back(uint8_t(x * 16 + y));
  }
  return rows;
}

// A zlib stream of empty fixed-code blocks, none of them final: it never ends.
Bytes endless_stream(int blocks) {
  DeflateBits w;
  w.zlib_header(0x78, 0x01);
  for (int i = 0; i < blocks; ++i) {
    w.block_header(false, 1);
    w.put_fixed(256);
  }
  return w.finish();
}

// Indices 0..15 behind a palette of two entries.
Bytes short_palette_png() {
  Bytes rows;
  for (int y = 0; y < 16; ++y) {
    rows.push_back(0);
    for (int x = 0; x < 16; ++x) rows.push_back(uint8_t(x));
  }
  return png_file({ihdr_chunk(16, 16, 8, 3), testpic::png_chunk("PLTE", {0, 0, 0, 255, 255, 255}), idat_chunk(rows, 9),
                   testpic::png_chunk("IEND", {})});
}

Bytes png_with_lying_text_length() {
  Bytes text = testpic::png_chunk("tEXt", Bytes{'C', 'o', 0, 'x'});
  text[0] = 0x7F;  // the length now claims about 2 GiB
  return png_file({ihdr_chunk(16, 16, 8, 0), text, idat_chunk(gray_rows(16, 16), 9), testpic::png_chunk("IEND", {})});
}

// A BMP of 16 x 16 eight-bit indices with a two-entry palette; the header
// fields are the test's to spoil.
Bytes bmp8(uint32_t pixel_offset, uint32_t compression, const Bytes& pixels) {
  Bytes b(54, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 2, uint32_t(62 + pixels.size()));
  put32(b, 10, pixel_offset);
  put32(b, 14, 40);
  put32(b, 18, 16);
  put32(b, 22, 16);
  b[26] = 1;
  b[28] = 8;
  put32(b, 30, compression);
  put32(b, 34, uint32_t(pixels.size()));
  put32(b, 46, 2);
  b.insert(b.end(), {0, 0, 0, 0, 255, 255, 255, 0});
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

Bytes jpeg_header(uint16_t width, uint16_t height) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xC0, 0, 17, 8, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
             uint8_t(width), 3, 1, 0x22, 0, 2, 0x11, 0, 3, 0x11, 0};
  b.resize(80, 0);
  b.insert(b.end(), {0xFF, 0xD9});
  return b;
}

Bytes gif_header(uint16_t width, uint16_t height) {
  Bytes b = bytes_of("GIF89a");
  b.resize(13, 0);
  put16(b, 6, width);
  put16(b, 8, height);
  b.insert(b.end(), {',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, ';'});
  return b;
}

// Sixteen by sixteen 8-bit indices in runs of 63, with or without the
// 256-colour palette a one-plane picture must end with.
Bytes pcx_runs(int runs, bool palette) {
  Bytes b(128, 0);
  put32(b, 0, 0x0801050Au);
  put16(b, 8, 15);
  put16(b, 10, 15);
  b[65] = 1;
  put16(b, 66, 16);
  for (int i = 0; i < runs; ++i) b.insert(b.end(), {0xFF, 7});
  if (palette) {
    b.push_back(0x0C);
    for (int i = 0; i < 768; ++i) b.push_back(uint8_t(i));
  }
  return b;
}

Bytes dds_dxt1(uint32_t width, uint32_t height, uint32_t mips, size_t data) {
  Bytes b(128, 0);
  std::copy_n("DDS ", 4, b.begin());
  put32(b, 4, 124);
  put32(b, 8, 0x2100F);
  put32(b, 12, height);
  put32(b, 16, width);
  put32(b, 28, mips);
  put32(b, 76, 32);
  put32(b, 80, 0x04);
  std::copy_n("DXT1", 4, b.begin() + 84);
  b.resize(128 + data, 0x55);
  return b;
}

// A true-colour TGA of width x height whose pixel data holds `data` bytes.
Bytes tga24(uint16_t width, uint16_t height, size_t data) {
  Bytes b(18, 0);
  b[2] = 2;
  put16(b, 12, width);
  put16(b, 14, height);
  b[16] = 24;
  for (size_t i = 0; i < data; ++i) b.push_back(uint8_t(i));
  return b;
}

Bytes with32(Bytes b, size_t at, uint32_t v) {
  put32(b, at, v);
  return b;
}

// A GIF of 16 x 16 indices 0..3 behind a global table of two colours.
Bytes gif_short_table() {
  Bytes b = gif_file(16, 16, {{0, 0, 16, 16, false, lzw_run(3, 256)}});
  b[10] &= 0xF8;                          // the table's size: 2 entries
  b.erase(b.begin() + 19, b.begin() + 25);  // and only those two are there
  return b;
}

Bytes test_picture(const std::string& name) { return read_file(std::string(TESSEL_CORPUS_DIR) + "/" + name); }

struct Hostile {
  const char* name;  // file name; the format is recognised by content
  Bytes file;
  int status;
  std::string err;  // standard error, or its start when it ends in "..."
};

class HostileInput : public ::testing::TestWithParam<Hostile> {};

// Each refusal is one clear message on standard error and nothing written.
TEST_P(HostileInput, RefusedClearlyAndNothingWritten) {
  const Hostile& c = GetParam();
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file(c.name), c.file));
  const CommandResult r = run_tool(dir, {"-l512", c.name, "out.png"});
  EXPECT_EQ(r.status, c.status);
  if (c.err.ends_with("...")) {
    EXPECT_EQ(r.err.substr(0, c.err.size() - 3), c.err.substr(0, c.err.size() - 3)) << r.err;
  } else {
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
  EXPECT_EQ(read_file(dir.file(c.name)), c.file);
}

const std::string kDamaged = " is damaged or incomplete: ...";
// Where not one row fits the encoder's 32-bit buffer sizes, the limit is
// what a picture of no rows needs.
const std::string k32Bit = " (the most the encoder's 32-bit buffer sizes allow at this width)\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cli, HostileInput, ::testing::Values(
    // Absurd dimensions: beyond the limit given, or beyond what the 32-bit
    // sizes allow whatever the limit.
    Hostile{"huge.png", png_file({ihdr_chunk(100000, 100000, 8, 6), idat_chunk(Bytes(100, 0), 9),
                                  testpic::png_chunk("IEND", {})}), 1,
            "huge.png is 100000 x 100000 pixels and needs 114473 MiB, more than the memory limit of 512 MiB (-l)\n"},
    Hostile{"wide.png", png_file({ihdr_chunk(0x7FFFFFFF, 1, 8, 0), testpic::png_chunk("IEND", {})}), 1,
            "wide.png is 2147483647 x 1 pixels and needs 24609 MiB, more than the memory limit of 32 MiB" + k32Bit},
    Hostile{"huge.jpg", jpeg_header(65535, 65535), 1,
            "huge.jpg is 65535 x 65535 pixels and needs 49183 MiB, more than the memory limit of 512 MiB (-l)\n"},
    Hostile{"big.jpg", jpeg_header(16000, 16000), 1,
            "big.jpg is 16000 x 16000 pixels and needs ..."},
    Hostile{"huge.gif", gif_header(65535, 65535), 1,
            "huge.gif is 65535 x 65535 pixels and needs 49183 MiB, more than the memory limit of 512 MiB (-l)\n"},
    Hostile{"huge.dds", dds_dxt1(0x7FFFFFFF, 0x7FFFFFFF, 1, 64), 1,
            "huge.dds is 2147483647 x 2147483647 pixels and needs 52776558084140 MiB, more than the memory limit of "
            "32 MiB" + k32Bit},
    Hostile{"zero.dds", dds_dxt1(0, 16, 1, 64), 1, "zero.dds unsupported format\n"},
    Hostile{"huge.bmp", with32(with32(bmp8(62, 0, Bytes(256, 1)), 18, 100000), 22, 100000), 1,
            "huge.bmp is 100000 x 100000 pixels and needs 114473 MiB, more than the memory limit of 512 MiB (-l)\n"},
    Hostile{"huge.tga", tga24(65535, 65535, 64), 1,
            "huge.tga is 65535 x 65535 pixels and needs 49183 MiB, more than the memory limit of 512 MiB (-l)\n"},
    // The widest window PCX coordinates span, -32768 to 32767.
    Hostile{"huge.pcx", [] { Bytes b = pcx_runs(4, false); put32(b, 4, 0x80008000u); put32(b, 8, 0x7FFF7FFFu);
                             return b; }(), 1,
            "huge.pcx is 65536 x 65536 pixels and needs 49185 MiB, more than the memory limit of 512 MiB (-l)\n"},
    Hostile{"huge.cel", cel_file(65535, 65535, {}, Bytes(64)), 1,
            "huge.cel is 65535 x 65535 pixels and needs 49183 MiB, more than the memory limit of 512 MiB (-l)\n"},
    // Truncated streams and deflate streams that never end.
    Hostile{"endless.png", png_file({ihdr_chunk(16, 16, 8, 0), testpic::png_chunk("IDAT", endless_stream(5000)),
                                     testpic::png_chunk("IEND", {})}), 1, "Warning: endless.png" + kDamaged},
    Hostile{"cut.png", [] { Bytes b = rgb_png(40, 30, 0); b.resize(b.size() / 2); return b; }(), 1,
            "Warning: cut.png" + kDamaged},
    Hostile{"cut.gif", [] { Bytes b = gif_header(16, 16); b.resize(b.size() - 4); return b; }(), 1,
            "Warning: cut.gif" + kDamaged},
    Hostile{"cut.dds", dds_dxt1(64, 64, 1, 100), 1, "Warning: cut.dds" + kDamaged},
    Hostile{"cut.jpg", [] { Bytes b = test_picture("jpeg/pillow/hopper_orientation_5.jpg"); b.resize(b.size() / 2);
                            return b; }(), 1, "Warning: cut.jpg" + kDamaged},
    Hostile{"cut.bmp", bmp8(62, 0, Bytes(100, 1)), 1, "Warning: cut.bmp" + kDamaged},
    Hostile{"cut.tga", tga24(16, 16, 256), 1, "Warning: cut.tga" + kDamaged},
    Hostile{"cut.pcx", pcx_runs(2, false), 1, "Warning: cut.pcx" + kDamaged},
    Hostile{"cut.cel", [] { Bytes b = smooth_cel(24, 10); b.resize(b.size() - 30); return b; }(), 1,
            "Warning: cut.cel" + kDamaged},
    Hostile{"endless16.png", png_file({ihdr_chunk(16, 16, 16, 0), testpic::png_chunk("IDAT", endless_stream(5000)),
                                       testpic::png_chunk("IEND", {})}), 1, "Warning: endless16.png" + kDamaged},
    Hostile{"signature.png", Bytes{0x89, 'P', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1,
            "signature.png unsupported format\n"},
    // Length and offset fields that point past the end of the file.
    Hostile{"text.png", png_with_lying_text_length(), 1, "text.png unsupported format\n"},
    Hostile{"table.jpg", [] { Bytes b = {0xFF, 0xD8, 0xFF, 0xDB, 0xFF, 0xF0}; b.resize(120, 0); return b; }(), 1,
            "table.jpg unsupported format\n"},
    Hostile{"offset.bmp", bmp8(0x7FFFFFF0, 0, Bytes(256, 1)), 1, "offset.bmp unsupported format\n"},
    // A sub-block claiming 255 bytes where half of its own follow; an
    // identification field of 255 bytes and a colour map of 65535 entries
    // where 20 and 100 bytes follow.
    Hostile{"block.gif", [] { Bytes b = gif_file(16, 16, {{0, 0, 16, 16, false, lzw_run(1, 256)}});
                              b.resize(37 + b[36] / 2); b[36] = 255; return b; }(), 1, "Warning: block.gif" + kDamaged},
    Hostile{"id.tga", [] { Bytes b = tga24(4, 4, 20); b[0] = 255; return b; }(), 1, "id.tga unsupported format\n"},
    Hostile{"map.tga", [] { Bytes b = tga24(4, 4, 100); b[1] = 1; b[2] = 1; put16(b, 5, 65535); b[7] = 24; b[16] = 8;
                            return b; }(), 1, "map.tga unsupported format\n"},
    // Run-length data that runs past the end of its row.
    Hostile{"runs.bmp", [] { Bytes r; for (int i = 0; i < 64; ++i) r.insert(r.end(), {255, 1}); return bmp8(62, 1, r); }(),
            1, "Warning: runs.bmp" + kDamaged}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n) if (ch == '.') ch = '_';
      return n;
    });
// clang-format on

// Animations: frame headers that lie, frames outside their canvas, frame
// data that never ends, thousands of frames. Each is refused clearly or
// finishes with a bounded result; where refused, or where the GIF's frames
// would be lost, nothing is written, and an APNG whose frames can't be
// taken apart goes to the output only as the copy of itself it is.
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes frame_control(uint32_t sequence, uint32_t width, uint32_t height, uint32_t x, uint32_t y) {
  Bytes b = be32(sequence);
  for (uint32_t v : {width, height, x, y}) {
    const Bytes f = be32(v);
    b.insert(b.end(), f.begin(), f.end());
  }
  b.insert(b.end(), {0, 1, 0, 10, 0, 0});
  return testpic::png_chunk("fcTL", b);
}

// A 16 x 16 gray animation of two frames whose acTL claims `claimed`
// frames; the second frame (w x h at x, y) carries `stream` in its fdAT,
// or rows of at most 16 x 16 when that is empty.
Bytes apng(uint32_t claimed, uint32_t w, uint32_t h, uint32_t x, uint32_t y, const Bytes& stream = {}) {
  Bytes actl = be32(claimed);
  actl.resize(8, 0);
  const Bytes rows = idat_chunk(gray_rows(16, 16), 9);
  Bytes fdat = be32(2);
  if (stream.empty()) {
    const Bytes own = idat_chunk(gray_rows(int(std::min(w, 16u)), int(std::min(h, 16u))), 9);
    fdat.insert(fdat.end(), own.begin() + 8, own.end() - 4);
  } else {
    fdat.insert(fdat.end(), stream.begin(), stream.end());
  }
  return png_file({ihdr_chunk(16, 16, 8, 0), testpic::png_chunk("acTL", actl), frame_control(0, 16, 16, 0, 0), rows,
                   frame_control(1, w, h, x, y), testpic::png_chunk("fdAT", fdat), testpic::png_chunk("IEND", {})});
}

// An animated GIF of a 64 x 64 screen and `count` one-pixel images.
Bytes gif_of_frames(int count) {
  std::vector<GifImage> images;
  for (int k = 0; k < count; ++k) images.push_back({0, 0, 1, 1, false, lzw_run(uint8_t(1 + k % 2), 1)});
  return gif_file(64, 64, images);
}

// Two 16 x 16 images; the second's codes go on for a million pixels, far
// past its 256, and with cut the file ends inside them.
Bytes gif_endless_codes(bool cut) {
  Bytes b = gif_file(16, 16, {{0, 0, 16, 16, false, lzw_run(1, 256)}, {0, 0, 16, 16, false, lzw_run(2, 1000000)}});
  if (cut) b.resize(b.size() - 40);
  return b;
}

struct HostileAnimation {
  const char* name;
  Bytes (*make)();  // made when the case runs, not when the cases are listed
  int status;
  std::string said;  // a line of the messages (standard output and error)
  enum Output { kNone, kCopy, kNew } output;
};

class HostileAnimationInput : public ::testing::TestWithParam<HostileAnimation> {};

TEST_P(HostileAnimationInput, RefusedOrBounded) {
  const HostileAnimation& c = GetParam();
  const Bytes file = c.make();
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file(c.name), file));
  const CommandResult r = run_tool(dir, {"-l512", "-s4", c.name, "out.png"});
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out << r.err;
  EXPECT_EQ(std::filesystem::exists(dir.file("out.png")), c.output != HostileAnimation::kNone) << r.out;
  if (c.output == HostileAnimation::kCopy) {
    EXPECT_EQ(read_file(dir.file("out.png")), file);
  }
  // The one written here is the GIF's first frame, red, as its default image.
  if (c.output == HostileAnimation::kNew) {
    EXPECT_TRUE(png_shows(read_file(dir.file("out.png")), 16, 16, std::vector<uint32_t>(256, 0xFFFF0000u)));
  }
  EXPECT_EQ(read_file(dir.file(c.name)), file);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cli, HostileAnimationInput, ::testing::Values(
    // acTL claims a million frames where two follow, a frame leaves the
    // canvas or claims 2^31 - 1 pixels a side, a frame's stream never ends:
    // nothing is sized by the claims, the frames are not taken apart.
    HostileAnimation{"lying_count.png", [] { return apng(1000000, 16, 16, 0, 0); }, 0, "Animated PNG: frames would be lost\n", HostileAnimation::kCopy},
    HostileAnimation{"past_canvas.png", [] { return apng(2, 16, 16, 8, 0); }, 0, "Animated PNG: frames would be lost\n", HostileAnimation::kCopy},
    HostileAnimation{"huge_frame.png", [] { return apng(2, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0); }, 0, "Animated PNG: frames would be lost\n",
                     HostileAnimation::kCopy},
    HostileAnimation{"endless_frame.png", [] { return apng(2, 16, 16, 0, 0, endless_stream(5000)); }, 0,
                     "Animated PNG: frames would be lost\n", HostileAnimation::kCopy},
    // 16000 frames need more than the limit: refused from their headers.
    HostileAnimation{"thousands.gif", [] { return gif_of_frames(16000); }, 1,
                     "thousands.gif is 64 x 64 pixels in 16000 frames and needs 1096 MiB, more than the memory limit of "
                     "512 MiB (-l)\n", HostileAnimation::kNone},
    // Codes for a million pixels behind an image of 256 are passed over; cut
    // off inside them, the image is not whole and the GIF not cut to one frame.
    HostileAnimation{"endless_codes.gif", [] { return gif_endless_codes(false); }, 0, "Animated GIF: 2 frames written\n", HostileAnimation::kNew},
    HostileAnimation{"cut_codes.gif", [] { return gif_endless_codes(true); }, 0, "only the first would be kept\n", HostileAnimation::kNone}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n) if (ch == '.') ch = '_';
      return n;
    });
// clang-format on

// A file past 2 GiB (sparse: a PNG header, then a hole) is refused for its
// size before any of it is read, in those words rather than as a failed
// allocation.
TEST(HostileFile, LargerThan32BitSizesIsRefusedBeforeReading) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("big.png"), png_file({ihdr_chunk(16, 16, 8, 0)})));
  std::filesystem::resize_file(dir.file("big.png"), uintmax_t(1) << 31);
  const CommandResult r = run_tool(dir, {"big.png", "out.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "big.png is larger than 2147483647 bytes, the most the encoder's 32-bit sizes allow\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
}

// A colour-mapped TGA of 4 x 4 8-bit indexes 0..15 into a map of two
// entries of `entry_bytes` each.
Bytes tga_short_map(int entry_bytes, const Bytes& map) {
  Bytes b(18, 0);
  b[1] = 1;
  b[2] = 1;
  b[5] = 2;
  b[7] = uint8_t(entry_bytes * 8);
  b[12] = 4;
  b[14] = 4;
  b[16] = 8;
  b.insert(b.end(), map.begin(), map.end());
  for (int i = 0; i < 16; ++i) b.push_back(uint8_t(i));
  return b;
}

// Hostile files the decoders salvage exactly rather than refuse: a plain run
// writes exactly what was decoded, checked by libpng.
struct Salvaged {
  const char* name;
  Bytes file;
};

class SalvagedInput : public ::testing::TestWithParam<Salvaged> {};

TEST_P(SalvagedInput, WrittenAsDecoded) {
  const Salvaged& c = GetParam();
  int32_t width = 0, height = 0;
  probe_picture(c.file.data(), int32_t(c.file.size()), &width, &height);
  std::vector<uint32_t> pixels(size_t(width) * size_t(height), 0);
  SourceInfo info{};
  ASSERT_EQ(decode_picture(c.file.data(), int32_t(c.file.size()),
                           DecodeTarget{pixels.data(), width * 4, width, height, 0, 0}, info),
            0);
  ASSERT_EQ(info.incomplete, 0);
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file(c.name), c.file));
  // A PNG not made smaller is copied as it is, and libpng has its own rule
  // for indices past the palette; -force writes what tessel decoded.
  const bool png = std::string(c.name).ends_with(".png");
  const CommandResult r = run_tool(dir, png ? std::vector<std::string>{"-force", c.name, "out.png"}
                                            : std::vector<std::string>{c.name, "out.png"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(png_shows(read_file(dir.file("out.png")), width, height, pixels));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cli, SalvagedInput, ::testing::Values(
    // Indices beyond a short palette or colour map (transparent black, so
    // the maps of gray and opaque colours gain alpha); runs past the
    // picture's end (clipped), with and without the palette (then gray); a
    // mip count no file could hold (only the first image is read).
    Salvaged{"palette.png", short_palette_png()},
    Salvaged{"table.gif", gif_short_table()},
    Salvaged{"gray_map.tga", tga_short_map(1, {0, 255})},
    Salvaged{"black_map.tga", tga_short_map(3, {0, 0, 0, 255, 255, 255})},
    Salvaged{"alpha_map.tga", tga_short_map(4, {0, 0, 0, 255, 255, 255, 255, 128})},
    Salvaged{"palette.bmp", [] { Bytes p; for (int i = 0; i < 256; ++i) p.push_back(uint8_t(i % 16)); return bmp8(62, 0, p); }()},
    Salvaged{"runs.pcx", pcx_runs(40, true)},
    Salvaged{"no_palette.pcx", pcx_runs(40, false)},
    Salvaged{"mips.dds", dds_dxt1(64, 64, 0xFFFFFFFF, 64 * 64 / 2)}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n) if (ch == '.') ch = '_';
      return n;
    });
// clang-format on

}  // namespace
