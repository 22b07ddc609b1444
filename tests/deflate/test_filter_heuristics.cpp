// The magnitude-sum and trial-parse row choices: each must pick the filter
// that plainly wins on rows made for it, keep Average off first rows, and
// leave the trial stream's chains as they were after a trial.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "deflate/filter_heuristics.h"
#include "deflate/filters.h"

namespace {

constexpr int32_t kUnit = 3;

// A raw row and the row above, each behind kUnit zero guard bytes.
struct RowPair {
  std::vector<uint8_t> raw, up;
  const uint8_t* raw_row() const { return raw.data() + kUnit; }
  const uint8_t* up_row() const { return up.data() + kUnit; }
};

enum class Shape { ramp, copy_of_above, flat, noise };

RowPair make_rows(Shape shape, int32_t n) {
  RowPair r{std::vector<uint8_t>(size_t(n + kUnit), 0), std::vector<uint8_t>(size_t(n + kUnit), 0)};
  uint32_t state = 7;
  for (int32_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const uint8_t noise = uint8_t(state >> 24);
    r.up[size_t(kUnit + i)] = noise;
    switch (shape) {
      case Shape::ramp:  // each unit 5 above the one on its left: Sub makes it all 5s
        r.raw[size_t(kUnit + i)] = uint8_t(5 * (i / kUnit + 1));
        break;
      case Shape::copy_of_above:
        r.raw[size_t(kUnit + i)] = noise;
        break;
      case Shape::flat:
        r.raw[size_t(kUnit + i)] = 0;
        break;
      case Shape::noise:
        r.raw[size_t(kUnit + i)] = uint8_t(noise ^ 0x5A);
        break;
    }
  }
  return r;
}

struct ChoiceCase {
  Shape shape;
  bool first_row;
  int32_t expected;  // -1: any filter but Average on a first row
};

class HeuristicChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(HeuristicChoice, PicksTheFilterThatPlainlyWins) {
  const ChoiceCase& c = GetParam();
  const int32_t n = 48;
  const RowPair rows = make_rows(c.shape, n);
  const size_t row = size_t(n) + 1;
  std::vector<uint8_t> out(row), scratch(row), expect(row - 1);

  const int32_t by_sum =
      choose_filter_min_sum(rows.raw_row(), rows.up_row(), n, kUnit, c.first_row, out.data(), scratch.data());
  FilterTrials* trials = filter_trials_create();
  ASSERT_NE(trials, nullptr);
  ASSERT_EQ(filter_trials_begin(trials, 4, n), 0);
  // A row before gives the trial prices something to learn from.
  std::vector<uint8_t> first(size_t(n + 1));
  const RowPair warm = make_rows(Shape::noise, n);
  ASSERT_GE(choose_filter_trial(trials, warm.raw_row(), warm.up_row(), n, kUnit, true, first.data()), 0);
  std::vector<uint8_t> out_trial(size_t(n + 1));
  const int32_t by_trial =
      choose_filter_trial(trials, rows.raw_row(), rows.up_row(), n, kUnit, c.first_row, out_trial.data());
  filter_trials_destroy(trials);

  for (const auto& [chosen, bytes] : {std::pair{by_sum, out}, std::pair{by_trial, out_trial}}) {
    ASSERT_GE(chosen, 0);
    ASSERT_LE(chosen, 4);
    if (c.expected >= 0) {
      EXPECT_EQ(chosen, c.expected);
    }
    // The row written is the chosen filter's, type byte first.
    const int32_t applied = applied_filter(chosen, c.first_row);
    EXPECT_EQ(bytes[0], applied);
    apply_filter(applied, rows.raw_row(), rows.up_row(), n, kUnit, expect.data());
    EXPECT_EQ(0, std::memcmp(bytes.data() + 1, expect.data(), size_t(n)));
    EXPECT_FALSE(c.first_row && bytes[0] == 3);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HeuristicChoice,
                         ::testing::Values(ChoiceCase{Shape::ramp, false, 1}, ChoiceCase{Shape::ramp, true, 1},
                                           ChoiceCase{Shape::copy_of_above, false, 2},
                                           ChoiceCase{Shape::flat, false, 0}, ChoiceCase{Shape::flat, true, 0},
                                           ChoiceCase{Shape::noise, true, -1}));

TEST(FilterTrials, RefusesRowsBeyondWhatBeginAnnounced) {
  FilterTrials* trials = filter_trials_create();
  ASSERT_NE(trials, nullptr);
  const int32_t n = 9;
  const RowPair rows = make_rows(Shape::noise, n);
  std::vector<uint8_t> out(size_t(n + 1));
  ASSERT_EQ(filter_trials_begin(trials, 2, n), 0);
  EXPECT_GE(choose_filter_trial(trials, rows.raw_row(), rows.up_row(), n, kUnit, true, out.data()), 0);
  EXPECT_GE(choose_filter_trial(trials, rows.raw_row(), rows.up_row(), n, kUnit, false, out.data()), 0);
  EXPECT_EQ(choose_filter_trial(trials, rows.raw_row(), rows.up_row(), n, kUnit, false, out.data()), -1);
  // A new pass starts over and makes the same choices.
  ASSERT_EQ(filter_trials_begin(trials, 1, n), 0);
  EXPECT_GE(choose_filter_trial(trials, rows.raw_row(), rows.up_row(), n, kUnit, true, out.data()), 0);
  filter_trials_destroy(trials);
}

}  // namespace
