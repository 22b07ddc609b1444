#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "decode/picture.h"
#include "tests/support/command_runner.h"
#include "tests/support/jpeg_oracle.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

// Detailed enough that a row decoded from the wrong data cannot look right.
Bytes noisy_rgb_rows(uint32_t width, uint32_t height) {
  Bytes rows;
  uint32_t state = 7;
  for (uint32_t y = 0; y < height; ++y) {
    rows.push_back(0);
    for (uint32_t i = 0; i < width * 3; ++i) {
      state = state * 1103515245u + 12345u;
      rows.push_back(uint8_t(state >> 24));
    }
  }
  return rows;
}

int write_to_vector(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

Bytes noisy_gif(int width, int height) {
  Bytes out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, write_to_vector, &error);
  GifColorType colours[256];
  for (int i = 0; i < 256; ++i) colours[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)};
  ColorMapObject* map = GifMakeMapObject(256, colours);
  EGifPutScreenDesc(gif, width, height, 8, 0, map);
  EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr);
  uint32_t state = 3;
  std::vector<GifPixelType> row(size_t(width), 0);
  for (int y = 0; y < height; ++y) {
    for (GifPixelType& p : row) p = GifPixelType((state = state * 1103515245u + 12345u) >> 24);
    EGifPutLine(gif, row.data(), width);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

struct Decoded {
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
  int32_t incomplete = 0, decoded_rows = 0;
};

Decoded decode(const Bytes& file) {
  Decoded d;
  probe_picture(file.data(), int32_t(file.size()), &d.width, &d.height);
  d.pixels.assign(size_t(d.width) * size_t(d.height), 0);
  SourceInfo info{};
  info.source_color_type = 2;
  EXPECT_EQ(decode_picture(file.data(), int32_t(file.size()),
                           DecodeTarget{d.pixels.data(), d.width * 4, d.width, d.height, 0, 0}, info),
            0);
  d.incomplete = info.incomplete;
  d.decoded_rows = info.decoded_rows;
  return d;
}

struct DamagedCase {
  const char* name;  // file name
  Bytes whole;
  double kept;      // share of the file left
  int32_t slack;    // rows just above the count that may come from the data's missing end
};

class DamagedInput : public ::testing::TestWithParam<DamagedCase> {};

// The rows reported are the rows the cut file shares with the whole one;
// without -force nothing is written, with it exactly the decoded part.
TEST_P(DamagedInput, FailsUnlessForcedAndNamesWhatWasDecoded) {
  const DamagedCase& c = GetParam();
  const Bytes cut(c.whole.begin(), c.whole.begin() + std::ptrdiff_t(double(c.whole.size()) * c.kept));
  const Decoded whole = decode(c.whole), part = decode(cut);
  ASSERT_EQ(whole.incomplete, 0);
  ASSERT_EQ(part.incomplete, 1);
  const int32_t rows = part.decoded_rows, w = part.width;
  ASSERT_GT(rows, 0);
  ASSERT_LT(rows, part.height);
  for (int32_t y = 0; y < rows - c.slack; ++y)
    ASSERT_TRUE(std::equal(&part.pixels[size_t(y * w)], &part.pixels[size_t((y + 1) * w)],
                           &whole.pixels[size_t(y * w)]))
        << "row " << y;
  EXPECT_FALSE(std::equal(&part.pixels[size_t(rows * w)], &part.pixels[size_t((rows + 1) * w)],
                          &whole.pixels[size_t(rows * w)]));

  const std::string name = c.name;
  const std::string warning = "Warning: " + name + " is damaged or incomplete: " + std::to_string(rows) + " of " +
                              std::to_string(part.height) + " rows decoded\n";
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file(name), cut));
  const CommandResult refused = run_tool(dir, {name, "out.png"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, warning + "Nothing written; -force writes what was decoded\n");
  EXPECT_EQ(refused.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));

  const CommandResult forced = run_tool(dir, {"-force", name, "out.png"});
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_EQ(forced.err, warning);
  EXPECT_TRUE(png_shows(read_file(dir.file("out.png")), part.width, part.height, part.pixels));

  // In place (only a PNG can be) even -force keeps the damaged original.
  if (!name.ends_with(".png")) return;
  const CommandResult in_place = run_tool(dir, {"-force", "-y", name, name});
  EXPECT_EQ(in_place.status, 1);
  EXPECT_EQ(in_place.err, warning + "Damaged input left unchanged\n");
  EXPECT_EQ(read_file(dir.file(name)), cut);
}

// A JPEG cut inside a scan may decode the last MCU row before the cut from
// the zero bytes that stand in for the missing data.
INSTANTIATE_TEST_SUITE_P(
    Cli, DamagedInput,
    ::testing::Values(DamagedCase{"cut.png", rgb_png(40, 30, 0), 0.5, 0},
                      DamagedCase{"deflated.png", png_file({ihdr_chunk(40, 30, 8, 2),
                                                            idat_chunk(noisy_rgb_rows(40, 30), 9),
                                                            png_chunk("IEND", {})}),
                                  0.6, 0},
                      DamagedCase{"cut.jpg", jpeg_make(jpeg_test_samples(64, 48, 3), 64, 48, JpegMakeOptions{}),
                                  0.8, 16},
                      DamagedCase{"cut.gif", noisy_gif(30, 20), 0.8, 0}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (ch == '.') ch = '_';
      return n;
    });

// An IDAT chunk whose length runs past the end of the file: the file was cut,
// even where the cut came after the last stream byte, so it is damaged like
// any other cut file. Before, such a file was copied to the new name when
// the encode came out larger, and was a broken PNG there too.
TEST(DamagedInput, ChunkLongerThanTheFileIsDamagedEvenWithEveryRow) {
  const Bytes rows = noisy_rgb_rows(40, 30);
  Bytes idat = idat_chunk(rows, 9);
  const uint32_t claimed = uint32_t(idat.size() - 12 + 100);
  for (int i = 0; i < 4; ++i) idat[size_t(i)] = uint8_t(claimed >> (24 - 8 * i));
  idat.resize(idat.size() - 4);  // the CRC would sit beyond the claimed length anyway
  const Bytes file = png_file({ihdr_chunk(40, 30, 8, 2), idat});
  const Decoded part = decode(file);
  EXPECT_EQ(part.incomplete, 1);
  EXPECT_EQ(part.decoded_rows, 30);

  const std::string warning = "Warning: long.png is damaged or incomplete: 30 of 30 rows decoded\n";
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("long.png"), file));
  const CommandResult refused = run_tool(dir, {"long.png", "out.png"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, warning + "Nothing written; -force writes what was decoded\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));

  const CommandResult forced = run_tool(dir, {"-force", "long.png", "out.png"});
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_EQ(forced.err, warning);
  EXPECT_TRUE(png_shows(read_file(dir.file("out.png")), 40, 30, part.pixels));

  const CommandResult in_place = run_tool(dir, {"-y", "long.png"});
  EXPECT_EQ(in_place.status, 1);
  EXPECT_EQ(read_file(dir.file("long.png")), file);
}

}  // namespace
