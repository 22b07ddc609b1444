// 16-bit PNGs through the whole tool: the file it leaves holds the input's
// samples exactly (libpng reads both at 16 bits), at 8 bits only where every
// sample allows it; requests that would lose precision are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/oracle16.h"
#include "tests/support/wide_decode.h"
#include "tests/support/png_build.h"

namespace {

bool all_samples_exact_at_8_bits(const std::vector<uint16_t>& s) {
  return std::all_of(s.begin(), s.end(), [](uint16_t v) { return (v >> 8) == (v & 0xFF); });
}

class WideThroughTool : public ::testing::TestWithParam<std::string> {};

TEST_P(WideThroughTool, OutputHoldsEverySample) {
  const std::vector<uint8_t> input = read_file(suite_path(GetParam()));
  OraclePicture16 before;
  ASSERT_TRUE(libpng_decode16(input, &before));
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("in.png"), input));
  const CommandResult r = run_tool(dir, {"in.png", "out.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<uint8_t> output = read_file(dir.file("out.png"));
  if ((r.out + r.err).find("Unable to compress further") != std::string::npos) {
    EXPECT_EQ(output, input);
    return;
  }
  EXPECT_LT(output.size(), input.size());
  OraclePicture16 after;
  std::string error;
  ASSERT_TRUE(libpng_decode16(output, &after, &error)) << error;
  ASSERT_EQ(after.width, before.width);
  ASSERT_EQ(after.height, before.height);
  EXPECT_EQ(after.bit_depth, all_samples_exact_at_8_bits(before.samples) ? 8 : 16);
  for (size_t i = 0; i < before.samples.size(); ++i)
    ASSERT_EQ(after.samples[i], before.samples[i]) << "pixel " << i / 4 << " sample " << i % 4;
}

INSTANTIATE_TEST_SUITE_P(Files, WideThroughTool, ::testing::ValuesIn(wide_suite_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param.substr(0, info.param.size() - 4);
                         });

// A 16-bit file is checked for its colour form: an RGBA picture whose alpha
// is all opaque loses its alpha channel, a gray RGB picture becomes gray.
TEST(WideTool, ChoosesTheSmallestSixteenBitColourType) {
  struct Case {
    const char* file;
    int colour_type;
  } cases[] = {{"basn6a16.png", 6}, {"basn2c16.png", 2}, {"basn0g16.png", 0}, {"basn4a16.png", 4},
               {"tbbn2c16.png", 2}};
  for (const Case& c : cases) {
    TempFolder dir;
    ASSERT_TRUE(write_file(dir.file("in.png"), read_file(suite_path(c.file))));
    const CommandResult r = run_tool(dir, {"-force", "in.png", "out.png"});
    ASSERT_EQ(r.status, 0) << c.file << r.out << r.err;
    OraclePicture16 after;
    ASSERT_TRUE(libpng_decode16(read_file(dir.file("out.png")), &after)) << c.file;
    EXPECT_EQ(after.colour_type, c.colour_type) << c.file;
    EXPECT_EQ(after.bit_depth, 16) << c.file;
  }
}

// The same picture stored as RGBA with every alpha 65535: written as RGB.
TEST(WideTool, OpaqueAlphaAndGrayColourAreDropped) {
  OraclePicture16 rgb;
  ASSERT_TRUE(libpng_decode16(read_file(suite_path("basn0g16.png")), &rgb));
  std::vector<uint8_t> rows;
  for (int32_t y = 0; y < rgb.height; ++y) {
    rows.push_back(0);
    for (int32_t x = 0; x < rgb.width; ++x)
      for (int32_t k = 0; k < 4; ++k) {
        const uint16_t v = rgb.samples[(size_t(y) * rgb.width + x) * 4 + k];
        rows.push_back(uint8_t(v >> 8));
        rows.push_back(uint8_t(v));
      }
  }
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  for (const Bytes& c : {png_chunk("IHDR", ihdr_payload(uint32_t(rgb.width), uint32_t(rgb.height), 16, 6, 0)),
                         png_chunk("IDAT", zlib_compress(rows)), png_chunk("IEND", {})})
    png.insert(png.end(), c.begin(), c.end());
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("in.png"), png));
  const CommandResult r = run_tool(dir, {"in.png", "out.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  OraclePicture16 after;
  ASSERT_TRUE(libpng_decode16(read_file(dir.file("out.png")), &after));
  EXPECT_EQ(after.colour_type, 0);
  EXPECT_EQ(after.bit_depth, 16);
  EXPECT_EQ(after.samples, rgb.samples);
}

// Requests that would drop bits are refused in words, and nothing is
// written, as for any colour request the picture does not fit.
TEST(WideTool, RequestsThatLosePrecisionAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {{{"-d8"}, "16-bit samples that 8 bits would not hold exactly"},
               {{"-c3"}, "16-bit samples that a palette would not hold exactly"},
               {{"-c0"}, "is not grayscale"},
               {{"-c2"}, "requires full alpha"}};
  for (const Case& c : cases) {
    TempFolder dir;
    ASSERT_TRUE(write_file(dir.file("in.png"), read_file(suite_path("basn6a16.png"))));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"in.png", "out.png"});
    const CommandResult r = run_tool(dir, args);
    EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << c.args[0] << ": " << r.out << r.err;
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
  }
}

// A request the picture fits is kept at 16 bits.
TEST(WideTool, RequestedColourTypeThatFitsIsHonoured) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("in.png"), read_file(suite_path("basn0g16.png"))));
  const CommandResult r = run_tool(dir, {"-c6", "-force", "in.png", "out.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  OraclePicture16 before, after;
  ASSERT_TRUE(libpng_decode16(read_file(dir.file("in.png")), &before));
  ASSERT_TRUE(libpng_decode16(read_file(dir.file("out.png")), &after));
  EXPECT_EQ(after.colour_type, 6);
  EXPECT_EQ(after.bit_depth, 16);
  EXPECT_EQ(after.samples, before.samples);
}

}  // namespace

namespace {

// A kept bKGD of a 16-bit picture keeps its 16-bit samples.
TEST(WideTool, KeptBackgroundKeepsItsSamples) {
  for (const char* name : {"bggn4a16.png", "bgyn6a16.png"}) {
    const std::vector<uint8_t> input = read_file(suite_path(name));
    TempFolder dir;
    ASSERT_TRUE(write_file(dir.file("in.png"), input));
    const CommandResult r = run_tool(dir, {"-kbKGD", "-force", "in.png", "out.png"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<PngChunk> before = split_chunks(input), after = split_chunks(read_file(dir.file("out.png")));
    const PngChunk* in_bkgd = find_chunk(before, "bKGD");
    const PngChunk* out_bkgd = find_chunk(after, "bKGD");
    ASSERT_NE(in_bkgd, nullptr) << name;
    ASSERT_NE(out_bkgd, nullptr) << name;
    EXPECT_EQ(out_bkgd->data, in_bkgd->data) << name;
    OraclePicture16 a, b;
    ASSERT_TRUE(libpng_decode16(input, &a));
    ASSERT_TRUE(libpng_decode16(read_file(dir.file("out.png")), &b));
    EXPECT_EQ(a.samples, b.samples) << name;
  }
}

}  // namespace

namespace {

// A smooth gray+alpha ramp where the mixed per-row filter loses to no filter
// by a third: the default run tries both, -o every filter with the
// whole-stream engine; each output still holds every sample, and -o never
// makes it larger. Thread count must not change the -o bytes.
TEST(WideFilterChoice, SmallerFilterKeptAndSamplesExact) {
  const std::vector<uint8_t> input = read_file(suite_path("basn4a16.png"));
  OraclePicture16 before;
  ASSERT_TRUE(libpng_decode16(input, &before));
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("in.png"), input));
  ASSERT_EQ(run_tool(dir, {"in.png", "plain.png"}).status, 0);
  ASSERT_EQ(run_tool(dir, {"-f5", "in.png", "mixed.png"}).status, 0);
  ASSERT_EQ(run_tool(dir, {"-o2", "-j1", "in.png", "o2.png"}).status, 0);
  ASSERT_EQ(run_tool(dir, {"-o2", "-j2", "in.png", "o2j2.png"}).status, 0);
  const std::vector<uint8_t> plain = read_file(dir.file("plain.png")), mixed = read_file(dir.file("mixed.png")),
                             o2 = read_file(dir.file("o2.png"));
  EXPECT_LT(plain.size(), mixed.size() * 3 / 4);
  EXPECT_LE(o2.size(), plain.size());
  EXPECT_EQ(o2, read_file(dir.file("o2j2.png")));
  for (const std::vector<uint8_t>* out : {&plain, &o2}) {
    OraclePicture16 after;
    ASSERT_TRUE(libpng_decode16(*out, &after));
    EXPECT_EQ(after.samples, before.samples);
  }
}

// Every filter the command line names (0 to 5) gives basn4a16 a file that
// holds every sample; 6 and 7 are not command-line filters (the search mode
// uses them itself): refused with the usage, for this picture as for an
// 8-bit one, and nothing is written.
TEST(WideFilterChoice, EveryCommandLineFilterWritesAFile) {
  const std::vector<uint8_t> input = read_file(suite_path("basn4a16.png"));
  OraclePicture16 before;
  ASSERT_TRUE(libpng_decode16(input, &before));
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("in.png"), input));
  ASSERT_TRUE(write_file(dir.file("narrow.png"), read_file(suite_path("basn4a08.png"))));
  for (int f = 0; f <= 7; ++f) {
    SCOPED_TRACE(f);
    const std::string option = "-f" + std::to_string(f), out = "f" + std::to_string(f) + ".png";
    const CommandResult r = run_tool(dir, {"-force", option, "in.png", out});
    if (f <= 5) {
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      OraclePicture16 after;
      ASSERT_TRUE(libpng_decode16(read_file(dir.file(out)), &after));
      EXPECT_EQ(after.samples, before.samples);
      continue;
    }
    EXPECT_NE(r.status, 0);
    EXPECT_NE((r.out + r.err).find("Invalid filter"), std::string::npos) << r.out << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file(out)));
    const CommandResult narrow = run_tool(dir, {"-force", option, "narrow.png", "n" + out});
    EXPECT_EQ(narrow.status, r.status);
    EXPECT_FALSE(std::filesystem::exists(dir.file("n" + out)));
  }
}

}  // namespace
