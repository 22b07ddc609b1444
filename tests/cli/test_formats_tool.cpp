// Every input format through the whole tool: the output name replaces or
// appends the extension as the name rules say, and the PNG holds exactly the
// pixels the decoder produced.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/picture.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"

namespace {

struct FormatCase {
  const char* corpus_file;  // under the shared corpus
  const char* input_name;   // name given on the command line
  const char* output_name;  // the name the tool must write
};

std::vector<uint32_t> decode_with_tool(const std::vector<uint8_t>& file, int32_t* w, int32_t* h) {
  probe_picture(file.data(), int32_t(file.size()), w, h);
  std::vector<uint32_t> pixels(size_t(*w) * size_t(*h), 0);
  if (decode_picture(file.data(), int32_t(file.size()), pixels.data(), *w * 4, *w, *h, 0, 0) < 0) pixels.clear();
  return pixels;
}

class FormatThroughTool : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatThroughTool, WritesTheDecodedPixelsUnderTheRuleName) {
  const FormatCase& c = GetParam();
  const std::vector<uint8_t> input = read_file(std::string(TESSEL_CORPUS_DIR) + "/" + c.corpus_file);
  ASSERT_FALSE(input.empty()) << c.corpus_file;
  TempFolder folder;
  ASSERT_TRUE(write_file(folder.file(c.input_name), input));

  // Huffman-only keeps the sanitizer build quick; the pixels do not depend on it.
  const CommandResult r = run_command(TESSEL_BINARY, {"-s3", c.input_name}, folder.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  OraclePicture written;
  std::string error;
  ASSERT_TRUE(libpng_decode(read_file(folder.file(c.output_name)), &written, &error)) << error;
  int32_t w = 0, h = 0;
  const std::vector<uint32_t> expected = decode_with_tool(input, &w, &h);
  ASSERT_EQ(written.width, w);
  ASSERT_EQ(written.height, h);
  EXPECT_EQ(written.pixels, expected);
  EXPECT_EQ(read_file(folder.file(c.input_name)), input) << "the original must stay as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatThroughTool,
    testing::Values(FormatCase{"bmp/bmpsuite-2.8/g/pal4.bmp", "picture.bmp", "picture.png"},
                    FormatCase{"bmp/bmpsuite-2.8/g/rgb24.bmp", "PHOTO.BMP", "PHOTO.PNG"},
                    FormatCase{"tga/pillow/rgb32rle.tga", "sprite.tga", "sprite.png"},
                    FormatCase{"tga/pillow/la.tga", "gray.TGA", "gray.png"},
                    FormatCase{"pcx/pillow/odd_stride.pcx", "scan.pcx", "scan.png"},
                    FormatCase{"gif/pillow/hopper.gif", "anim.gif", "anim.png"},
                    FormatCase{"dds/pillow/dxt1-rgb-4bbp-noalpha_MipMaps-1.dds", "texture.dds",
                               "texture.dds.png"},
                    FormatCase{"jpeg/libjpeg-turbo/testorig.jpg", "photo.jpeg", "photo.png"}));

TEST(FormatThroughTool, TextureWithAlphaNeedsAnAlphaOutput) {
  const std::vector<uint8_t> input =
      read_file(std::string(TESSEL_CORPUS_DIR) + "/dds/pillow/dxt5-argb-8bbp-interpolatedalpha_MipMaps-1.dds");
  ASSERT_FALSE(input.empty());
  TempFolder folder;
  ASSERT_TRUE(write_file(folder.file("t.dds"), input));
  CommandResult r = run_command(TESSEL_BINARY, {"-s3", "t.dds"}, folder.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Image requires full alpha; try /c6 (RGB+Alpha) instead"), std::string::npos) << r.out;
  EXPECT_TRUE(read_file(folder.file("t.dds.png")).empty());

  r = run_command(TESSEL_BINARY, {"-s3", "-c6", "t.dds"}, folder.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  OraclePicture written;
  ASSERT_TRUE(libpng_decode(read_file(folder.file("t.dds.png")), &written));
  int32_t w = 0, h = 0;
  EXPECT_EQ(written.pixels, decode_with_tool(input, &w, &h));
}

}  // namespace
