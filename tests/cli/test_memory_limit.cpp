#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "deflate/lz77_parse.h"
#include "driver/memory_limit.h"
#include "driver/options.h"
#include "tests/support/command_runner.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"
#include "tests/support/print_capture.h"

namespace {

using namespace testpic;

constexpr int64_t kMiB = int64_t(1) << 20;

void put16le(Bytes& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32le(Bytes& b, size_t at, uint32_t v) {
  put16le(b, at, v & 0xFFFF);
  put16le(b, at + 2, v >> 16);
}

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

// An fcTL of a frame covering the whole canvas, a tenth of a second long.
Bytes full_frame_control(uint32_t sequence, uint32_t width, uint32_t height) {
  Bytes b = be32(sequence);
  for (uint32_t v : {width, height, 0u, 0u}) {
    const Bytes f = be32(v);
    b.insert(b.end(), f.begin(), f.end());
  }
  b.insert(b.end(), {0, 1, 0, 10, 0, 0});
  return png_chunk("fcTL", b);
}

// Headers of every format declaring a width x height picture, with almost
// no data behind them; the 16-bit PNG, the animated PNG and the animated GIF
// take paths of their own after the check.
Bytes header_of(const std::string& format, uint32_t width, uint32_t height) {
  if (format == "png")
    return png_file({ihdr_chunk(width, height, 8, 6), idat_chunk(Bytes{0, 0, 0, 0, 0}, 9), png_chunk("IEND", {})});
  if (format == "png16")
    return png_file(
        {ihdr_chunk(width, height, 16, 6), idat_chunk(Bytes{0, 0, 0, 0, 0}, 9), png_chunk("IEND", {})});
  if (format == "apng") {
    Bytes actl = be32(2);
    actl.resize(8, 0);
    Bytes fdat = be32(2);
    const Bytes rows = idat_chunk(Bytes{0, 0, 0, 0, 0}, 9);
    fdat.insert(fdat.end(), rows.begin() + 8, rows.end() - 4);
    return png_file({ihdr_chunk(width, height, 8, 6), png_chunk("acTL", actl),
                     full_frame_control(0, width, height), rows, full_frame_control(1, width, height),
                     png_chunk("fdAT", fdat), png_chunk("IEND", {})});
  }
  if (format == "animated.gif") {
    const uint16_t w = uint16_t(width), h = uint16_t(height);
    return gif_file(w, h, {{0, 0, w, h, false, lzw_run(1, 30)}, {0, 0, w, h, true, lzw_run(2, 30)}});
  }
  if (format == "jpg") {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xC0, 0, 17, 8, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
               uint8_t(width), 3, 1, 0x22, 0, 2, 0x11, 0, 3, 0x11, 0, 0xFF, 0xD9};
    b.resize(64, 0);
    return b;
  }
  Bytes b;
  if (format == "gif") {
    b = bytes_of("GIF89a");
    b.resize(32, 0);
    put16le(b, 6, width);
    put16le(b, 8, height);
  } else if (format == "cel") {
    b.resize(800, 0);
    b[0] = 0x19;
    b[1] = 0x91;
    put16le(b, 2, width);
    put16le(b, 4, height);
    b[10] = 8;
  } else if (format == "bmp") {
    b.resize(64, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32le(b, 10, 54);
    put32le(b, 14, 40);
    put32le(b, 18, width);
    put32le(b, 22, height);
    b[26] = 1;
    b[28] = 24;
  } else if (format == "pcx") {
    b.resize(160, 0);
    put32le(b, 0, 0x0801050Au);
    put16le(b, 8, width - 1);
    put16le(b, 10, height - 1);
    b[65] = 3;
    put16le(b, 66, width);
  } else if (format == "dds") {
    b.resize(160, 0);
    std::copy_n("DDS ", 4, b.begin());
    put32le(b, 4, 124);
    put32le(b, 12, height);
    put32le(b, 16, width);
  } else if (format == "tga") {
    b.resize(40, 0);
    b[2] = 2;
    put16le(b, 12, width);
    put16le(b, 14, height);
    b[16] = 24;
  }
  return b;
}

class MemoryLimit : public ::testing::TestWithParam<const char*> {};

// Over the limit: one message with the size, the need and the limit, decided
// from the header, and nothing written. The need covers at least the
// documented 12 bytes per pixel and stays within the fixed allowance of it.
TEST_P(MemoryLimit, HeaderOverTheLimitIsRefusedAtOnce) {
  const std::string format = GetParam();
  const std::string name = "big." + (format == "png16" || format == "apng" ? std::string("png") : format);
  // 16-bit samples take 16 bytes a pixel more (wide_extra_memory_bytes).
  const int64_t per_pixel = format == "png16" ? 28 : 12;
  const uint32_t width = 6000, height = 5000;
  TempFolder dir;
  const Bytes file = header_of(format, width, height);
  ASSERT_TRUE(write_file(dir.file(name), file));
  const CommandResult r = run_tool(dir, {"-l200", name, "out.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  long long need = 0;
  char rest[64] = {};
  const std::string head = name + " is 6000 x 5000 pixels and needs %lld MiB, more than the memory limit of %63[^\n]";
  ASSERT_EQ(std::sscanf(r.err.c_str(), head.c_str(), &need, rest), 2) << r.err;
  EXPECT_STREQ(rest, "200 MiB (-l)");
  EXPECT_EQ(r.err.back(), '\n');
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_GE(need * kMiB, per_pixel * width * height);
  EXPECT_LE(need * kMiB, per_pixel * width * height + 2LL * int64_t(file.size()) + 33 * kMiB);
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));

  // With room enough the same header goes on to its decoder, which finds no
  // picture behind it.
  const CommandResult roomy = run_tool(dir, {"-l4000", name, "out.png"});
  EXPECT_EQ(roomy.status, 1);
  EXPECT_EQ(roomy.err.find("memory limit"), std::string::npos) << roomy.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
}

INSTANTIATE_TEST_SUITE_P(Cli, MemoryLimit,
                         ::testing::Values("png", "jpg", "gif", "cel", "bmp", "pcx", "dds", "tga", "png16",
                                           "apng", "animated.gif"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

// Past the encoder's 32-bit buffer sizes but within the limit given: the
// same refusal, with the limit those sizes set for the picture's width, on
// every path (16-bit samples have wider rows; the search starts workers).
struct Beyond32Bit {
  const char* format;
  uint32_t width, height;
  const char* option;
  const char* message;  // after "big.png is W x H pixels and needs "
};

class Beyond32BitSizes : public ::testing::TestWithParam<Beyond32Bit> {};

TEST_P(Beyond32BitSizes, RefusedLikeAnyPictureOverTheLimit) {
  const Beyond32Bit& c = GetParam();
  const std::string name = std::string("big.") + (std::string(c.format) == "animated.gif" ? "gif" : "png");
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file(name), header_of(c.format, c.width, c.height)));
  std::vector<std::string> args = {"-l10000", name, "out.png"};
  if (*c.option) args.insert(args.begin(), c.option);
  const CommandResult r = run_tool(dir, args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, name + " is " + std::to_string(c.width) + " x " + std::to_string(c.height) +
                       " pixels and needs " + c.message +
                       " (the most the encoder's 32-bit buffer sizes allow at this width)\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cli, Beyond32BitSizes, ::testing::Values(
    Beyond32Bit{"png", 16, 40000000, "", "7357 MiB, more than the memory limit of 5649 MiB"},
    Beyond32Bit{"png", 16, 40000000, "-o2", "7357 MiB, more than the memory limit of 5649 MiB"},
    Beyond32Bit{"png", 16, 40000000, "-j4", "7357 MiB, more than the memory limit of 5649 MiB"},
    Beyond32Bit{"png16", 16, 20000000, "", "8577 MiB, more than the memory limit of 6879 MiB"},
    Beyond32Bit{"apng", 16, 40000000, "", "7357 MiB, more than the memory limit of 5649 MiB"},
    Beyond32Bit{"animated.gif", 65535, 10000, "", "7532 MiB, more than the memory limit of 6175 MiB"}),
    [](const auto& info) {
      std::string name = info.param.format + std::string(*info.param.option ? info.param.option + 1 : "");
      std::replace(name.begin(), name.end(), '.', '_');
      return name;
    });
// clang-format on

// The bound is exactly the encoder's: the tallest picture whose output
// buffer it can count in 32 bits needs no more than it, one row more does.
TEST(MemoryLimitOption, ThirtyTwoBitBoundMatchesTheOutputBuffer) {
  for (const bool wide : {false, true}) {
    for (const int64_t width : {1, 3, 16, 1000, 65535, 100000, 200000000, 536870910, 536870911, 2147483647}) {
      for (const int64_t input : {0, 5000, 1 << 30}) {
        SCOPED_TRACE(testing::Message() << width << " x ? " << input << (wide ? " wide" : ""));
        const int64_t row = (wide ? 8 : 4) * width + 6;
        int64_t tallest = 0;
        while ((tallest + 1) * row + 2111 + input <= INT32_MAX && tallest < 100) ++tallest;
        if (tallest == 100) tallest = (INT32_MAX - 2111 - input) / row;
        ASSERT_LE(tallest * row + 2111 + input, INT32_MAX);
        ASSERT_GT((tallest + 1) * row + 2111 + input, INT32_MAX);
        auto need = [&](int64_t height) {
          const int64_t n = run_memory_bytes(width, height, input);
          return wide ? n + wide_extra_memory_bytes(width, height) : n;
        };
        const int64_t bound = largest_need_at_width(width, input, wide);
        EXPECT_EQ(need(tallest), bound);
        EXPECT_GT(need(tallest + 1), bound);
        EXPECT_LE(bound, largest_run_memory_bytes());
      }
    }
  }
}

// The wide samples count: a 16-bit header of 7.5 megapixels needs more than
// 200 MiB, where the same picture of 8 bits fits and goes on to its decoder.
TEST(MemoryLimitOption, SixteenBitSamplesCountInTheNeed) {
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("eight.png"), header_of("png", 3000, 2500)));
  ASSERT_TRUE(write_file(dir.file("wide.png"), header_of("png16", 3000, 2500)));
  const CommandResult eight = run_tool(dir, {"-l200", "eight.png", "out.png"});
  EXPECT_EQ(eight.status, 1);
  EXPECT_EQ(eight.err.find("memory limit"), std::string::npos) << eight.err;
  const CommandResult wide = run_tool(dir, {"-l200", "wide.png", "out.png"});
  EXPECT_EQ(wide.status, 1);
  EXPECT_EQ(wide.out, "");
  EXPECT_NE(wide.err.find("wide.png is 3000 x 2500 pixels and needs "), std::string::npos) << wide.err;
  EXPECT_NE(wide.err.find(" MiB, more than the memory limit of 200 MiB (-l)\n"), std::string::npos)
      << wide.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
}

// Workers of a search each hold an encoder of their own: no more of them
// than the limit holds beside the run itself, and always one.
// Every frame of an animation takes its records and its encoded still,
// however few its pixels (a GIF of 20000 one-pixel frames, 460 KB, once took
// 75 MB where 320 KB were counted): 300 frames of one pixel need more than
// the 1 MiB that -l33 leaves beside the run's fixed 32 MiB. Such an
// animation is refused as a still picture over the limit is, with status 1
// and nothing written, not reported as done with its frames lost; with 2 MiB
// more it is written (stored, -s4: 300 frames of the default strategy took
// 107 s of CPU under the sanitizers).
TEST(MemoryLimitOption, AnimationFramesCountBeyondTheirPixels) {
  constexpr int32_t kFrames = 300;
  std::vector<GifImage> images;
  for (int32_t k = 0; k < kFrames; ++k) images.push_back({0, 0, 1, 1, false, lzw_run(uint8_t(1 + k % 2), 1)});
  Bytes actl = be32(kFrames);
  actl.resize(8, 0);
  std::vector<Bytes> chunks = {ihdr_chunk(1, 1, 8, 0), png_chunk("acTL", actl)};
  for (int32_t k = 0; k < kFrames; ++k) {
    const Bytes rows = idat_chunk(Bytes{0, uint8_t(k % 2 * 255)}, 0);
    chunks.push_back(full_frame_control(uint32_t(k == 0 ? 0 : 2 * k - 1), 1, 1));
    if (k == 0) {
      chunks.push_back(rows);
      continue;
    }
    Bytes fdat = be32(uint32_t(2 * k));
    fdat.insert(fdat.end(), rows.begin() + 8, rows.end() - 4);
    chunks.push_back(png_chunk("fdAT", fdat));
  }
  chunks.push_back(png_chunk("IEND", {}));
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("many.gif"), gif_file(1, 1, images)));
  ASSERT_TRUE(write_file(dir.file("many.png"), png_file(chunks)));

  // -force changes nothing: the frames are not there to be lost.
  for (const char* name : {"many.gif", "many.png"}) {
    for (const bool force : {false, true}) {
      std::vector<std::string> args = {"-l33", name, "out.png"};
      if (force) args.insert(args.begin(), "-force");
      const CommandResult r = run_tool(dir, args);
      EXPECT_EQ(r.status, 1) << name << r.out;
      EXPECT_EQ(r.out, "") << name;
      EXPECT_NE(r.err.find(std::string(name) + " is 1 x 1 pixels in 300 frames and needs 34 MiB, more than the "
                                                 "memory limit of 33 MiB (-l)\n"),
                std::string::npos)
          << r.err;
      EXPECT_FALSE(std::filesystem::exists(dir.file("out.png"))) << name;
    }
  }
  // Replacing the input in place leaves it as it was.
  const Bytes before = read_file(dir.file("many.png"));
  EXPECT_EQ(run_tool(dir, {"-l33", "many.png"}).status, 1);
  EXPECT_EQ(read_file(dir.file("many.png")), before);

  const CommandResult gif_roomy = run_tool(dir, {"-s4", "-l35", "many.gif", "out.png"});
  EXPECT_EQ(gif_roomy.status, 0);
  EXPECT_NE(gif_roomy.out.find("Animated GIF: 300 frames written"), std::string::npos) << gif_roomy.out;
  const CommandResult apng_roomy = run_tool(dir, {"-s4", "-l35", "many.png", "copy.png"});
  EXPECT_EQ(apng_roomy.status, 0) << apng_roomy.err;
  EXPECT_NE(apng_roomy.out.find("Animated PNG: 300 frames, each re-encoded and checked"), std::string::npos)
      << apng_roomy.out;
}

// The frames of a 16-bit animation are decoded at 16 bits beside their 8-bit
// copy: 24 bytes a pixel for the two copies, not 8. Two frames of
// 1000 x 1000 fit -l80 beside the picture (59 MiB) at 8 bits, not at 16,
// and the refusal comes from the headers alone (the frames hold no data).
TEST(MemoryLimitOption, SixteenBitFramesCountTheirWideSamples) {
  auto animation = [](int depth) {
    Bytes actl = be32(2);
    actl.resize(8, 0);
    Bytes fdat = be32(2);
    const Bytes rows = idat_chunk(Bytes{0, 0, 0}, 9);
    fdat.insert(fdat.end(), rows.begin() + 8, rows.end() - 4);
    return png_file({ihdr_chunk(1000, 1000, uint8_t(depth), 0), png_chunk("acTL", actl),
                     full_frame_control(0, 1000, 1000), rows, full_frame_control(1, 1000, 1000),
                     png_chunk("fdAT", fdat), png_chunk("IEND", {})});
  };
  const Bytes wide = animation(16), narrow = animation(8);
  int32_t frames = 0;
  EXPECT_EQ(animation_memory_bytes(wide.data(), int32_t(wide.size()), 1000, 1000, &frames),
            2 * 1000 * 1000 * 24 + 2 * kAnimationFrameBytes);
  EXPECT_EQ(frames, 2);
  EXPECT_EQ(animation_memory_bytes(narrow.data(), int32_t(narrow.size()), 1000, 1000, &frames),
            2 * 1000 * 1000 * 8 + 2 * kAnimationFrameBytes);
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("wide.png"), wide));
  const CommandResult r = run_tool(dir, {"-l80", "wide.png", "out.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "wide.png is 1000 x 1000 pixels in 2 frames and needs 105 MiB, more than the memory limit of "
                   "80 MiB (-l)\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.png")));
}

TEST(MemoryLimitOption, SearchWorkersFitTheLimit) {
  const int64_t need = run_memory_bytes(1000, 1000, 100000);
  EXPECT_EQ(search_workers_within(8, 1000, 1000, need, INT64_MAX / 2), 8);
  EXPECT_EQ(search_workers_within(8, 1000, 1000, need, need), 1);
  EXPECT_EQ(search_workers_within(8, 1000, 1000, need, need - 1), 1);
  EXPECT_EQ(search_workers_within(0, 1000, 1000, need, INT64_MAX / 2), 1);
  const int64_t per_worker = (int64_t(24) << 20) + 1000 * 1000 * 12;
  EXPECT_EQ(search_workers_within(8, 1000, 1000, need, need + 3 * per_worker), 4);
  EXPECT_EQ(search_workers_within(8, 1000, 1000, need, need + 3 * per_worker - 1), 3);
  EXPECT_EQ(search_workers_within(3, 1000, 1000, need, need + 5 * per_worker), 3);
}

TEST(MemoryLimitOption, NeedsAWholeNumberOfMiB) {
  captured_messages().clear();
  print_usage(capture_printer());
  const std::string usage = captured_messages();
  EXPECT_NE(usage.find("   -force  Write file even if bigger.\n   -l# Memory limit in MiB"), std::string::npos);
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("pic.cel"), smooth_cel(24, 10)));
  for (const char* bad : {"-l", "-l0", "-lx", "-l12x", "-L-5"}) {
    const CommandResult r = run_tool(dir, {bad, "pic.cel"});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err, "Invalid memory limit\n" + usage) << bad;
  }
  // Upper case works like lower case, and a small picture fits a small limit.
  const CommandResult r = run_tool(dir, {"-L40", "pic.cel"});
  EXPECT_EQ(r.status, 0) << r.err;
  OraclePicture picture;
  EXPECT_TRUE(libpng_decode(read_file(dir.file("pic.cel.png")), &picture));
}

TEST(MemoryLimitOption, DefaultIsHalfThePhysicalMemoryAndNoneExceedsThe32BitSizes) {
  const int64_t physical = int64_t(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  const int64_t largest = largest_run_memory_bytes();
  EXPECT_EQ(memory_limit_bytes(0), std::min(physical / 2, largest));
  EXPECT_EQ(memory_limit_bytes(1), kMiB);
  EXPECT_EQ(memory_limit_bytes(INT32_MAX), largest);
  // The largest picture the encoder's output buffer can count in 32 bits fits
  // the largest limit, and a larger one does not.
  const int64_t pixels = INT32_MAX / 4;
  EXPECT_LE(run_memory_bytes(1, pixels, INT32_MAX), largest);
  EXPECT_GT(run_memory_bytes(2, pixels, INT32_MAX), largest);
  // Header sizes whose product passes 64 bits still compare as too large.
  EXPECT_EQ(run_memory_bytes(INT32_MAX, INT32_MAX, 0), INT64_MAX);
  EXPECT_EQ(run_memory_bytes(int64_t(1) << 40, int64_t(1) << 40, INT32_MAX), INT64_MAX);
}

// A true-colour TGA whose every pixel differs from its neighbours in some
// channel: too many colours for a palette, so the run stays RGB or RGBA.
Bytes true_colour_tga(uint32_t side, int bytes_per_pixel, std::vector<uint32_t>* pixels) {
  Bytes b(18, 0);
  b[2] = 2;
  put16le(b, 12, side);
  put16le(b, 14, side);
  b[16] = uint8_t(8 * bytes_per_pixel);
  b[17] = 0x20;  // top row first
  for (uint32_t y = 0; y < side; ++y) {
    for (uint32_t x = 0; x < side; ++x) {
      const uint8_t blue = uint8_t(y * 5 + x / 7), green = uint8_t(x * 3), red = uint8_t(x + y);
      const uint8_t alpha = bytes_per_pixel == 4 ? uint8_t(x ^ y) : 255;
      b.insert(b.end(), {blue, green, red});
      if (bytes_per_pixel == 4) b.push_back(alpha);
      pixels->push_back(uint32_t(alpha) << 24 | uint32_t(red) << 16 | uint32_t(green) << 8 | blue);
    }
  }
  return b;
}

int64_t children_peak_bytes() {
  rusage usage{};
  EXPECT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  return int64_t(usage.ru_maxrss) * 1024;
}

// The 12 bytes per pixel the memory check reserves hold for true-colour
// runs too (bench/memory.sh measures palette pictures): the peak resident
// memory of a default run on an RGB and an RGBA picture of 0.17 megapixels
// grows over a one-pixel run's by no more than that, twice the file, the
// parser's state and what two parsing threads are given.
// Memory, unlike time, does not depend on how loaded the machine is.
TEST(MemoryNeed, CoversTheTrueColourRuns) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitized binary's memory is not the program's";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "a sanitized binary's memory is not the program's";
#endif
#endif
  std::vector<uint32_t> one;
  const Bytes tiny = true_colour_tga(1, 4, &one);
  TempFolder dir;
  ASSERT_TRUE(write_file(dir.file("tiny.tga"), tiny));
  ASSERT_EQ(run_tool(dir, {"-q", "tiny.tga", "tiny.png"}).status, 0);
  // Resident memory of the largest child so far; each run here is larger
  // than the one before.
  const int64_t base = children_peak_bytes();
  for (const int bytes_per_pixel : {3, 4}) {
    SCOPED_TRACE(bytes_per_pixel);
    const uint32_t side = 384 + 16 * uint32_t(bytes_per_pixel);
    std::vector<uint32_t> pixels;
    const Bytes file = true_colour_tga(side, bytes_per_pixel, &pixels);
    ASSERT_TRUE(write_file(dir.file("big.tga"), file));
    const CommandResult r = run_tool(dir, {"-q", "-y", "-j2", "big.tga", "big.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    const int64_t peak = children_peak_bytes();
    // The match lists kept between passes are reserved on top, from what
    // the (default, large) limit leaves.
    const int64_t need = run_memory_bytes(side, side, int64_t(file.size()));
    // So are the two threads' parser states and the lists they find side by
    // side before those join the store.
    const int64_t threads = parse_threads_bytes(2, side, side);
    ASSERT_EQ(parse_threads_within(2, side, side, need, memory_limit_bytes(0)), 2);
    const int64_t store = match_store_budget(side, side, need + threads, memory_limit_bytes(0), 1);
    ASSERT_GT(store, 0);
    // The parser's working state is allocated without being cleared, so the
    // one-pixel run leaves most of its pages untouched and this run brings
    // them in: it is part of the growth, and of the fixed share of the need.
    const int64_t parser = int64_t(sizeof(Lz77State));
    EXPECT_LE(peak - base, 12 * int64_t(side) * side + 2 * int64_t(file.size()) + store + threads + parser)
        << (peak - base) / double(side * side) << " bytes per pixel";
    EXPECT_LE(peak, need + store + threads);
    const Bytes png = read_file(dir.file("big.png"));
    EXPECT_EQ(png[25], bytes_per_pixel == 4 ? 6 : 2);  // the IHDR colour type
    EXPECT_TRUE(png_shows(png, int32_t(side), int32_t(side), pixels));
    // A limit that leaves no room for the lists gives the same bytes.
    const std::string tight = "-l" + std::to_string((need >> 20) + 1);
    ASSERT_LT(match_store_budget(side, side, need, ((need >> 20) + 1) << 20, 1), store);
    const CommandResult t = run_tool(dir, {"-q", "-y", tight, "big.tga", "tight.png"});
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(read_file(dir.file("tight.png")), png);
  }
}

}  // namespace
