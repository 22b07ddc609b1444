// Pinned hashes over a broad grid of pictures and options: every strategy,
// filter and colour type, forced depths, split thresholds and exact block
// counts, "-kp", "-r" with a fixed seed, zl121 mode, kept chunks, a short
// output buffer, verbose listings, rows longer than a stored block. Each case
// pins the size, the CRC-32 of the PNG and of the messages (the elapsed-time
// line left out). Refactors that must not move a byte run against this table;
// when a change is meant to alter output, TESSEL_REPIN=1 prints the new table.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"

namespace {

struct Pin {
  int32_t size;
  uint32_t png_crc;
  uint32_t message_crc;
};

struct HashCase {
  std::string name;
  TestPicture picture;
  int32_t colour_type;
  std::function<void(EncodeOptions&)> tweak;
  bool complete_png = true;  // false when the buffer is meant to be too small
};

uint32_t crc_of(const void* p, size_t n) { return uint32_t(crc32(0, static_cast<const Bytef*>(p), uInt(n))); }

// A picture wider than one stored block holds in a row (65535 bytes).
TestPicture long_rows() {
  TestPicture p = make_picture(17000, 2);
  uint32_t s = 11;
  for (size_t i = 0; i < p.pixels.size(); ++i)
    p.pixels[i] = 0xFF000000u | (uint32_t(i) & 0x3F) << 16 | (next_random(&s) & 0x0F) << 8 | 0x40;
  return p;
}

// Chunks the driver would keep, each a whole chunk from its length field on.
struct KeptChunks {
  std::vector<std::vector<uint8_t>> bytes;
  std::vector<const uint8_t*> pointers;
};

const KeptChunks& kept_chunks() {
  static const KeptChunks kept = [] {
    KeptChunks k;
    auto add = [&](const char* type, const std::string& text) {
      std::vector<uint8_t> c = {0, 0, 0, uint8_t(text.size())};
      c.insert(c.end(), type, type + 4);
      c.insert(c.end(), text.begin(), text.end());
      const uint32_t crc = crc_of(c.data() + 4, c.size() - 4);
      for (int s = 24; s >= 0; s -= 8) c.push_back(uint8_t(crc >> s));
      k.bytes.push_back(std::move(c));
    };
    add("gAMA", std::string("\0\0\xB1\x8F", 4));
    add("tEXt", std::string("Comment\0pinned", 14));
    add("zzZz", "after");
    for (const auto& c : k.bytes) k.pointers.push_back(c.data());
    return k;
  }();
  return kept;
}

std::vector<HashCase> hash_cases() {
  std::vector<HashCase> cases;
  auto add = [&](std::string name, TestPicture picture, int32_t type, std::function<void(EncodeOptions&)> tweak,
                 bool complete = true) {
    cases.push_back({std::move(name), std::move(picture), type, std::move(tweak), complete});
  };
  const TestPicture rgb = rgb_picture(48, 32, true, 41);
  const TestPicture rgba = alpha_picture(40, 24, false, 42);
  const TestPicture gray_alpha = alpha_picture(30, 30, true, 45);
  const TestPicture palette = palette_picture(64, 20, 40, {0xFF, 0x80}, 43);
  const TestPicture gray4 = gray_picture(37, 15, {0, 17, 68, 255}, 34, 44);
  const TestPicture gray1 = gray_picture(17, 9, {0, 255}, -1, 46);
  const TestPicture full_palette = palette_picture(40, 30, 256, {0xFF, 0x00, 0x80, 0xFF, 0xC0}, 47);

  for (int32_t strategy = 0; strategy <= 4; ++strategy) {
    for (int32_t filter : {0, 5}) {
      add("rgb_s" + std::to_string(strategy) + "_f" + std::to_string(filter), rgb, 2, [=](EncodeOptions& o) {
        o.strategy = strategy;
        o.filter = filter;
      });
      add("palette_s" + std::to_string(strategy) + "_f" + std::to_string(filter), palette, 3,
          [=](EncodeOptions& o) {
            o.strategy = strategy;
            o.filter = filter;
          });
    }
  }
  for (int32_t filter = 0; filter <= 5; ++filter) {
    const std::string f = std::to_string(filter);
    add("rgba_f" + f, rgba, 6, [=](EncodeOptions& o) { o.filter = filter; });
    add("gray_alpha_f" + f, gray_alpha, 4, [=](EncodeOptions& o) { o.filter = filter; });
    add("gray4_f" + f, gray4, 0, [=](EncodeOptions& o) { o.filter = filter; });
  }
  // Colour types other than the picture's own, and forced depths.
  add("rgb_as_rgba", rgb_picture(20, 20, false, 48), 6, nullptr);
  add("gray_as_rgb", gray4, 2, nullptr);
  add("palette_as_rgba", palette, 6, nullptr);
  add("gray1", gray1, 0, nullptr);
  add("gray1_as_palette", gray1, 3, nullptr);
  add("gray1_depth8", gray1, 0, [](EncodeOptions& o) { o.bit_depth = 8; });
  add("gray4_depth8", gray4, 0, [](EncodeOptions& o) { o.bit_depth = 8; });
  add("palette_depth8", palette_picture(12, 5, 3, {0xFF}, 49), 3, [](EncodeOptions& o) { o.bit_depth = 8; });
  add("full_palette", full_palette, 3, nullptr);
  add("full_palette_f5", full_palette, 3, [](EncodeOptions& o) { o.filter = 5; });
  // Split thresholds (-b) and exact block counts (-n).
  for (double threshold : {0.0, 16.0, 64.0, 1000.0}) {
    const std::string t = std::to_string(int(threshold));
    add("rgb_b" + t, rgb, 2, [=](EncodeOptions& o) { o.block_threshold = threshold; });
    add("rgba_b" + t + "_s1", rgba, 6, [=](EncodeOptions& o) {
      o.block_threshold = threshold;
      o.strategy = 1;
    });
  }
  for (int32_t blocks : {1, 2, 5, 17, 2000}) {
    const std::string n = std::to_string(blocks);
    add("rgb_n" + n, rgb, 2, [=](EncodeOptions& o) { o.exact_block_count = blocks; });
    add("palette_n" + n + "_s2", palette, 3, [=](EncodeOptions& o) {
      o.exact_block_count = blocks;
      o.strategy = 2;
    });
  }
  // "-kp": the input's palette order, with and without a reusable source
  // palette (each case's tweak holds its own copy, alive while the case is).
  const std::vector<uint32_t> source_palette = [] {
    std::vector<uint32_t> p(256, 0);
    const TestPicture pic = palette_picture(64, 20, 40, {0xFF, 0x80}, 43);
    for (int i = 0; i < 40; ++i) p[size_t(i)] = pic.pixels[size_t(39 - i)];
    return p;
  }();
  for (int32_t keep : {0, 1}) {
    add("palette_source_kp" + std::to_string(keep), palette, 3, [=](EncodeOptions& o) {
      o.source_palette = source_palette.data();
      o.source_palette_count = 40;
      o.keep_palette = keep;
    });
  }
  add("palette_kp_only", palette, 3, [](EncodeOptions& o) { o.keep_palette = 1; });
  // "-r" starting tables from fixed seeds.
  for (uint32_t seed : {1u, 12345u}) {
    for (int32_t strategy : {0, 1, 3}) {
      add("rgb_r" + std::to_string(seed) + "_s" + std::to_string(strategy), rgb, 2, [=](EncodeOptions& o) {
        o.randomize = 1;
        o.random_seed = seed;
        o.strategy = strategy;
      });
    }
  }
  add("gray4_zl121_s3", gray4, 0, [](EncodeOptions& o) {
    o.zl121_mode = 1;
    o.strategy = 3;
  });
  add("rgb_zl121", rgb, 2, [](EncodeOptions& o) { o.zl121_mode = 1; });
  add("rgb_background", rgb, 2, [](EncodeOptions& o) { o.background = 0xFF112233u; });
  add("gray4_background", gray4, 0, [](EncodeOptions& o) { o.background = 0xFF444444u; });
  const uint32_t palette_entry = palette.pixels[3];
  add("palette_background", palette, 3, [=](EncodeOptions& o) { o.background = 0xFF000000u | palette_entry; });
  for (int32_t strategy : {0, 4}) {
    add("palette_kept_s" + std::to_string(strategy), palette, 3, [=](EncodeOptions& o) {
      o.kept_chunks = kept_chunks().pointers.data();
      o.kept_before_plte = 1;
      o.kept_before_idat = 2;
      o.kept_count = 3;
      o.strategy = strategy;
    });
  }
  for (int32_t strategy : {0, 4}) {
    add("rgb_verbose_s" + std::to_string(strategy), rgb, 2, [=](EncodeOptions& o) {
      o.verbose = 1;
      o.strategy = strategy;
    });
  }
  add("rgb_verbose_n4", rgb, 2, [](EncodeOptions& o) {
    o.verbose = 1;
    o.exact_block_count = 4;
  });
  // A buffer smaller than the PNG: the size is still counted, and a buffer
  // the size of a PNG input makes the stored fall-back reallocate.
  add("rgb_capacity_100", rgb, 2, [](EncodeOptions& o) { o.kbuf_capacity = 100; }, false);
  add("rgb_capacity_s4", rgb, 2, [](EncodeOptions& o) {
    o.kbuf_capacity = 3000;
    o.strategy = 4;
  });
  const TestPicture wide = long_rows();
  for (int32_t strategy : {2, 3, 4}) {
    add("long_rows_s" + std::to_string(strategy), wide, 2, [=](EncodeOptions& o) {
      o.strategy = strategy;
      o.filter = 1;
    });
  }
  add("long_rows_rgba_s4", wide, 6, [](EncodeOptions& o) { o.strategy = 4; });
  // Long streams over many passes: the default run, the other list-based
  // strategy, split blocks, and a palette whose order moves between passes.
  const TestPicture scene = large_scene(420, 300, false);
  add("large_scene", scene, 2, nullptr);
  add("large_scene_s1", scene, 2, [](EncodeOptions& o) { o.strategy = 1; });
  add("large_scene_b64", scene, 2, [](EncodeOptions& o) { o.block_threshold = 64.0; });
  add("large_palette_f0", large_scene(360, 240, true), 3, [](EncodeOptions& o) { o.filter = 0; });
  // Four bytes a pixel over many passes, and a match store too small for the
  // whole stream: the passes replay its start and compute the rest.
  add("large_scene_rgba", scene, 6, nullptr);
  add("large_scene_store_cut", scene, 2, [](EncodeOptions& o) { o.match_store_limit = 150000; });
  add("large_scene_no_store", scene, 2, [](EncodeOptions& o) { o.match_store_limit = -1; });
  add("one_pixel", gray_picture(1, 1, {128}, -1), 0, nullptr);
  add("one_row_n3", rgb_picture(300, 1, false, 50), 2, [](EncodeOptions& o) { o.exact_block_count = 3; });
  return cases;
}

// Pinned values, by case name. Generated with TESSEL_REPIN=1.
const std::map<std::string, Pin>& pins() {
  static const std::map<std::string, Pin> table = {
#include "tests/encode/pinned_hashes.inc"
  };
  return table;
}

// A sanitized build runs every fourth case, spread over the whole grid: the
// bytes are the same in every build, and the Release run checks them all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kCaseStep = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kCaseStep = 4;
#else
constexpr size_t kCaseStep = 1;
#endif
#else
constexpr size_t kCaseStep = 1;
#endif

TEST(PinnedHashes, EveryCaseMakesThePinnedBytesAndMessages) {
  const bool repin = std::getenv("TESSEL_REPIN") != nullptr;
  const std::vector<HashCase> cases = hash_cases();
  std::string table;
  for (size_t i = 0; i < cases.size(); i += repin ? 1 : kCaseStep) {
    const HashCase& c = cases[i];
    SCOPED_TRACE(c.name);
    const EncodeRun run = run_encoder(c.picture, c.colour_type, c.tweak);
    if (c.complete_png) {
      EXPECT_TRUE(lossless(c.picture, run));
    } else {
      EXPECT_NE(run.result, kNoPng);
    }
    const std::string messages = without_timing(run.messages);
    const Pin got{run.result, crc_of(run.png.data(), run.png.size()), crc_of(messages.data(), messages.size())};
    char line[160];
    std::snprintf(line, sizeof line, "    {\"%s\", {%d, 0x%08xu, 0x%08xu}},\n", c.name.c_str(), got.size,
                  got.png_crc, got.message_crc);
    table += line;
    if (repin) continue;
    const auto it = pins().find(c.name);
    ASSERT_NE(it, pins().end()) << "no pin; run with TESSEL_REPIN=1";
    EXPECT_EQ(got.size, it->second.size);
    EXPECT_EQ(got.png_crc, it->second.png_crc) << line;
    EXPECT_EQ(got.message_crc, it->second.message_crc) << messages;
  }
  if (repin) std::printf("%s", table.c_str());
  EXPECT_EQ(pins().size(), repin ? pins().size() : cases.size());
}

}  // namespace
