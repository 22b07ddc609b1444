// Encodes and decodes side by side in threads give the same bytes, pixels
// and messages as each call alone: nothing an encode or a decode writes is
// shared. The ThreadSanitizer build of scripts/test.sh runs this program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "decode/picture.h"
#include "encode/encode_png.h"
#include "encode/search.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"
#include "tests/support/oracle.h"

namespace {

namespace fs = std::filesystem;

constexpr int kThreads = 6;

struct EncodeJob {
  std::string name;
  TestPicture picture;
  int32_t colour_type;
  std::function<void(EncodeOptions&)> tweak;
};

struct EncodeOutcome {
  int32_t result = kNoPng;
  std::vector<uint8_t> png;
  std::string messages;
  std::vector<uint32_t> palette;
  int32_t colour_type = -1, bit_depth = -1, filter = -1;
};

bool operator==(const EncodeOutcome& a, const EncodeOutcome& b) {
  return a.result == b.result && a.png == b.png && a.messages == b.messages && a.palette == b.palette &&
         a.colour_type == b.colour_type && a.bit_depth == b.bit_depth && a.filter == b.filter;
}

// Messages go to this encode's own text, never to the shared capture buffer.
EncodeOutcome encode(const EncodeJob& job) {
  EncodeOutcome out;
  EncodeOptions o = default_options(job.picture, job.colour_type);
  if (job.tweak) job.tweak(o);
  o.print = print_into(&out.messages);
  out.result = encode_png(&o);
  if (out.result != kNoPng && o.kbuf) out.png.assign(o.kbuf, o.kbuf + std::min(out.result, o.kbuf_capacity));
  out.palette.assign(o.chosen_palette, o.chosen_palette + o.chosen_palette_count);
  out.colour_type = o.chosen_colour_type;
  out.bit_depth = o.chosen_bit_depth;
  out.filter = o.chosen_filter;
  std::free(o.kbuf);
  return out;
}

std::vector<EncodeJob> encode_jobs() {
  std::vector<EncodeJob> jobs;
  const TestPicture rgb = rgb_picture(48, 40, true);
  const TestPicture alpha = alpha_picture(40, 32, false);
  const TestPicture gray_alpha = alpha_picture(33, 21, true);
  const TestPicture palette = palette_picture(37, 29, 40, {255, 128, 0});
  const TestPicture gray = gray_picture(31, 23, {0, 17, 51, 68, 119, 255}, -1);
  jobs.push_back({"rgb_xtreme", rgb, 2, nullptr});
  jobs.push_back({"rgb_intense_mixed_filters", rgb, 2, [](EncodeOptions& o) {
                    o.strategy = 1;
                    o.filter = 5;
                  }});
  jobs.push_back({"rgba_trial_parse_blocks", alpha, 6, [](EncodeOptions& o) {
                    o.filter = 7;
                    o.exact_block_count = 4;
                  }});
  jobs.push_back({"gray_alpha_longest_match", gray_alpha, 4, [](EncodeOptions& o) { o.strategy = 2; }});
  jobs.push_back({"palette_reordered", palette, 3, [](EncodeOptions& o) { o.filter = 0; }});
  jobs.push_back({"palette_kept_huffman_only", palette, 3, [](EncodeOptions& o) {
                    o.keep_palette = 1;
                    o.strategy = 3;
                  }});
  jobs.push_back({"gray_random_tables", gray, 0, [](EncodeOptions& o) {
                    o.randomize = 1;
                    o.random_seed = 12345;
                  }});
  jobs.push_back({"rgb_stored", rgb, 2, [](EncodeOptions& o) { o.strategy = 4; }});
  jobs.push_back({"rgba_least_sum_threshold", alpha, 6, [](EncodeOptions& o) {
                    o.filter = 6;
                    o.block_threshold = 64.0;
                    o.max_passes = 3;
                  }});
  return jobs;
}

struct DecodeOutcome {
  int32_t width = 0, height = 0, result = -2;
  std::vector<uint32_t> pixels;
  SourceInfo info{};
};

bool operator==(const DecodeOutcome& a, const DecodeOutcome& b) {
  const SourceInfo &x = a.info, &y = b.info;
  return a.width == b.width && a.height == b.height && a.result == b.result && a.pixels == b.pixels &&
         x.source_color_type == y.source_color_type && x.source_bit_depth == y.source_bit_depth &&
         std::equal(x.palette, x.palette + 256, y.palette) && x.palette_count == y.palette_count &&
         x.background == y.background && x.source_filter == y.source_filter && x.zlib_header == y.zlib_header &&
         x.deflate_block_count == y.deflate_block_count && x.incomplete == y.incomplete &&
         x.refusal == y.refusal && x.decoded_rows == y.decoded_rows;
}

DecodeOutcome decode(const std::vector<uint8_t>& file) {
  DecodeOutcome out;
  const int32_t size = int32_t(file.size());
  probe_picture(file.data(), size, &out.width, &out.height);
  // Small pictures only: a hostile seed may claim a huge size.
  const int32_t w = std::clamp(out.width, 1, 512), h = std::clamp(out.height, 1, 512);
  out.pixels.assign(size_t(w) * size_t(h), 0);
  const DecodeTarget target = {out.pixels.data(), w * 4, w, h, 0, 0};
  out.result = decode_picture(file.data(), size, target, out.info);
  return out;
}

// A few seeds of every format, and some of the PNG test suite.
std::vector<std::vector<uint8_t>> decode_files() {
  std::vector<fs::path> paths;
  const fs::path seeds = fs::path(TESSEL_SOURCE_DIR) / "fuzz" / "seeds";
  for (const char* format : {"bmp", "dds", "gif", "jpeg", "pcx", "png", "tga"}) {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(seeds / format)) found.push_back(e.path());
    std::sort(found.begin(), found.end());
    found.resize(std::min<size_t>(found.size(), 4));
    paths.insert(paths.end(), found.begin(), found.end());
  }
  std::vector<fs::path> suite;
  for (const auto& e : fs::directory_iterator(fs::path(TESSEL_CORPUS_DIR) / "pngsuite"))
    if (e.path().extension() == ".png") suite.push_back(e.path());
  std::sort(suite.begin(), suite.end());
  for (size_t i = 0; i < suite.size(); i += 9) paths.push_back(suite[i]);
  std::vector<std::vector<uint8_t>> files;
  for (const fs::path& p : paths) {
    std::ifstream in(p, std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return files;
}

TEST(ConcurrentRuns, EncodesAndDecodesSideBySideMatchEachAlone) {
  const std::vector<EncodeJob> encodes = encode_jobs();
  const std::vector<std::vector<uint8_t>> files = decode_files();
  ASSERT_GT(files.size(), 20u);

  std::vector<EncodeOutcome> alone_encodes;
  for (const EncodeJob& job : encodes) {
    alone_encodes.push_back(encode(job));
    const EncodeOutcome& a = alone_encodes.back();
    ASSERT_NE(a.result, kNoPng) << job.name << a.messages;
    EXPECT_TRUE(png_shows(a.png, job.picture.width, job.picture.height, job.picture.pixels)) << job.name;
  }
  std::vector<DecodeOutcome> alone_decodes;
  for (const auto& f : files) alone_decodes.push_back(decode(f));

  // Every thread runs every job, each starting at another one, so that
  // different encodes and decodes overlap; each keeps its own results.
  const size_t jobs = encodes.size() + files.size();
  std::vector<std::vector<EncodeOutcome>> thread_encodes(kThreads, std::vector<EncodeOutcome>(encodes.size()));
  std::vector<std::vector<DecodeOutcome>> thread_decodes(kThreads, std::vector<DecodeOutcome>(files.size()));
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&, t] {
      for (size_t k = 0; k < jobs; ++k) {
        const size_t j = (k * 7 + size_t(t) * 5) % jobs;
        if (j < encodes.size())
          thread_encodes[size_t(t)][j] = encode(encodes[j]);
        else
          thread_decodes[size_t(t)][j - encodes.size()] = decode(files[j - encodes.size()]);
      }
    });
  }
  for (std::thread& t : pool) t.join();

  for (int t = 0; t < kThreads; ++t) {
    for (size_t i = 0; i < encodes.size(); ++i)
      EXPECT_TRUE(thread_encodes[size_t(t)][i] == alone_encodes[i]) << "thread " << t << ": " << encodes[i].name;
    for (size_t i = 0; i < files.size(); ++i)
      EXPECT_TRUE(thread_decodes[size_t(t)][i] == alone_decodes[i]) << "thread " << t << ": file " << i;
  }
}

// The search finishes its candidates on several workers at once; its bytes
// and messages are those of a search on one worker, also while other
// searches run beside it.
TEST(ConcurrentRuns, SearchesOnWorkersMatchOneWorker) {
  const std::vector<TestPicture> pictures = {rgb_picture(30, 20, false), palette_picture(25, 19, 20, {255, 0}),
                                             alpha_picture(21, 17, true)};
  auto search = [](const TestPicture& p, int32_t threads, std::string* messages) {
    EncodeOptions o = default_options(p, -1);
    o.print = PrintFn{};
    SearchRequest r{};
    r.level = 1;
    r.threads = threads;
    r.verbose = 1;
    r.print = print_into(messages);
    const int32_t size = search_png(&o, &r);
    std::vector<uint8_t> png;
    if (size != kNoPng) png.assign(o.kbuf, o.kbuf + size);
    std::free(o.kbuf);
    return png;
  };
  std::vector<std::vector<uint8_t>> alone(pictures.size());
  std::vector<std::string> alone_messages(pictures.size());
  for (size_t i = 0; i < pictures.size(); ++i) {
    alone[i] = search(pictures[i], 1, &alone_messages[i]);
    ASSERT_FALSE(alone[i].empty());
    EXPECT_TRUE(png_shows(alone[i], pictures[i].width, pictures[i].height, pictures[i].pixels));
  }
  std::vector<std::vector<uint8_t>> side(pictures.size());
  std::vector<std::string> side_messages(pictures.size());
  std::vector<std::thread> pool;
  for (size_t i = 0; i < pictures.size(); ++i)
    pool.emplace_back([&, i] { side[i] = search(pictures[i], 3, &side_messages[i]); });
  for (std::thread& t : pool) t.join();
  for (size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(side[i], alone[i]) << i;
    EXPECT_EQ(side_messages[i], alone_messages[i]) << i;
  }
}

}  // namespace
