// JPEG input through the whole tool: the PNG written holds exactly the
// decoded pixels, and a cut file is written with a warning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/picture.h"
#include "tests/support/command_runner.h"
#include "tests/support/jpeg_oracle.h"
#include "tests/support/oracle.h"

namespace {

std::vector<uint32_t> decoded_pixels(const std::vector<uint8_t>& file, int32_t* width, int32_t* height) {
  probe_picture(file.data(), int32_t(file.size()), width, height);
  std::vector<uint32_t> pixels(size_t(*width) * size_t(*height));
  EXPECT_EQ(
      decode_picture(file.data(), int32_t(file.size()), pixels.data(), *width * 4, *width, *height, 0, 0), 0);
  return pixels;
}

struct ToolCase {
  const char* name;
  int components, h0, v0;
  bool progressive;
};

class JpegThroughTool : public testing::TestWithParam<ToolCase> {};

TEST_P(JpegThroughTool, WritesTheDecodedPixelsLosslessly) {
  const ToolCase& c = GetParam();
  JpegMakeOptions o;
  o.components = c.components;
  o.h0 = c.h0;
  o.v0 = c.v0;
  o.progressive = c.progressive;
  const std::vector<uint8_t> jpeg = jpeg_make(jpeg_test_samples(45, 31, c.components), 45, 31, o);
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("photo.jpg"), jpeg));
  const CommandResult r = run_command(TESSEL_BINARY, {"-q", "photo.jpg"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  OraclePicture png;
  std::string error;
  ASSERT_TRUE(libpng_decode(read_file(dir.file("photo.png")), &png, &error)) << error;
  int32_t width = 0, height = 0;
  const std::vector<uint32_t> want = decoded_pixels(jpeg, &width, &height);
  EXPECT_EQ(png.width, width);
  EXPECT_EQ(png.height, height);
  EXPECT_EQ(png.pixels, want);
  // A gray picture needs no colour.
  if (c.components == 1) {
    EXPECT_TRUE(png.colour_type == 0 || png.colour_type == 3) << png.colour_type;
  }
}

INSTANTIATE_TEST_SUITE_P(Jpeg, JpegThroughTool,
                         testing::Values(ToolCase{"gray", 1, 1, 1, false}, ToolCase{"ycc420", 3, 2, 2, false},
                                         ToolCase{"ycc444_progressive", 3, 1, 1, true}),
                         [](const testing::TestParamInfo<ToolCase>& i) { return std::string(i.param.name); });

TEST(JpegThroughTool, CutFileIsWrittenWithAWarning) {
  JpegMakeOptions o;
  o.progressive = true;
  std::vector<uint8_t> jpeg = jpeg_make(jpeg_test_samples(64, 48, 3), 64, 48, o);
  jpeg.resize(jpeg.size() * 2 / 3);
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("cut.jpg"), jpeg));
  const CommandResult r = run_command(TESSEL_BINARY, {"-force", "cut.jpg"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("damaged or incomplete"), std::string::npos) << r.out << r.err;
  OraclePicture png;
  ASSERT_TRUE(libpng_decode(read_file(dir.file("cut.png")), &png));
  int32_t width = 0, height = 0;
  EXPECT_EQ(png.pixels, decoded_pixels(jpeg, &width, &height));
}

}  // namespace
