#include <gtest/gtest.h>

#include <string>

#include "driver/names.h"

namespace {

struct FromInput {
  std::string input;
  std::string output;
  bool same;
};

class OutputFromInputTest : public ::testing::TestWithParam<FromInput> {};

TEST_P(OutputFromInputTest, FollowsTheNamingRules) {
  bool same = !GetParam().same;
  EXPECT_EQ(output_name_from_input(GetParam().input, &same), GetParam().output);
  EXPECT_EQ(same, GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OutputFromInputTest,
    ::testing::Values(FromInput{"photo.bmp", "photo.png", false}, FromInput{"PHOTO.BMP", "PHOTO.PNG", false},
                      FromInput{"Dir/photo.bmp", "Dir/photo.PNG", false},
                      FromInput{"123.JPG", "123.PNG", false}, FromInput{"1.jpeg", "1.png", false},
                      FromInput{"a.JpEg", "a.png", false}, FromInput{".jpeg", ".png", false},
                      FromInput{"x.gif", "x.png", false}, FromInput{"x.pcx", "x.png", false},
                      FromInput{"x.tga", "x.png", false}, FromInput{"x.jpe", "x.png", false},
                      FromInput{".GIF", ".PNG", false}, FromInput{"pic.png", "pic.png", true},
                      FromInput{"PIC.PNG", "PIC.PNG", true}, FromInput{".png", ".png", true},
                      FromInput{"pic", "pic.png", false}, FromInput{"12", "12.PNG", false},
                      FromInput{"pic.tiff", "pic.tiff.png", false}, FromInput{"gif", "gif.png", false}));

TEST(Names, OutputArgument) {
  EXPECT_EQ(output_name_from_argument("out"), "out.png");
  EXPECT_EQ(output_name_from_argument("out.bmp"), "out.bmp.png");
  EXPECT_EQ(output_name_from_argument("OUT"), "OUT.PNG");
  EXPECT_EQ(output_name_from_argument("out.PNG"), "out.PNG");
  EXPECT_EQ(output_name_from_argument("9"), "9.PNG");
  EXPECT_EQ(output_name_from_argument("png"), "png.png");
}

TEST(Names, LongNamesAlwaysGetTheExtension) {
  const std::string input(600, 'a');
  bool same = true;
  EXPECT_EQ(output_name_from_input(input, &same), input + ".png");
  EXPECT_FALSE(same);
  EXPECT_EQ(output_name_from_argument(input + ".bmp"), input + ".bmp.png");
}

TEST(Names, FirstLetterDecidesTheCase) {
  EXPECT_STREQ(png_extension_for("123/abc"), ".png");
  EXPECT_STREQ(png_extension_for("123/Abc"), ".PNG");
  EXPECT_STREQ(png_extension_for("42"), ".PNG");
  EXPECT_STREQ(png_extension_for("\xC3\xA9t\xC3\xA9"), ".png");
}

TEST(Names, RetriedInputRewritesMatchingOutput) {
  std::string output = "pic.png";
  adjust_output_after_retry("pic.png", &output);
  EXPECT_EQ(output, "pic.png");

  output = "Pic.png";
  adjust_output_after_retry("pic.png", &output);
  EXPECT_EQ(output, "Pic.PNG");

  output = "other.png";
  adjust_output_after_retry("pic.png", &output);
  EXPECT_EQ(output, "other.png");
}

}  // namespace
