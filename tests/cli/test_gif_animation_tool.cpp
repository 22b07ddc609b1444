// The tool's answer to an animated GIF it would cut to its first frame.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"

namespace {

std::string corpus_gif(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/gif/" + name; }

// An animation is not cut to its first frame and reported as a saving: it is
// refused without -force, and with -force the report says what was dropped.
TEST(GifImageCount, AnimationIsNotSilentlyCut) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("chi.gif"), read_file(corpus_gif("pillow/chi.gif"))));
  const CommandResult plain = run_tool(dir, {"chi.gif", "chi.png"});
  EXPECT_EQ(plain.status, 0) << plain.out;
  EXPECT_NE((plain.out + plain.err).find("chi.gif is an animated GIF of 31 frames; only the first would be kept"),
            std::string::npos)
      << plain.out;
  EXPECT_NE((plain.out + plain.err).find("Nothing written; -force writes the first frame"), std::string::npos);
  EXPECT_EQ((plain.out + plain.err).find("Change:"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("chi.png")));

  const CommandResult forced = run_tool(dir, {"-force", "chi.gif", "chi.png"});
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_NE((forced.out + forced.err).find("Animated GIF: only the first of 31 frames is written"), std::string::npos)
      << forced.out;
  EXPECT_TRUE(std::filesystem::exists(dir.file("chi.png")));

  // A GIF of one image goes on as before.
  ASSERT_TRUE(write_file(dir.file("one.gif"), read_file(corpus_gif("pillow/hopper.gif"))));
  const CommandResult still = run_tool(dir, {"one.gif", "one.png"});
  EXPECT_EQ(still.status, 0) << still.out;
  EXPECT_EQ((still.out + still.err).find("animated"), std::string::npos) << still.out;
  EXPECT_TRUE(std::filesystem::exists(dir.file("one.png")));
}

}  // namespace
