// The scanline filter stage: every filter on every unit layout must give
// rows libpng reconstructs exactly; the first-row rules; the filter choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "deflate/filters.h"
#include "tests/support/oracle.h"
#include "tests/support/picture_builder.h"
#include "tests/support/print_capture.h"

namespace {

using Palette = std::vector<uint32_t>;

int32_t find_in_palette(void* user, uint32_t pixel) {
  const Palette& p = *static_cast<const Palette*>(user);
  const auto at = std::find(p.begin(), p.end(), pixel);
  return at == p.end() ? -1 : int32_t(at - p.begin());
}

struct Collected {
  std::vector<uint8_t> bytes;
  int finishes = 0;
  size_t bytes_at_finish = 0;
};

void collect_feed(void* user, const uint8_t* bytes, int32_t n) {
  auto* c = static_cast<Collected*>(user);
  c->bytes.insert(c->bytes.end(), bytes, bytes + n);
}

void collect_finish(void* user) {
  auto* c = static_cast<Collected*>(user);
  c->finishes += 1;
  c->bytes_at_finish = c->bytes.size();
}

struct Picture {
  int32_t width, height, colour_type, bit_depth;
  std::vector<uint32_t> pixels;
  Palette palette;
};

Picture make_test_picture(int32_t colour_type, int32_t bit_depth, int32_t width, int32_t height,
                          uint32_t seed) {
  Picture p{width, height, colour_type, bit_depth, {}, {}};
  p.pixels.resize(size_t(width) * size_t(height));
  uint32_t s = seed;
  auto next = [&] {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  };
  if (colour_type == 3) {
    const int n = 1 << bit_depth;
    for (int k = 0; k < n; ++k) p.palette.push_back(0xFF000000u | (uint32_t(k) * 0x2F1B07u & 0xFFFFFF));
  }
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint32_t px;
      // Smooth with noise, so that every filter has something to predict.
      const uint32_t v = (uint32_t(x) * 3 + uint32_t(y) * 5 + (next() & 3)) & 0xFF;
      switch (colour_type) {
        case 3:
          px = p.palette[(uint32_t(x + y) + (next() & 1)) % p.palette.size()];
          break;
        case 4:
          px = (255 - v) << 24 | v * 0x010101u;
          break;
        case 2:
          px = 0xFF000000u | v << 16 | ((v * 7) & 0xFF) << 8 | (next() & 0xFF);
          break;
        default:
          px = (next() & 0xFF) << 24 | v << 16 | ((v + 40) & 0xFF) << 8 | ((v * 3) & 0xFF);
          break;
      }
      p.pixels[size_t(y) * size_t(width) + size_t(x)] = px;
    }
  }
  return p;
}

RowFormat format_of(Picture& p) {
  return RowFormat{p.pixels.data(), p.width * 4, p.width,         p.height,
                   p.colour_type,   p.bit_depth, find_in_palette, &p.palette};
}

std::vector<uint8_t> png_from_filtered(const Picture& p, const std::vector<uint8_t>& filtered) {
  std::vector<std::vector<uint8_t>> chunks = {testpic::ihdr_chunk(
      uint32_t(p.width), uint32_t(p.height), uint8_t(p.bit_depth), uint8_t(p.colour_type))};
  std::vector<uint8_t> plte;
  for (uint32_t e : p.palette) plte.insert(plte.end(), {uint8_t(e >> 16), uint8_t(e >> 8), uint8_t(e)});
  if (p.colour_type == 3) chunks.push_back(testpic::png_chunk("PLTE", plte));
  chunks.push_back(testpic::idat_chunk(filtered, 6));
  chunks.push_back(testpic::png_chunk("IEND", {}));
  return testpic::png_file(chunks);
}

// Runs the filter stage over every row of p into the compressing sink; the
// row length (with the filter-type byte) goes to *row.
Collected filter_picture(Picture& p, int32_t filter, size_t* row) {
  const RowFormat format = format_of(p);
  FilterStage st;
  filter_stage_init(&st);
  Collected out;
  EXPECT_EQ(filter_stage_begin(&st, &format, filter, capture_printer()), 0);
  const CompressSink sink{&out, collect_feed, collect_finish};
  install_sink_compress(&st, &sink);
  for (int32_t y = 0; y < p.height; ++y) {
    EXPECT_EQ(out.finishes, 0);
    EXPECT_EQ(filter_row(&st, y), 0);
  }
  *row = size_t(st.row_bytes) + 1;
  filter_stage_free(&st);
  return out;
}

struct FilterCase {
  int32_t colour_type, bit_depth, width, filter;
};

std::string case_name(const FilterCase& c) {
  return "t" + std::to_string(c.colour_type) + "_d" + std::to_string(c.bit_depth) + "_w" +
         std::to_string(c.width) + "_f" + std::to_string(c.filter);
}

std::vector<FilterCase> filter_cases() {
  std::vector<FilterCase> cases;
  for (int32_t f = 0; f <= kFilterTrial; ++f) {
    for (int32_t t : {2, 4, 6}) {
      for (int32_t w : {1, 2, 7}) cases.push_back({t, 8, w, f});
    }
    for (int32_t d : {1, 2, 4, 8}) {
      for (int32_t w : {1, 3, 5, 9, 17}) cases.push_back({3, d, w, f});
    }
  }
  return cases;
}

class FilterRoundTrip : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterRoundTrip, LibpngReconstructsTheRows) {
  const FilterCase& fc = GetParam();
  Picture p =
      make_test_picture(fc.colour_type, fc.bit_depth, fc.width, 6, uint32_t(fc.width * 31 + fc.filter));
  size_t row = 0;
  const Collected out = filter_picture(p, fc.filter, &row);
  EXPECT_EQ(out.finishes, 1);
  EXPECT_EQ(out.bytes_at_finish, out.bytes.size());
  ASSERT_EQ(out.bytes.size(), row * size_t(p.height));
  for (int32_t y = 0; y < p.height; ++y) {
    const uint8_t type = out.bytes[size_t(y) * row];
    if (fc.filter < 5) {
      EXPECT_EQ(type, (fc.filter == 3 && y == 0) ? 1 : fc.filter) << "row " << y;
    } else {
      EXPECT_LE(type, 4);
      EXPECT_TRUE(y > 0 || type != 3);
    }
  }
  EXPECT_TRUE(png_shows(png_from_filtered(p, out.bytes), p.width, p.height, p.pixels));
}

INSTANTIATE_TEST_SUITE_P(Layouts, FilterRoundTrip, ::testing::ValuesIn(filter_cases()),
                         [](const auto& info) { return case_name(info.param); });

TEST(FilterStage, CollectingFiltersEveryRowAsAFirstRow) {
  Picture p = make_test_picture(6, 8, 5, 4, 9);
  const RowFormat format = format_of(p);
  for (int32_t f : {2, 3, 4}) {
    FilterStage st;
    filter_stage_init(&st);
    ASSERT_EQ(filter_stage_begin(&st, &format, f, capture_printer()), 0);
    std::vector<uint8_t> buffer(size_t(4 * p.width + 1) * size_t(p.height), 0xEE);
    install_sink_collect(&st, buffer.data(), int64_t(buffer.size()));
    for (int32_t y = 0; y < p.height; ++y) ASSERT_EQ(filter_row(&st, y), 0);
    EXPECT_EQ(st.row_index, 0);
    ASSERT_EQ(st.collect_count, int64_t(buffer.size()));
    std::vector<uint8_t> raw(size_t(4 * p.width));
    for (int32_t y = 0; y < p.height; ++y) {
      const uint8_t* row = buffer.data() + size_t(y) * (raw.size() + 1);
      EXPECT_EQ(row[0], f == 3 ? 1 : f);
      pack_row(&format, y, raw.data());
      if (f == 2) {
        EXPECT_EQ(0, std::memcmp(row + 1, raw.data(), raw.size())) << "Up from a zero row is the row";
      } else {
        // Paeth and Average from a zero row predict from the left only, as Sub does.
        EXPECT_EQ(uint8_t(row[5] + raw[0]), raw[4]);
      }
    }
    filter_stage_free(&st);
  }
}

TEST(FilterStage, PackedRowsEndWithZeroBits) {
  Picture p = make_test_picture(3, 4, 3, 1, 1);
  p.pixels = {p.palette[15], p.palette[1], p.palette[10]};
  const RowFormat format = format_of(p);
  uint8_t out[2];
  pack_row(&format, 0, out);
  EXPECT_EQ(out[0], 0xF1);
  EXPECT_EQ(out[1], 0xA0);
  p.bit_depth = 2;
  p.pixels = {p.palette[3], p.palette[1], p.palette[2]};
  const RowFormat two = format_of(p);
  pack_row(&two, 0, out);
  EXPECT_EQ(out[0], 0xD8);
}

TEST(EntropyCost, EdgeValues) {
  FilterStage st;
  filter_stage_init(&st);
  st.print = capture_printer();
  const int32_t kDearest = 0x7FFFFFFE;
  auto cost = [&](std::vector<int32_t> counts, int32_t total) {
    counts.resize(256);
    return entropy_cost(&st, counts.data(), total);
  };
  // One byte: ln 1 = 0 gives no scale, and every histogram costs the same.
  for (size_t b : {0, 7, 255}) {
    std::vector<int32_t> one(b + 1, 0);
    one[b] = 1;
    EXPECT_EQ(cost(one, 1), kDearest) << b;
  }
  EXPECT_EQ(cost({}, 0), kDearest);
  // All bytes equal is the cheapest a row can be (-1, or 0 where the table's
  // top entry rounds down); all distinct the dearest.
  for (int32_t n : {2, 3, 100, 256}) {
    std::vector<int32_t> same(43, 0);
    same[42] = n;
    EXPECT_LE(cost(same, n), 0) << n;
    EXPECT_GE(cost(same, n), -1) << n;
    EXPECT_EQ(cost(std::vector<int32_t>(size_t(n), 1), n), kDearest) << n;
  }
  // Fewer distinct values cost less, and the table follows the row length.
  const int32_t three_one = cost({3, 1}, 4);
  EXPECT_LT(three_one, cost({2, 1, 1}, 4));
  EXPECT_GT(cost({4, 4}, 8), -1);
  EXPECT_EQ(cost({3, 1}, 4), three_one);
  filter_stage_free(&st);
}

// Filter 5's choice per row, read back from the filter-type bytes.
std::vector<uint8_t> chosen_filters(Picture& p) {
  size_t row = 0;
  const Collected out = filter_picture(p, 5, &row);
  std::vector<uint8_t> types;
  for (int32_t y = 0; y < p.height; ++y) types.push_back(out.bytes[size_t(y) * row]);
  return types;
}

TEST(FilterChoice, TiesGoToTheLowerFilterOneByteRowsToNone) {
  // A ramp: on the first row Sub, Average (as Sub) and Paeth give the same
  // bytes, so Sub is chosen; the repeated second row ties Up and Paeth at all
  // zeros, so Up is chosen.
  Picture p = make_test_picture(6, 8, 16, 2, 1);
  for (int32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 0; x < 16; ++x) p.pixels[size_t(y) * 16 + x] = (x * 0x01010101u) * 3;
  }
  EXPECT_EQ(chosen_filters(p), (std::vector<uint8_t>{1, 2}));
  Picture column = make_test_picture(3, 8, 1, 5, 1);
  const auto& e = column.palette;
  column.pixels = {e[9], e[200], e[3], e[3], e[77]};
  EXPECT_EQ(chosen_filters(column), (std::vector<uint8_t>(5, 0)));
}

}  // namespace
