// A fast request codes its rounded grid without checking every sample
// first: the grid it takes must be the one the checked search returns
// wherever that one holds, and where it misses the bound, the unit the
// request ends with must still meet it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_choice.hpp"
#include "quillmere_tools/integer_unit.hpp"
#include "quillmere_tools/quantised_grid.hpp"

namespace quillmere_tools {
namespace {

// Integers a resonance rings through, over 2^15: samples on a power-of-two
// grid, as 16-bit audio read into float32 is.
std::vector<float> on_audio_grid(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 300.0);
  std::vector<float> x(n);
  double y1 = 0.0, y2 = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double y = 1.8 * y1 - 0.9 * y2 + noise(rng);
    y2 = y1;
    y1 = y;
    x[i] = static_cast<float>(std::clamp(std::round(y), -32768.0, 32767.0) / 32768.0);
  }
  return x;
}

// Uniform float32 values about `centre`: about zero they lie on no grid of
// 33 bits; far from it, on the float32 resolution there.
std::vector<float> off_any_grid(std::size_t n, float centre, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> any(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = centre + any(rng);
  return x;
}

double range_of(const std::vector<float>& x) {
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  return static_cast<double>(*hi) - static_cast<double>(*lo);
}

double worst_error(const std::vector<float>& x, const std::vector<std::uint8_t>& unit) {
  const auto y = decode_unit(unit);
  EXPECT_TRUE(y.has_value()) << (y ? "" : y.error().message);
  if (!y || y->f32.size() != x.size()) return INFINITY;
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    worst = std::max(worst, std::fabs(static_cast<double>(y->f32[i]) - static_cast<double>(x[i])));
  }
  return worst;
}

struct GridCase {
  const char* what;
  std::vector<float> x;
};

class FirstQuantisedGrid : public ::testing::TestWithParam<double> {};

// Where the checked search settles on another grid, the first one must
// miss the bound when coded.
TEST_P(FirstQuantisedGrid, IsTheCheckedGridWhereverThatOneHolds) {
  const double fraction = GetParam();
  const GridCase cases[] = {{"audio grid", on_audio_grid(20000, 1)},
                            {"no grid", off_any_grid(20000, 0.0f, 2)},
                            {"no grid, far from zero", off_any_grid(20000, 3000.0f, 3)}};
  for (const GridCase& c : cases) {
    const SignalView view = std::span<const float>(c.x);
    const auto exact = find_grid(view, std::nullopt);
    const double bound = fraction * range_of(c.x);
    const auto first = first_quantised_grid(view, bound, exact);
    const auto checked = quantised_grid(view, bound, exact);
    ASSERT_EQ(first.has_value(), checked.has_value()) << c.what << " at " << fraction;
    if (!first) continue;
    if (first->step == checked->step && first->offset == checked->offset) continue;
    const auto unit = encode_integer_unit(view, *first, std::nullopt, IntegerEffort::Lean);
    ASSERT_TRUE(unit.has_value());
    EXPECT_GT(unit->report.max_error, bound) << c.what << " at " << fraction << ": a grid that holds was passed over";
  }
}

INSTANTIATE_TEST_SUITE_P(Bounds, FirstQuantisedGrid, ::testing::Values(3e-4, 1e-3, 1e-2, 3e-2));

TEST(UncheckedGrid, AFastRequestPlansItAndAThoroughOneChecks) {
  const auto x = on_audio_grid(20000, 4);
  const SignalView view = std::span<const float>(x);
  UnitRequest r;
  r.integer = IntegerUse::Compare;
  r.bounds.max_error = 1e-3 * range_of(x);
  for (const SearchEffort effort : {SearchEffort::Thorough, SearchEffort::Fast}) {
    r.effort = effort;
    const auto plan = plan_integer(view, r);
    ASSERT_TRUE(plan.has_value() && plan->has_value());
    EXPECT_EQ((*plan)->unchecked, effort == SearchEffort::Fast);
    const auto before = plan_integer(view, r, GridCheck::Before);
    ASSERT_TRUE(before.has_value() && before->has_value());
    EXPECT_FALSE((*before)->unchecked);
    EXPECT_EQ((*before)->grid.step, (*plan)->grid.step);
  }
}

TEST(UncheckedGrid, AMissIsPlannedAgainAndTheUnitMeetsTheBound) {
  // Near 3000 a float32 sample's resolution is 2^-12: rounding the decoded
  // value to it adds up to 2^-13, more than the step's margin under a bound
  // of 1 % of the range, so the first grid misses on some samples.
  const auto x = off_any_grid(4000, 3000.0f, 5);
  const SignalView view = std::span<const float>(x);
  const double bound = 0.01 * range_of(x);
  const auto first = first_quantised_grid(view, bound, find_grid(view, std::nullopt));
  ASSERT_TRUE(first.has_value());
  const auto missing = encode_integer_unit(view, *first, std::nullopt, IntegerEffort::Lean);
  ASSERT_TRUE(missing.has_value());
  ASSERT_GT(missing->report.max_error, bound) << "the case must miss at its first grid";
  for (const IntegerUse use : {IntegerUse::Compare, IntegerUse::Auto}) {
    UnitRequest r;
    r.integer = use;
    r.effort = SearchEffort::Fast;
    r.bounds.max_error = bound;
    const auto unit = encode_unit(view, r);
    ASSERT_TRUE(unit.has_value()) << unit.error().message;
    EXPECT_LE(worst_error(x, unit->bytes), bound);
  }
  // Asked for the integer coder alone, the fast request ends with the unit
  // of the grid the checked search finds, not with the miss.
  UnitRequest only;
  only.integer = IntegerUse::Only;
  only.effort = SearchEffort::Fast;
  only.bounds.max_error = bound;
  const auto before = plan_integer(view, only, GridCheck::Before);
  ASSERT_TRUE(before.has_value() && before->has_value());
  ASSERT_NE((*before)->grid.step, first->step);
  const auto want = encode_integer_unit(view, (*before)->grid, std::nullopt, (*before)->effort);
  const auto fast = encode_unit(view, only);
  ASSERT_TRUE(want.has_value() && fast.has_value()) << (fast ? "" : fast.error().message);
  EXPECT_EQ(fast->bytes, want->bytes);
  EXPECT_LE(worst_error(x, fast->bytes), bound);
}

}  // namespace
}  // namespace quillmere_tools
