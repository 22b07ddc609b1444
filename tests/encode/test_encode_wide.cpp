// The 16-bit encode on pictures built here: the colour form it settles on,
// and libpng reading back every sample.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "encode/encode_png.h"
#include "encode/encode_wide.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle16.h"
#include "tests/support/print_capture.h"

namespace {

struct WidePicture {
  int32_t width = 0, height = 0;
  std::vector<uint16_t> samples;  // R, G, B, A
  std::vector<uint32_t> pixels;   // high bytes, as the driver hands them along
};

// A gradient whose low bytes differ from the high ones, so 8 bits can't hold it.
WidePicture gradient(int32_t w, int32_t h, bool gray) {
  WidePicture p;
  p.width = w;
  p.height = h;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint16_t r = uint16_t(x * 1031 + y * 7), g = gray ? r : uint16_t(y * 977 + 3), b = gray ? r : uint16_t(x * y * 13);
      p.samples.insert(p.samples.end(), {r, g, b, 0xFFFF});
    }
  return p;
}

struct WideRun {
  int32_t result = kNoPng;
  std::vector<uint8_t> png;
  std::string messages;
};

WideRun encode_wide(WidePicture& p, int32_t colour_type = -1, int32_t bit_depth = -1, int32_t filter = -1) {
  p.pixels.assign(size_t(p.width) * p.height, 0);
  for (size_t i = 0; i < p.pixels.size(); ++i) {
    const uint16_t* s = &p.samples[i * 4];
    p.pixels[i] = uint32_t(s[3] >> 8) << 24 | uint32_t(s[0] >> 8) << 16 | uint32_t(s[1] >> 8) << 8 | s[2] >> 8;
  }
  EncodeOptions o{};
  o.pixels = p.pixels.data();
  o.pitch = p.width * 4;
  o.width = p.width;
  o.height = p.height;
  o.wide_pixels = p.samples.data();
  o.colour_type = colour_type;
  o.bit_depth = bit_depth;
  o.filter = filter;
  o.block_threshold = 256.0;
  o.print = capture_printer();
  captured_messages().clear();
  WideRun run;
  run.result = encode_png(&o);
  run.messages = captured_messages();
  if (run.result != kNoPng && o.kbuf) run.png.assign(o.kbuf, o.kbuf + run.result);
  std::free(o.kbuf);
  return run;
}

struct FormCase {
  const char* name;
  void (*shape)(WidePicture*);
  int colour_type;
  bool trns;
};

void keep(WidePicture*) {}
void half_alpha(WidePicture* p) { p->samples[3] = 0x8001; }
void one_clear(WidePicture* p) { p->samples[3] = 0; }
// Two clear pixels of different colours: no one key stands for both.
void two_clear_colours(WidePicture* p) {
  p->samples[3] = 0;
  p->samples[7] = 0;
}
// The clear colour also shows opaque elsewhere: a key would hide that pixel.
void key_colour_also_opaque(WidePicture* p) {
  for (int k = 0; k < 3; ++k) p->samples[4 + k] = p->samples[k];
  p->samples[3] = 0;
}

class WideForms : public ::testing::TestWithParam<std::tuple<FormCase, bool>> {};

TEST_P(WideForms, SmallestSixteenBitFormAndEverySampleBack) {
  const FormCase& c = std::get<0>(GetParam());
  const bool gray = std::get<1>(GetParam());
  WidePicture p = gradient(37, 11, gray);
  c.shape(&p);
  ASSERT_FALSE(wide_fits_8_bits(p.samples.data(), p.width, p.height));
  const WideRun run = encode_wide(p);
  ASSERT_NE(run.result, kNoPng) << run.messages;
  OraclePicture16 back;
  std::string error;
  ASSERT_TRUE(libpng_decode16(run.png, &back, &error)) << error;
  const int want = gray ? (c.colour_type == 6 ? 4 : 0) : c.colour_type;
  EXPECT_EQ(back.colour_type, want);
  EXPECT_EQ(back.bit_depth, 16);
  EXPECT_EQ(back.has_trns, c.trns);
  EXPECT_EQ(back.samples, p.samples);
}

const FormCase kForms[] = {{"opaque", keep, 2, false},
                           {"translucent", half_alpha, 6, false},
                           {"one_clear_colour", one_clear, 2, true},
                           {"two_clear_colours", two_clear_colours, 6, false},
                           {"key_colour_also_opaque", key_colour_also_opaque, 6, false}};

INSTANTIATE_TEST_SUITE_P(Forms, WideForms, ::testing::Combine(::testing::ValuesIn(kForms), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_gray" : "_colour");
                         });

// Every filter choice, including the trial parse, round-trips at 16 bits,
// where a pixel is 2 to 8 bytes to the left.
TEST(WideEncode, EveryFilterRoundTrips) {
  for (int32_t filter = 0; filter <= 7; ++filter)
    for (int32_t type : {0, 2, 4, 6}) {
      WidePicture p = gradient(19, 7, type == 0 || type == 4);
      p.samples[3] = 0x1234;
      if (type == 0 || type == 2) p.samples[3] = 0xFFFF;
      const WideRun run = encode_wide(p, type, -1, filter);
      ASSERT_NE(run.result, kNoPng) << filter << " " << type << run.messages;
      OraclePicture16 back;
      ASSERT_TRUE(libpng_decode16(run.png, &back));
      EXPECT_EQ(back.colour_type, type);
      EXPECT_EQ(back.samples, p.samples) << "filter " << filter << " type " << type;
    }
}

TEST(WideEncode, RefusesFormsThatDropBits) {
  WidePicture p = gradient(8, 8, false);
  p.samples[3] = 0x7777;
  struct Case {
    int colour_type, bit_depth;
    const char* message;
  } cases[] = {{-1, 8, "8 bits would not hold exactly"}, {-1, 1, "1 bits would not hold exactly"},
               {3, -1, "a palette would not hold exactly"}, {2, -1, "requires full alpha"},
               {4, -1, "is not grayscale"}, {0, -1, "requires full alpha; is not grayscale"}};
  for (const Case& c : cases) {
    const WideRun run = encode_wide(p, c.colour_type, c.bit_depth);
    EXPECT_EQ(run.result, kNoPng) << c.message;
    EXPECT_NE(run.messages.find(c.message), std::string::npos) << run.messages;
  }
  // Depth 0 asks for the smallest depth that fits, which is 16.
  EXPECT_NE(encode_wide(p, -1, 0).result, kNoPng);
}

TEST(WideEncode, EightBitTestLooksAtEverySample) {
  std::vector<uint16_t> s(4 * 6, 0x4343);
  EXPECT_TRUE(wide_fits_8_bits(s.data(), 3, 2));
  s.back() = 0x4344;
  EXPECT_FALSE(wide_fits_8_bits(s.data(), 3, 2));
  s.back() = 0x4343;
  s[1] = 0x0043;
  EXPECT_FALSE(wide_fits_8_bits(s.data(), 3, 2));
}

}  // namespace
