// The whole tool on every PngSuite picture it can read: the file it leaves
// shows the input's pixels (libpng judges both), and a copied original is
// the input byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"

namespace {

std::vector<std::string> readable_suite_files() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TESSEL_CORPUS_DIR) + "/pngsuite")) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() != ".png" || name[0] == 'x') continue;
    OraclePicture p;
    if (libpng_decode(read_file(e.path().string()), &p) && p.bit_depth <= 8) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SuiteThroughTool : public ::testing::TestWithParam<std::string> {};

TEST_P(SuiteThroughTool, OutputShowsTheInputPixels) {
  const std::vector<uint8_t> input = read_file(std::string(TESSEL_CORPUS_DIR) + "/pngsuite/" + GetParam());
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("in.png"), input));
  const CommandResult r = run_tool(dir, {"in.png", "out.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<uint8_t> output = read_file(dir.file("out.png"));
  if ((r.out + r.err).find("Unable to compress further") != std::string::npos) {
    EXPECT_EQ(output, input);
  }
  EXPECT_TRUE(same_png_pixels(output, input));
}

INSTANTIATE_TEST_SUITE_P(Files, SuiteThroughTool, ::testing::ValuesIn(readable_suite_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param.substr(0, info.param.size() - 4);
                         });

}  // namespace
