// The tool's answer to an animated GIF: an animated PNG of every frame (the
// frames themselves are judged by Pillow in apng_pillow_compare.py); one whose
// frames can't all be read is not cut to its first frame and reported as a
// saving: it takes -force, and the report says what was dropped.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/command_runner.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

std::string corpus_gif(const std::string& name) { return std::string(TESSEL_CORPUS_DIR) + "/gif/" + name; }

TEST(GifAnimationTool, EveryFrameIsWritten) {
  TempFolder dir;
  const std::vector<uint8_t> gif = read_file(corpus_gif("pillow/chi.gif"));
  ASSERT_TRUE(write_file(dir.file("chi.gif"), gif));
  const CommandResult r = run_tool(dir, {"chi.gif", "chi.png"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Animated GIF: 31 frames written\n"), std::string::npos) << r.out;
  // The line for animated PNG input is not printed as well (it said "0 frames").
  EXPECT_EQ(r.out.find("Animated PNG"), std::string::npos) << r.out;
  const std::vector<uint8_t> png = read_file(dir.file("chi.png"));
  const std::vector<PngChunk> chunks = split_chunks(png);
  ASSERT_NE(find_chunk(chunks, "acTL"), nullptr);
  EXPECT_EQ(find_chunk(chunks, "acTL")->data, (std::vector<uint8_t>{0, 0, 0, 31, 0, 0, 0, 0}));
  EXPECT_NE(find_chunk(chunks, "fcTL", 30), nullptr);
  EXPECT_EQ(find_chunk(chunks, "fcTL", 31), nullptr);
  // The default image is the first frame, as a still conversion gives it.
  ASSERT_TRUE(write_file(dir.file("first.gif"), gif));
  const CommandResult still = run_tool(dir, {"-force", "-s4", "chi.gif", "still.png"});
  EXPECT_EQ(still.status, 0);
  EXPECT_TRUE(same_png_pixels(png, read_file(dir.file("still.png"))));
}

// The search mode gives every frame its own filter and the whole-stream
// engine: a smaller file with the same frames (the tool checks every
// composed screen before writing), the same bytes for any thread count.
TEST(GifAnimationTool, SearchModeShrinksTheAnimation) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("chi.gif"), read_file(corpus_gif("pillow/chi.gif"))));
  ASSERT_EQ(run_tool(dir, {"chi.gif", "plain.png"}).status, 0);
  const CommandResult r = run_tool(dir, {"-o2", "-j1", "chi.gif", "o2.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Animated GIF: 31 frames written\n"), std::string::npos) << r.out;
  ASSERT_EQ(run_tool(dir, {"-o2", "-j2", "chi.gif", "o2j2.png"}).status, 0);
  const std::vector<uint8_t> o2 = read_file(dir.file("o2.png"));
  EXPECT_LT(o2.size(), read_file(dir.file("plain.png")).size());
  EXPECT_EQ(o2, read_file(dir.file("o2j2.png")));
  EXPECT_TRUE(same_png_pixels(o2, read_file(dir.file("plain.png"))));
}

TEST(GifAnimationTool, DamagedAnimationIsNotSilentlyCut) {
  TempFolder dir;
  std::vector<uint8_t> gif = read_file(corpus_gif("pillow/chi.gif"));
  gif.resize(gif.size() * 7 / 10);
  ASSERT_TRUE(write_file(dir.file("cut.gif"), gif));
  const CommandResult plain = run_tool(dir, {"cut.gif", "cut.png"});
  EXPECT_EQ(plain.status, 0) << plain.out;
  const std::string said = plain.out + plain.err;
  EXPECT_NE(said.find("cut.gif is an animated GIF of "), std::string::npos) << said;
  EXPECT_NE(said.find(" frames; only the first would be kept"), std::string::npos) << said;
  EXPECT_NE(said.find("Nothing written; -force writes the first frame"), std::string::npos);
  EXPECT_EQ(said.find("Change:"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("cut.png")));

  const CommandResult forced = run_tool(dir, {"-force", "cut.gif", "cut.png"});
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_NE((forced.out + forced.err).find("Animated GIF: only the first of "), std::string::npos) << forced.out;
  EXPECT_TRUE(std::filesystem::exists(dir.file("cut.png")));
}

TEST(GifAnimationTool, StillGifStaysAPlainPng) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("one.gif"), read_file(corpus_gif("pillow/hopper.gif"))));
  const CommandResult still = run_tool(dir, {"one.gif", "one.png"});
  EXPECT_EQ(still.status, 0) << still.out;
  EXPECT_EQ((still.out + still.err).find("nimated"), std::string::npos) << still.out;
  const std::vector<PngChunk> chunks = split_chunks(read_file(dir.file("one.png")));
  EXPECT_EQ(find_chunk(chunks, "acTL"), nullptr);
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// The screens of an animated PNG whose frames replace their rectangle and
// are not disposed (as the tool writes them): each frame becomes a PNG of
// its own (its size in IHDR, its data in IDAT) for libpng, and is laid over
// the screen before.
bool composed_by_libpng(const std::vector<uint8_t>& png, std::vector<std::vector<uint32_t>>* screens) {
  const std::vector<PngChunk> chunks = split_chunks(png);
  const PngChunk* ihdr = find_chunk(chunks, "IHDR");
  if (ihdr == nullptr) return false;
  const uint32_t w = be32(ihdr->data, 0), h = be32(ihdr->data, 4);
  std::vector<uint32_t> screen(size_t(w) * h, 0);
  std::vector<Bytes> frame;
  uint32_t fx = 0, fy = 0;
  auto finish = [&]() {
    if (frame.empty()) return true;
    frame.push_back(testpic::png_chunk("IEND", {}));
    OraclePicture p;
    if (!libpng_decode(testpic::png_file(frame), &p)) return false;
    for (int32_t y = 0; y < p.height; ++y)
      for (int32_t x = 0; x < p.width; ++x) screen[(fy + y) * w + fx + x] = p.pixels[size_t(y) * p.width + x];
    screens->push_back(screen);
    frame.clear();
    return true;
  };
  for (const PngChunk& c : chunks) {
    if (c.type == "fcTL") {
      if (!finish() || c.data[24] != 0 || c.data[25] != 0) return false;
      Bytes header = ihdr->data;
      std::copy(c.data.begin() + 4, c.data.begin() + 12, header.begin());
      fx = be32(c.data, 12);
      fy = be32(c.data, 16);
      frame.push_back(testpic::png_chunk("IHDR", header));
      for (const PngChunk& t : chunks)
        if (t.type == "PLTE" || t.type == "tRNS") frame.push_back(t.whole);
    } else if (c.type == "IDAT" && !frame.empty()) {
      frame.push_back(c.whole);
    } else if (c.type == "fdAT" && !frame.empty()) {
      frame.push_back(testpic::png_chunk("IDAT", Bytes(c.data.begin() + 4, c.data.end())));
    }
  }
  return finish();
}

// A frame may declare any size whatever the screen's; only its part on the
// screen is decoded (the rest was once allocated whole: 16 GB for this one,
// 65535 x 65535 pixels whose data covers the rows on the screen only;
// then an interlaced one, whose three first passes go far below it).
TEST(GifAnimationTool, FrameFarLargerThanTheScreenIsClippedToIt) {
  TempFolder dir;
  const Bytes gif =
      testpic::gif_file(64, 48,
                        {{0, 0, 64, 48, false, testpic::lzw_run(1, 64 * 48)},
                         {8, 4, 65535, 65535, false, testpic::lzw_run(2, 44 * 65535)},
                         {60, 40, 65535, 2000, true, testpic::lzw_run(3, 65535LL * 2000 / 2 + 65535 * 4)}});
  ASSERT_LT(gif.size(), 200000u);
  ASSERT_TRUE(write_file(dir.file("wide.gif"), gif));
  const CommandResult r = run_tool(dir, {"wide.gif", "wide.png"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Animated GIF: 3 frames written\n"), std::string::npos) << r.out;
  std::vector<std::vector<uint32_t>> screens;
  ASSERT_TRUE(composed_by_libpng(read_file(dir.file("wide.png")), &screens));
  ASSERT_EQ(screens.size(), 3u);
  for (int k = 0; k < 3; ++k)
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        uint32_t want = 0xFFFF0000u;
        if (k >= 1 && x >= 8 && y >= 4) want = 0xFF00FF00u;
        if (k >= 2 && x >= 60 && y >= 40) want = 0xFF0000FFu;
        ASSERT_EQ(screens[size_t(k)][size_t(y) * 64 + x], want) << k << " " << x << "," << y;
      }
}

}  // namespace
