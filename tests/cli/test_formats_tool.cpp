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
  const char* corpus_file;  // under the test pictures folder
  const char* input_name;   // name given on the command line
  const char* output_name;  // the name the tool must write
  // Huffman-only keeps the sanitizer build quick; the pixels do not depend on it.
  const char* option = "-s3";
  const char* refusal = nullptr;  // the message of a run that must write nothing
};

class FormatThroughTool : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatThroughTool, WritesTheDecodedPixelsUnderTheRuleName) {
  const FormatCase& c = GetParam();
  const std::vector<uint8_t> input = read_file(std::string(TESSEL_CORPUS_DIR) + "/" + c.corpus_file);
  ASSERT_FALSE(input.empty()) << c.corpus_file;
  TempFolder folder;
  ASSERT_TRUE(write_file(folder.file(c.input_name), input));
  const CommandResult r = run_tool(folder, {"-s3", c.option, c.input_name});
  EXPECT_EQ(read_file(folder.file(c.input_name)), input) << "the original must stay as it was";
  if (c.refusal) {
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.refusal), std::string::npos) << r.out;
    EXPECT_TRUE(read_file(folder.file(c.output_name)).empty());
    return;
  }
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  int32_t w = 0, h = 0;
  probe_picture(input.data(), int32_t(input.size()), &w, &h);
  std::vector<uint32_t> expected(size_t(w) * size_t(h), 0);
  ASSERT_EQ(decode_picture(input.data(), int32_t(input.size()), expected.data(), w * 4, w, h, 0, 0), 0);
  EXPECT_TRUE(png_shows(read_file(folder.file(c.output_name)), w, h, expected));
}

const char* kTexture = "dds/pillow/dxt5-argb-8bbp-interpolatedalpha_MipMaps-1.dds";

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
                    FormatCase{"jpeg/libjpeg-turbo/testorig.jpg", "photo.jpeg", "photo.png"},
                    // A texture with alpha keeps it in a plain run; only a
                    // colour type without alpha asked for is refused.
                    FormatCase{kTexture, "t.dds", "t.dds.png"},
                    FormatCase{kTexture, "t.dds", "t.dds.png", "-c2",
                               "Image requires full alpha; try /c6 (RGB+Alpha) instead"},
                    FormatCase{kTexture, "t.dds", "t.dds.png", "-c6"}));

}  // namespace
