// Blocks of a pass parsed side by side (and a recording pass's lists found
// side by side) must write the bytes and messages of the parse in order
// whatever the thread count, and must really be parsed side by side where
// they can be: a case that quietly fell back to the parse in order would
// prove nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "encode/encode_png.h"
#include "tests/encode/pictures.h"
#include "tests/support/encode_harness.h"

namespace {

struct ParallelCase {
  const char* name;
  TestPicture picture;
  int32_t colour_type;
  std::function<void(EncodeOptions&)> tweak;
  bool side_by_side;  // some pass must have been parsed side by side
};

TEST(ParallelParse, BlocksParsedSideBySideWriteTheBytesOfTheParseInOrder) {
  const TestPicture shaded = large_scene(420, 300, false);
  const TestPicture flat = large_scene(300, 600, false, true);
  const std::vector<ParallelCase> cases = {
      {"threshold_split", shaded, 2, [](EncodeOptions& o) { o.block_threshold = 64.0; }, true},
      {"exact_blocks_rgba", shaded, 6, [](EncodeOptions& o) { o.exact_block_count = 8; }, true},
      {"intense", shaded, 2,
       [](EncodeOptions& o) {
         o.strategy = 1;
         o.exact_block_count = 5;
       },
       true},
      {"shared_lists_before_a_block", flat, 2, [](EncodeOptions& o) { o.exact_block_count = 6; }, true},
      // The palette moves between passes, so some passes see other bytes
      // than the store holds and must be parsed in order from the point
      // where they part.
      {"palette_reordered", large_scene(360, 240, true), 3,
       [](EncodeOptions& o) {
         o.filter = 0;
         o.exact_block_count = 4;
       },
       false},
      // Lists beyond the store's bound are not held: the parse in order.
      {"store_cut", shaded, 2,
       [](EncodeOptions& o) {
         o.exact_block_count = 4;
         o.match_store_limit = 150000;
       },
       false},
      {"one_block", shaded, 2, [](EncodeOptions& o) { o.block_threshold = 0.0; }, false},
  };
  for (const ParallelCase& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodeRun in_order = run_encoder(c.picture, c.colour_type, c.tweak);
    ASSERT_TRUE(lossless(c.picture, in_order));
    EXPECT_EQ(in_order.options.parallel_passes, 0);
    EXPECT_EQ(in_order.options.parallel_lists, 0);
    for (int32_t threads : {2, 3}) {
      SCOPED_TRACE(threads);
      const EncodeRun run = run_encoder(c.picture, c.colour_type, [&](EncodeOptions& o) {
        c.tweak(o);
        o.parse_threads = threads;
      });
      EXPECT_EQ(run.result, in_order.result);
      EXPECT_TRUE(run.png == in_order.png);
      EXPECT_EQ(without_timing(run.messages), without_timing(in_order.messages));
      if (c.side_by_side) {
        EXPECT_GT(run.options.parallel_passes, 0);
        EXPECT_GT(run.options.parallel_lists, 0);
      } else if (std::string(c.name) != "palette_reordered") {
        EXPECT_EQ(run.options.parallel_passes, 0);
      }
    }
  }
}

}  // namespace
