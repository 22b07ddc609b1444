#include <gtest/gtest.h>

#include <string>
#include <utility>

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

TEST(Names, OutputArgumentAndLongNames) {
  const std::string long_name(600, 'a');
  const std::pair<std::string, std::string> rows[] = {{"out", "out.png"},
                                                      {"out.bmp", "out.bmp.png"},
                                                      {"OUT", "OUT.PNG"},
                                                      {"out.PNG", "out.PNG"},
                                                      {"9", "9.PNG"},
                                                      {"png", "png.png"},
                                                      {long_name + ".bmp", long_name + ".bmp.png"}};
  for (const auto& [argument, output] : rows) EXPECT_EQ(output_name_from_argument(argument), output);
  // A long input name always gets the extension.
  bool same = true;
  EXPECT_EQ(output_name_from_input(long_name, &same), long_name + ".png");
  EXPECT_FALSE(same);
}

TEST(Names, FirstLetterDecidesTheCase) {
  EXPECT_STREQ(png_extension_for("123/abc"), ".png");
  EXPECT_STREQ(png_extension_for("123/Abc"), ".PNG");
  EXPECT_STREQ(png_extension_for("42"), ".PNG");
  EXPECT_STREQ(png_extension_for("\xC3\xA9t\xC3\xA9"), ".png");
}

TEST(Names, RetriedInputRewritesMatchingOutput) {
  for (const auto& [given, expected] : {std::pair<std::string, std::string>{"pic.png", "pic.png"},
                                        {"Pic.png", "Pic.PNG"},
                                        {"other.png", "other.png"}}) {
    std::string output = given;
    adjust_output_after_retry("pic.png", &output);
    EXPECT_EQ(output, expected);
  }
}

}  // namespace
