// The quick and thorough search levels on pictures whose layout and parse
// choices matter (halves of different character, a palette cel, a gray
// ramp with noise): the output bytes are pinned, so a change to what the
// levels spend shows up here as a deliberate update of the table, and they
// must not depend on the worker count. Every output must be the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "encode/encode_png.h"
#include "encode/search.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

std::vector<uint8_t> searched(const TestPicture& p, int32_t level, int32_t threads) {
  EncodeOptions options = default_options(p, -1);
  SearchRequest r{};
  r.level = level;
  r.threads = threads;
  const int32_t size = search_png(&options, &r);
  std::vector<uint8_t> png;
  if (size != kNoPng) png.assign(options.kbuf, options.kbuf + size);
  std::free(options.kbuf);
  return png;
}

struct PinCase {
  std::string name;
  TestPicture picture;
};

std::vector<PinCase> pin_cases() {
  std::vector<PinCase> cases;
  uint32_t state = 7;
  {
    // Left half a smooth gradient, right half noise: the block split and the
    // per-block parses decide the size.
    TestPicture p = make_picture(160, 96);
    for (int32_t y = 0; y < 96; ++y)
      for (int32_t x = 0; x < 160; ++x) {
        const uint32_t v = x < 80 ? uint32_t(x * 3 + y) & 0xFF : next_random(&state) & 0xFF;
        p.pixels[size_t(y) * 160 + size_t(x)] = 0xFF000000u | v << 16 | uint32_t(y * 2) << 8 | (v ^ 0x55);
      }
    cases.push_back({"split_halves", p});
  }
  {
    // A cel of 12 colours in rectangles and stripes.
    TestPicture p = make_picture(120, 80);
    for (int32_t y = 0; y < 80; ++y)
      for (int32_t x = 0; x < 120; ++x) {
        const uint32_t k = uint32_t((x / 10 + y / 8) % 6 + (x + y) % 2 * 6);
        p.pixels[size_t(y) * 120 + size_t(x)] = 0xFF000000u | (k * 0x1F3A57u & 0xFFFFFF);
      }
    cases.push_back({"palette_cel", p});
  }
  {
    // Gray ramp with sparse noise and translucent corners.
    TestPicture p = make_picture(100, 100);
    for (int32_t y = 0; y < 100; ++y)
      for (int32_t x = 0; x < 100; ++x) {
        uint32_t g = uint32_t(x + y) & 0xFF;
        if ((next_random(&state) & 15) == 0) g ^= 0x0F;
        const uint32_t a = (x < 10 && y < 10) ? uint32_t(x * 20) : 0xFFu;
        p.pixels[size_t(y) * 100 + size_t(x)] = a << 24 | 0x010101u * g;
      }
    cases.push_back({"gray_alpha_ramp", p});
  }
  return cases;
}

struct Pin {
  const char* name;
  int32_t level;
  uint64_t hash;
  int32_t size;
};

// Update deliberately, with the reason in the commit, when a level's output changes on purpose.
constexpr Pin kPins[] = {
    {"split_halves", 1, 0x65d7624d823a3447ull, 14130},    {"split_halves", 2, 0x247c6e3266665328ull, 14120},
    {"palette_cel", 1, 0x2c89de6058d7a57full, 209},       {"palette_cel", 2, 0x952daa07492d145cull, 201},
    {"gray_alpha_ramp", 1, 0xfb41302fbc71fc8dull, 1587},  {"gray_alpha_ramp", 2, 0x754c364fa61e090full, 1560},
};

TEST(SearchPins, QuickAndThoroughLevelsKeepTheirBytesWhateverTheWorkers) {
  const std::vector<PinCase> cases = pin_cases();
  for (const Pin& pin : kPins) {
    const PinCase* c = nullptr;
    for (const PinCase& k : cases)
      if (k.name == pin.name) c = &k;
    ASSERT_NE(c, nullptr) << pin.name;
    const std::vector<uint8_t> one = searched(c->picture, pin.level, 1);
    ASSERT_FALSE(one.empty()) << pin.name << " -o" << pin.level;
    EXPECT_TRUE(png_shows(one, c->picture.width, c->picture.height, c->picture.pixels))
        << pin.name << " -o" << pin.level;
    EXPECT_EQ(searched(c->picture, pin.level, 2), one) << pin.name << " -o" << pin.level;
    char now[48];
    std::snprintf(now, sizeof now, "0x%016llxull, %d", (unsigned long long)fnv1a(one), int32_t(one.size()));
    EXPECT_TRUE(fnv1a(one) == pin.hash && int32_t(one.size()) == pin.size)
        << pin.name << " -o" << pin.level << " now makes " << now;
  }
}

// Pictures whose filtered stream passes 1 MiB rank their candidates on
// samples of rows, and only the pick is compressed in full: the result must
// still be the picture, pass the caller's check (nothing from the ranking
// is a PNG that was checked), list the sampled ranks and not depend on the
// workers.
struct Listing {
  std::string text;
};

int listing_print(void* user, const char* format, va_list args) {
  char line[512];
  const int n = std::vsnprintf(line, sizeof line, format, args);
  static_cast<Listing*>(user)->text += line;
  return n;
}

struct Checks {
  int32_t calls = 0;
  std::vector<uint8_t> last;
};

bool count_check(void* user, const uint8_t* png, int32_t size) {
  auto* c = static_cast<Checks*>(user);
  c->calls += 1;
  c->last.assign(png, png + size);
  return true;
}

TEST(SearchSampledRanking, LargePicturesRankOnSamplesAndStayExact) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a megabyte search takes minutes under the sanitizers; the Release run covers it";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "a megabyte search takes minutes under the sanitizers; the Release run covers it";
#endif
#endif
  // 640 x 560 RGB (1,075,760 filtered bytes, sampled as every other band
  // of 16 rows): the sampled bands one flat colour, the others six bits of
  // noise over a coarse gradient. The filters come out close on the noise
  // and equal on the samples, so the sampled sizes are far below the whole
  // streams' and the best are ranked again.
  const int32_t w = 640, h = 560;
  TestPicture p = make_picture(w, h);
  uint32_t state = 11;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t n = next_random(&state);
      const uint32_t r = (uint32_t(x / 64) + (n & 63)) & 0xFF;
      const uint32_t g = (uint32_t(y / 64) + (n >> 6 & 63)) & 0xFF;
      const uint32_t b = (n >> 12 & 63) | 0x80;
      p.pixels[size_t(y) * w + size_t(x)] = y / 16 % 2 == 0 ? 0xFF336699u : 0xFF000000u | r << 16 | g << 8 | b;
    }
  std::vector<uint8_t> outputs[2];
  for (int32_t threads : {1, 2}) {
    EncodeOptions options = default_options(p, -1);
    Listing listing;
    Checks checks;
    SearchRequest r{};
    r.level = 2;
    r.threads = threads;
    r.verbose = 1;
    r.print = PrintFn{listing_print, &listing};
    r.verify = count_check;
    r.verify_user = &checks;
    const int32_t size = search_png(&options, &r);
    ASSERT_NE(size, kNoPng);
    std::vector<uint8_t>& png = outputs[threads - 1];
    png.assign(options.kbuf, options.kbuf + size);
    std::free(options.kbuf);
    EXPECT_NE(listing.text.find("Ranked "), std::string::npos) << listing.text;
    EXPECT_GE(checks.calls, 1);
    EXPECT_EQ(checks.last, png) << "the result is the last PNG the check accepted";
    EXPECT_TRUE(png_shows(png, w, h, p.pixels));
    // Below the raw samples whatever was picked.
    EXPECT_LT(size, w * h * 3);
  }
  EXPECT_EQ(outputs[0], outputs[1]);

  // -o3 finishes the best ranked and a close runner-up: when the sample's
  // best were ranked again on their whole streams, those are the only ones
  // still in the running (a sample's size and a whole stream's do not
  // compare), so every candidate finished by the level-3 engine ("z3") was
  // among them ("z4").
  EncodeOptions options = default_options(p, -1);
  Listing listing;
  SearchRequest r{};
  r.level = 3;
  r.threads = 2;
  r.verbose = 1;
  r.print = PrintFn{listing_print, &listing};
  const int32_t size = search_png(&options, &r);
  ASSERT_NE(size, kNoPng);
  EXPECT_TRUE(png_shows(std::vector<uint8_t>(options.kbuf, options.kbuf + size), w, h, p.pixels));
  std::free(options.kbuf);
  std::vector<std::string> whole, last;
  size_t at = 0;
  while ((at = listing.text.find("Candidate ", at)) != std::string::npos) {
    const size_t end = listing.text.find('\n', at);
    const std::string line = listing.text.substr(at + 10, end - at - 10);
    const size_t z = line.find(" z");
    if (z != std::string::npos) (line[z + 2] == '4' ? whole : last).push_back(line.substr(0, z));
    at = end;
  }
  ASSERT_FALSE(whole.empty()) << "the picture's runner-up is no longer close enough to be ranked again\n"
                              << listing.text;
  ASSERT_FALSE(last.empty()) << listing.text;
  for (const std::string& l : last)
    EXPECT_NE(std::find(whole.begin(), whole.end(), l), whole.end()) << l << "\n" << listing.text;
}

}  // namespace
