#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

CommandResult tessel(const TempFolder& dir, const std::vector<std::string>& args,
                     const std::string& input = std::string()) {
  return run_command(TESSEL_BINARY, args, dir.path(), input);
}

struct Chunk {
  std::string type;
  Bytes whole;  // length, type, data and CRC as stored
};

// The chunks of a PNG file image in order; stops at anything malformed.
std::vector<Chunk> chunks_of(const Bytes& png) {
  std::vector<Chunk> out;
  size_t pos = 8;
  while (pos + 12 <= png.size()) {
    const size_t length =
        size_t(png[pos]) << 24 | size_t(png[pos + 1]) << 16 | size_t(png[pos + 2]) << 8 | png[pos + 3];
    if (length > png.size() - pos - 12) break;
    out.push_back({std::string(png.begin() + long(pos) + 4, png.begin() + long(pos) + 8),
                   Bytes(png.begin() + long(pos), png.begin() + long(pos + 12 + length))});
    pos += 12 + length;
  }
  return out;
}

std::vector<std::string> types_of(const Bytes& png) {
  std::vector<std::string> types;
  for (const Chunk& c : chunks_of(png)) types.push_back(c.type);
  return types;
}

const Chunk* find_chunk(const std::vector<Chunk>& chunks, const std::string& type, int nth = 0) {
  for (const Chunk& c : chunks)
    if (c.type == type && nth-- == 0) return &c;
  return nullptr;
}

void expect_same_pixels(const Bytes& a, const Bytes& b) {
  OraclePicture pa, pb;
  std::string error;
  ASSERT_TRUE(libpng_decode(a, &pa, &error)) << error;
  ASSERT_TRUE(libpng_decode(b, &pb, &error)) << error;
  EXPECT_EQ(pa.width, pb.width);
  EXPECT_EQ(pa.height, pb.height);
  EXPECT_EQ(pa.pixels, pb.pixels);
}

const Bytes kGama = png_chunk("gAMA", {0, 1, 0x86, 0xA0});
const Bytes kBkgd = png_chunk("bKGD", {0, 0x10, 0, 0x20, 0, 0x30});
const Bytes kText = png_chunk("tEXt", {'k', 0, 'v'});
const Bytes kZtxt = png_chunk("zTXt", {'c', 0, 0, 0x78, 0x9C, 0x03, 0, 0, 0, 0, 1});

// 32 x 32 RGB stored without compression, so the tool always shrinks it.
Bytes big_rgb(const std::vector<Bytes>& before = {}, const std::vector<Bytes>& after = {}) {
  return rgb_png(32, 32, 0, before, after);
}

// A palette picture with a chunk before PLTE and one after IDAT.
Bytes palette_png(const std::vector<Bytes>& before_plte, const std::vector<Bytes>& before_idat,
                  const std::vector<Bytes>& after_idat) {
  Bytes plte;
  for (int i = 0; i < 4; ++i)
    plte.insert(plte.end(), {uint8_t(i * 60), uint8_t(200 - i * 40), uint8_t(i * 10)});
  Bytes rows;
  for (int y = 0; y < 16; ++y) {
    rows.push_back(0);
    for (int x = 0; x < 16; ++x) rows.push_back(uint8_t((x / 4 + y / 4) & 3));
  }
  std::vector<Bytes> chunks = {ihdr_chunk(16, 16, 8, 3)};
  chunks.insert(chunks.end(), before_plte.begin(), before_plte.end());
  chunks.push_back(png_chunk("PLTE", plte));
  chunks.insert(chunks.end(), before_idat.begin(), before_idat.end());
  chunks.push_back(idat_chunk(rows, 0));
  chunks.insert(chunks.end(), after_idat.begin(), after_idat.end());
  chunks.push_back(png_chunk("IEND", {}));
  return png_file(chunks);
}

TEST(PngInput, RewrittenInPlaceWithoutAskingWhenSmaller) {
  TempFolder dir;
  // The long comment that is dropped makes any encoding smaller.
  const Bytes input = big_rgb({png_chunk("tEXt", Bytes(3000, 'x'))});
  write_file(dir.file("pic.png"), input);
  const CommandResult r = tessel(dir, {"pic.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Bytes output = read_file(dir.file("pic.png"));
  EXPECT_LT(output.size(), input.size());
  expect_same_pixels(input, output);
  EXPECT_NE(r.out.find(" Input: pic.png coltype:2 (RGB) filter:0 (none)\nOutput: pic.png coltype:2 (RGB)"),
            std::string::npos)
      << r.out;
}

// A tiny picture whose zlib stream uses a fixed block: nothing the tool
// writes for it can be smaller.
Bytes tiny_png() {
  return png_file({ihdr_chunk(1, 1, 8, 0), idat_chunk({0, 0x80}, 9), png_chunk("IEND", {})});
}

TEST(PngInput, NotSmallerIsLeftAloneOrCopied) {
  TempFolder dir;
  const Bytes input = tiny_png();
  write_file(dir.file("tiny.png"), input);
  CommandResult r = tessel(dir, {"tiny.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.size() - 27), "Unable to compress further\n");
  EXPECT_EQ(read_file(dir.file("tiny.png")), input);

  r = tessel(dir, {"tiny.png", "copy.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Unable to compress further: copying original file\n"), std::string::npos);
  EXPECT_EQ(read_file(dir.file("copy.png")), input);

  // Same name in another case is not a different output.
  r = tessel(dir, {"tiny.png", "TINY.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("TINY.png")));

  r = tessel(dir, {"tiny.png", "-"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), input);
  EXPECT_NE(r.err.find("Unable to compress further: copying original file\n"), std::string::npos);

  r = tessel(dir, {"-force", "tiny.png"});
  EXPECT_EQ(r.status, 0) << r.out;
  const Bytes forced = read_file(dir.file("tiny.png"));
  EXPECT_NE(forced, input);
  expect_same_pixels(input, forced);
  EXPECT_NE(r.out.find("     Change:"), std::string::npos);
}

TEST(PngInput, KeepsNamedChunksByteForByte) {
  TempFolder dir;
  const Bytes input = big_rgb({kGama, kBkgd, kText, kZtxt});
  write_file(dir.file("in.png"), input);
  const CommandResult r = tessel(dir, {"-force", "-kgAMA,bKGD,tEXt", "in.png", "out.png"});
  ASSERT_EQ(r.status, 0) << r.out;
  const Bytes output = read_file(dir.file("out.png"));
  expect_same_pixels(input, output);
  const std::vector<Chunk> chunks = chunks_of(output);
  ASSERT_NE(find_chunk(chunks, "gAMA"), nullptr);
  EXPECT_EQ(find_chunk(chunks, "gAMA")->whole, kGama);
  ASSERT_NE(find_chunk(chunks, "tEXt"), nullptr);
  EXPECT_EQ(find_chunk(chunks, "tEXt")->whole, kText);
  EXPECT_EQ(find_chunk(chunks, "zTXt"), nullptr);
  EXPECT_NE(find_chunk(chunks, "bKGD"), nullptr);
}

struct KeepCase {
  std::string option;
  std::vector<std::string> types;
};

class KeepListTest : public ::testing::TestWithParam<KeepCase> {};

TEST_P(KeepListTest, OutputCarriesTheListedChunks) {
  TempFolder dir;
  write_file(dir.file("in.png"), big_rgb({kGama, kText}, {kZtxt}));
  // "-force": the chunks, not the size, are what is looked at here.
  std::vector<std::string> args = {"-force", "in.png", "out.png"};
  if (!GetParam().option.empty()) args.insert(args.begin(), GetParam().option);
  const CommandResult r = tessel(dir, args);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(types_of(read_file(dir.file("out.png"))), GetParam().types) << GetParam().option;
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, KeepListTest,
    ::testing::Values(KeepCase{"", {"IHDR", "IDAT", "IEND"}}, KeepCase{"-k0", {"IHDR", "IDAT", "IEND"}},
                      KeepCase{"-kgama", {"IHDR", "IDAT", "IEND"}},
                      KeepCase{"-kpx", {"IHDR", "IDAT", "IEND"}},
                      KeepCase{"-kall", {"IHDR", "gAMA", "tEXt", "IDAT", "zTXt", "IEND"}},
                      KeepCase{"-kALL", {"IHDR", "gAMA", "tEXt", "IDAT", "zTXt", "IEND"}},
                      KeepCase{"-k1", {"IHDR", "gAMA", "tEXt", "IDAT", "zTXt", "IEND"}},
                      KeepCase{"-kzTXt,,gAMA", {"IHDR", "gAMA", "IDAT", "zTXt", "IEND"}}));

TEST(PngInput, KeptChunksLandInTheirGroups) {
  TempFolder dir;
  const Bytes before_plte = png_chunk("tEXt", {'a', 0, '1'});
  const Bytes after_idat = png_chunk("tEXt", {'b', 0, '2'});
  const Bytes input = palette_png({before_plte}, {kGama}, {after_idat});
  write_file(dir.file("in.png"), input);
  const CommandResult r = tessel(dir, {"-force", "-c3", "-kall", "in.png", "out.png"});
  ASSERT_EQ(r.status, 0) << r.out;
  const Bytes output = read_file(dir.file("out.png"));
  expect_same_pixels(input, output);
  EXPECT_EQ(types_of(output),
            (std::vector<std::string>{"IHDR", "tEXt", "PLTE", "gAMA", "IDAT", "tEXt", "IEND"}));
  const std::vector<Chunk> chunks = chunks_of(output);
  EXPECT_EQ(find_chunk(chunks, "tEXt", 0)->whole, before_plte);
  EXPECT_EQ(find_chunk(chunks, "tEXt", 1)->whole, after_idat);
}

TEST(PngInput, VerboseListing) {
  TempFolder dir;
  write_file(dir.file("in.png"), big_rgb({kGama}, {kText}));
  const CommandResult r = tessel(dir, {"-v", "in.png", "out.png"});
  ASSERT_EQ(r.status, 0);
  const std::string expected_start =
      "                Name  Offset   Length     CRC\n"
      "Required chunk: IHDR 00000010 0000000d ";
  EXPECT_EQ(r.err.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(r.err.find("  Remove chunk: gAMA 00000029 00000004 "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  Remove chunk: tEXt "), std::string::npos);
  EXPECT_NE(r.err.find("Required chunk: IDAT "), std::string::npos);
  EXPECT_NE(r.err.find("Required chunk: IEND 000"), std::string::npos);
}

TEST(PngInput, VerboseListingFollowsTheRequestedColourType) {
  TempFolder dir;
  const Bytes trns = png_chunk("tRNS", {255, 255, 0});
  write_file(dir.file("in.png"), palette_png({}, {trns}, {}));
  CommandResult r = tessel(dir, {"-v", "-c2", "in.png", "rgb.png"});
  EXPECT_NE(r.err.find("  Remove chunk: PLTE "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Required chunk: tRNS "), std::string::npos);
  r = tessel(dir, {"-v", "-c6", "in.png", "rgba.png"});
  EXPECT_NE(r.err.find("  Remove chunk: PLTE "), std::string::npos);
  EXPECT_NE(r.err.find("  Remove chunk: tRNS "), std::string::npos);
  r = tessel(dir, {"-v", "in.png", "same.png"});
  EXPECT_NE(r.err.find("Required chunk: PLTE "), std::string::npos);
}

TEST(PngInput, ChunkPastTheEndIsListedAndNotKept) {
  TempFolder dir;
  Bytes input = big_rgb({kGama}, {kText});
  // Cut the file inside the tEXt chunk after IDAT.
  input.resize(input.size() - 12 - 5);
  write_file(dir.file("in.png"), input);
  const CommandResult r = tessel(dir, {"-force", "-v", "-kall", "in.png", "out.png"});
  EXPECT_NE(r.err.find("  Broken chunk: tEXt "), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(types_of(read_file(dir.file("out.png"))),
            (std::vector<std::string>{"IHDR", "gAMA", "IDAT", "IEND"}));
}

Bytes animated_png() {
  const Bytes actl = png_chunk("acTL", {0, 0, 0, 2, 0, 0, 0, 0});
  Bytes fctl_data(26, 0);
  fctl_data[7] = 32;
  fctl_data[11] = 32;
  const Bytes fctl0 = png_chunk("fcTL", fctl_data);
  fctl_data[3] = 1;
  const Bytes fctl1 = png_chunk("fcTL", fctl_data);
  Bytes frame = {0, 0, 0, 2};
  const Bytes idat = idat_chunk(Bytes(32 * 97, 0), 0);
  frame.insert(frame.end(), idat.begin() + 8, idat.end() - 4);
  return big_rgb({actl, fctl0}, {fctl1, png_chunk("fdAT", frame)});
}

TEST(PngInput, AnimationIsNeverRewritten) {
  TempFolder dir;
  const Bytes input = animated_png();
  write_file(dir.file("anim.png"), input);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"anim.png"},
                                               {"-force", "-kall", "anim.png"},
                                               {"-y", "anim.png", "anim.png"}}) {
    const CommandResult r = tessel(dir, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Animated PNG: frames would be lost\nUnable to compress further\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(dir.file("anim.png")), input);
  }
  const CommandResult r = tessel(dir, {"anim.png", "copy.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(
      r.out.find("Animated PNG: frames would be lost\nUnable to compress further: copying original file\n"),
      std::string::npos);
  EXPECT_EQ(read_file(dir.file("copy.png")), input);
}

TEST(PngInput, DamagedPngIsNotReplaced) {
  TempFolder dir;
  Bytes input = big_rgb();
  // Cut inside the image data: the last rows are missing.
  input.resize(input.size() - 12 - 400);
  write_file(dir.file("cut.png"), input);
  CommandResult r = tessel(dir, {"cut.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Warning: cut.png is damaged or incomplete\nDamaged input left unchanged\n");
  EXPECT_EQ(read_file(dir.file("cut.png")), input);
}

TEST(PngInput, StandardInputPngGoesToStandardOutput) {
  TempFolder dir;
  const Bytes input = big_rgb();
  const CommandResult r = tessel(dir, {"-q", "-", "-"}, std::string(input.begin(), input.end()));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Read " + std::to_string(input.size()) + " byte(s) from stdin\n");
  expect_same_pixels(input, Bytes(r.out.begin(), r.out.end()));
}

}  // namespace
