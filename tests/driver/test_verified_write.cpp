#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/run.h"
#include "driver/verify.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"

namespace {

using namespace testpic;

int run(std::vector<std::string> args) {
  args.insert(args.begin(), "tessel");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return run_tessel(int(args.size()), argv.data());
}

// Flips one byte in the middle of the image data, where it changes a pixel
// or breaks the stream.
void damage_image_data(uint8_t* png, int32_t size) {
  const std::string text(reinterpret_cast<const char*>(png), size_t(size));
  const size_t idat = text.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  const size_t length =
      size_t(png[idat - 4]) << 24 | size_t(png[idat - 3]) << 16 | size_t(png[idat - 2]) << 8 | png[idat - 1];
  png[idat + 4 + length / 2] ^= 0x5A;
}

// Flips one byte in the middle of the last frame's data, leaving the
// default image as it was.
void damage_last_frame(uint8_t* png, int32_t size) {
  const std::string text(reinterpret_cast<const char*>(png), size_t(size));
  const size_t fdat = text.rfind("fdAT");
  ASSERT_NE(fdat, std::string::npos);
  const size_t length =
      size_t(png[fdat - 4]) << 24 | size_t(png[fdat - 3]) << 16 | size_t(png[fdat - 2]) << 8 | png[fdat - 1];
  png[fdat + 4 + 4 + (length - 4) / 2] ^= 0x5A;
}

// A two-frame animation on a 16 x 16 canvas whose second frame, 8 x 8 at
// (4, 4), is a ramp: at 8 bits, or at 16 bits with unequal bytes.
Bytes two_frame_apng(bool sixteen) {
  const int bytes = sixteen ? 6 : 3;
  auto stream = [&](uint32_t w, uint32_t h, int seed) {
    Bytes rows;
    for (uint32_t y = 0; y < h; ++y) {
      rows.push_back(0);
      for (uint32_t x = 0; x < w * uint32_t(bytes); ++x) rows.push_back(uint8_t(x * 7 + y * 13 + uint32_t(seed)));
    }
    const Bytes idat = idat_chunk(rows, 0);
    return Bytes(idat.begin() + 8, idat.end() - 4);
  };
  Bytes first(26, 0), second(26, 0);
  first[7] = first[11] = 16;
  second[3] = 1;
  second[7] = second[11] = 8;
  second[15] = second[19] = 4;
  Bytes frame = {0, 0, 0, 2};
  const Bytes data = stream(8, 8, 5);
  frame.insert(frame.end(), data.begin(), data.end());
  return png_file({ihdr_chunk(16, 16, sixteen ? 16 : 8, 2), png_chunk("acTL", {0, 0, 0, 2, 0, 0, 0, 0}),
                   png_chunk("fcTL", first), png_chunk("IDAT", stream(16, 16, 0)), png_chunk("fcTL", second),
                   png_chunk("fdAT", frame), png_chunk("IEND", {})});
}

class VerifiedWrite : public ::testing::Test {
 protected:
  void TearDown() override { set_output_tamper_hook(nullptr); }
  TempFolder dir;
};

TEST_F(VerifiedWrite, DamagedOutputIsNeverWritten) {
  // Three cases that write: stored layout, the default compression, and
  // "-force" over a PNG in place.
  const Bytes cel = smooth_cel(40, 20);
  const Bytes png = rgb_png(32, 32, 0, {png_chunk("tEXt", Bytes(3000, 'x'))});
  write_file(dir.file("pic.cel"), cel);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-y", "-q", "-s4", dir.file("pic.cel"), dir.file("out.png")},
        std::vector<std::string>{"-y", "-q", dir.file("pic.cel"), dir.file("out.png")},
        std::vector<std::string>{"-q", "-force", dir.file("in.png")}}) {
    write_file(dir.file("out.png"), Bytes{'o', 'l', 'd'});
    write_file(dir.file("in.png"), png);
    set_output_tamper_hook(damage_image_data);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(args), 1) << args[2];
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: output failed verification, nothing written\n");
    EXPECT_EQ(read_file(dir.file("out.png")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(read_file(dir.file("in.png")), png);

    set_output_tamper_hook(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(args), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  OraclePicture picture;
  ASSERT_TRUE(libpng_decode(read_file(dir.file("in.png")), &picture));
  EXPECT_EQ(picture.width, 32);
}

// Every frame of an animation is checked before it is written, not the
// default image alone: a damaged later frame of an animated PNG (8- and
// 16-bit) or of a GIF made an animated PNG stops the write.
TEST_F(VerifiedWrite, DamagedLaterFrameIsNeverWritten) {
  std::vector<GifImage> images = {GifImage{0, 0, 16, 16, false, lzw_run(1, 256)},
                                  GifImage{4, 4, 8, 8, false, lzw_run(2, 64)}};
  const struct {
    const char* name;
    Bytes input;
  } inputs[] = {{"anim.png", two_frame_apng(false)}, {"anim16.png", two_frame_apng(true)},
                {"anim.gif", gif_file(16, 16, images)}};
  for (const auto& in : inputs) {
    SCOPED_TRACE(in.name);
    write_file(dir.file(in.name), in.input);
    const std::vector<std::string> args = {"-y", "-q", dir.file(in.name), dir.file("out.png")};
    write_file(dir.file("out.png"), Bytes{'o', 'l', 'd'});
    set_output_tamper_hook(damage_last_frame);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(args), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: output failed verification, nothing written\n");
    EXPECT_EQ(read_file(dir.file("out.png")), (Bytes{'o', 'l', 'd'}));

    set_output_tamper_hook(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(args), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(read_file(dir.file("out.png")), (Bytes{'o', 'l', 'd'}));
  }
}

TEST(Verify, RefusesWhatDoesNotDecodeToThePicture) {
  const std::vector<uint32_t> pixels(4, 0xFF102030u);
  Bytes rows;
  for (int y = 0; y < 2; ++y) rows.insert(rows.end(), {0, 0x10, 0x20, 0x30, 0x10, 0x20, 0x30});
  const Bytes good = png_file({ihdr_chunk(2, 2, 8, 2), idat_chunk(rows, 9), png_chunk("IEND", {})});
  EXPECT_TRUE(verify_png_output(good.data(), int32_t(good.size()), pixels.data(), 2, 2));

  std::vector<uint32_t> other = pixels;
  other[3] = 0xFF102031u;
  EXPECT_FALSE(verify_png_output(good.data(), int32_t(good.size()), other.data(), 2, 2));

  // Right pixels inside a larger picture: clipped, it would compare equal.
  EXPECT_FALSE(verify_png_output(good.data(), int32_t(good.size()), pixels.data(), 1, 2));

  // Cut short: the last row never arrives.
  const Bytes cut(good.begin(), good.begin() + 8 + 25 + 8 + 4);
  EXPECT_FALSE(verify_png_output(cut.data(), int32_t(cut.size()), pixels.data(), 2, 2));

  const Bytes not_png = smooth_cel(2, 2);
  EXPECT_FALSE(verify_png_output(not_png.data(), int32_t(not_png.size()), pixels.data(), 2, 2));
}

// The 16-bit check compares whole samples: a file whose samples differ
// from the picture's in a low byte only, or the picture cut to its high
// bytes at 8 bits, is refused.
TEST(Verify, SixteenBitOutputMatchesEverySampleWhole) {
  const std::vector<uint16_t> samples = {0x1234, 0x5678, 0x9ABC, 0xFFFF, 0x0001, 0x0203, 0x0405, 0xFFFF};
  // One row behind filter byte 0.
  auto rgb16 = [](const Bytes& row) {
    return png_file({ihdr_chunk(2, 1, 16, 2), idat_chunk(row, 9), png_chunk("IEND", {})});
  };
  const Bytes good = rgb16({0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05});
  EXPECT_TRUE(verify_png_output_wide(good.data(), int32_t(good.size()), samples.data(), 2, 1));
  const Bytes low = rgb16({0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x00, 0x01, 0x02, 0x03, 0x04, 0x04});
  EXPECT_FALSE(verify_png_output_wide(low.data(), int32_t(low.size()), samples.data(), 2, 1));
  const Bytes high = rgb16({0, 0x13, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05});
  EXPECT_FALSE(verify_png_output_wide(high.data(), int32_t(high.size()), samples.data(), 2, 1));
  const Bytes eight = png_file({ihdr_chunk(2, 1, 8, 2), idat_chunk({0, 0x12, 0x56, 0x9A, 0x00, 0x02, 0x04}, 9),
                                png_chunk("IEND", {})});
  EXPECT_FALSE(verify_png_output_wide(eight.data(), int32_t(eight.size()), samples.data(), 2, 1));
  // Right samples inside a larger picture.
  EXPECT_FALSE(verify_png_output_wide(good.data(), int32_t(good.size()), samples.data(), 1, 1));
}

}  // namespace
