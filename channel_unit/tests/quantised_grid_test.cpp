// Rounded grids for max-error bounds: every decoded sample within the bound
// (checked through the real decoder), odd multiples of a source's own step,
// candidates given up rather than broken where the bound is too fine, and
// the size prediction that chooses between the integer and wavelet units.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_unit.hpp"
#include "quillmere_tools/quantised_grid.hpp"

namespace quillmere_tools {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

UnitRequest asking_integer(double max_error) {
  UnitRequest r;
  r.bounds.max_error = max_error;
  r.integer = IntegerUse::Only;
  return r;
}

template <class T>
double worst_error(const std::vector<T>& x, const std::vector<T>& y) {
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) continue;
    worst = std::max(worst, std::fabs(static_cast<double>(y[i]) - static_cast<double>(x[i])));
  }
  return worst;
}

struct Case {
  const char* name;
  double scale;     // magnitude of the samples
  double centre;    // where they sit
  double fraction;  // the bound as a share of the scale
};

class RoundedBound : public ::testing::TestWithParam<Case> {};

// Float32 sources far from zero (where the narrowing of the decoded value
// takes a sizeable share of the bound) and near it, with spikes and runs of
// non-finite samples, decoded through decode_unit.
TEST_P(RoundedBound, EverySampleDecodesWithinTheBound) {
  const Case c = GetParam();
  std::mt19937_64 rng(11);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<float> x(9000);
  double level = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    level += 0.05 * noise(rng);
    x[i] = static_cast<float>(c.centre + c.scale * (std::sin(static_cast<double>(i) / 37.0) + 0.2 * level));
  }
  x[100] = static_cast<float>(c.centre + 40.0 * c.scale);  // a spike
  x[101] = static_cast<float>(kNaN);
  x[4000] = static_cast<float>(-kInf);
  const double bound = c.fraction * c.scale;
  const auto unit = encode_unit(std::span<const float>(x), asking_integer(bound));
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  EXPECT_EQ(unit->bytes[14], kCoderInteger);
  const auto back = decode_unit(unit->bytes);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  ASSERT_EQ(back->f32.size(), x.size());
  EXPECT_LE(worst_error(x, back->f32), bound);
  EXPECT_EQ(unit->report.max_error, worst_error(x, back->f32));  // the report measured the decoder's output
  EXPECT_TRUE(std::isnan(back->f32[101]));
  EXPECT_EQ(back->f32[4000], -std::numeric_limits<float>::infinity());
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RoundedBound,
    ::testing::Values(Case{"unit", 1.0, 0.0, 1e-3}, Case{"tiny", 1e-30, 0.0, 1e-2},
                      Case{"offset", 1.0, 3000.0, 2e-3},   // ulp at 3000 is 0.05 % of the bound... and more
                      Case{"far", 10.0, 1e6, 0.05},        // ulp 0.0625 against a bound of 0.5
                      Case{"huge", 1e30, 0.0, 1e-4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuantisedGrid, Float64SourcesHoldTheBoundInFloat64) {
  std::vector<double> x(5000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1e9 + 1e-3 * std::sin(static_cast<double>(i) * 0.01);
  const double bound = 1e-6;
  const auto unit = encode_unit(std::span<const double>(x), asking_integer(bound));
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  const auto back = decode_unit(unit->bytes);
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(back->f64.size(), x.size());
  EXPECT_LE(worst_error(x, back->f64), bound);
}

TEST(QuantisedGrid, ASourceOnAGridRoundsToAnOddMultipleOfItsStep) {
  std::vector<float> x(4000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<float>(std::round(9000.0 * std::sin(static_cast<double>(i) / 13.0)) / 32768.0);
  }
  const auto exact = find_grid(std::span<const float>(x), std::nullopt);
  ASSERT_TRUE(exact.has_value());
  ASSERT_EQ(exact->step, 1.0 / 32768);
  // 3.4 steps: 7 steps between grid points, no sample more than 3 from one.
  const auto grid = quantised_grid(std::span<const float>(x), 3.4 / 32768, exact);
  ASSERT_TRUE(grid.has_value());
  EXPECT_EQ(grid->step, 7.0 / 32768);
  // Below one step of the source there is nothing to round: exactness is cheaper.
  EXPECT_FALSE(quantised_grid(std::span<const float>(x), 0.9 / 32768, exact).has_value());
}

TEST(QuantisedGrid, BoundsTooFineForThirtyThreeBitsOrNotNumbersAreGivenUp) {
  std::vector<double> x(1000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(static_cast<double>(i) * 0.1);
  const std::span<const double> s(x);
  for (double bound : {1e-12, 0.0, -1.0, kNaN, kInf, std::numeric_limits<double>::denorm_min()}) {
    EXPECT_FALSE(quantised_grid(s, bound, std::nullopt).has_value()) << bound;
  }
  // The integer coder asked for alone says why rather than coding something else.
  const auto refused = encode_unit(s, asking_integer(1e-12));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, UnitErrorKind::BadInput);
  // Left to the tools, the same bound goes to the wavelet layer, which meets it.
  UnitRequest r;
  r.bounds.max_error = 1e-12;
  const auto unit = encode_unit(s, r);
  if (unit) {
    EXPECT_NE(unit->bytes[14], kCoderInteger);
    EXPECT_LE(unit->report.max_error, 1e-12);
  } else {
    EXPECT_EQ(unit.error().kind, UnitErrorKind::TargetNotMet);
  }
}

TEST(QuantisedGrid, PredictedBitsGrowByOneWhenTheStepHalves) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> x(70000);  // long enough to be judged on a selection
  for (double& v : x) v = noise(rng);
  const std::span<const double> s(x);
  const double coarse = predict_integer_bits(s, IntegerGrid{0.1, 0.0, 0.1}, kManyStretches);
  const double fine = predict_integer_bits(s, IntegerGrid{0.05, 0.0, 0.05}, kManyStretches);
  EXPECT_NEAR(fine - coarse, 1.0, 0.1);
  // The coder's own stream of the same integers lands near the prediction,
  // which counts Rice codes: at most half a bit above it (the models the
  // prediction leaves out only do better), and below it by less than a bit
  // (rANS tables fit Gaussian residuals better than Rice codes do).
  const auto unit = encode_unit(s, asking_integer(0.05));
  ASSERT_TRUE(unit.has_value());
  const double coded = 8.0 * static_cast<double>(unit->bytes.size()) / static_cast<double>(x.size());
  const double predicted = predict_integer_bits(s, IntegerGrid{2.0 * (1.0 - 1.0 / 1024) * 0.05, 0.0, 0.1}, kManyStretches);
  EXPECT_LE(coded, predicted + 0.5);
  EXPECT_GE(coded, predicted - 1.0);
  const std::vector<double> flat(5000, 2.5);
  EXPECT_LE(predict_integer_bits(std::span<const double>(flat), IntegerGrid{0.01, 0.0, 0.01}, kFewStretches), 1.0);
}

// The prediction as plain double arithmetic, one sample after another: the
// bits it gives decide between the units, so any faster form must give
// these very doubles.
template <class T>
double predicted_in_order(const std::vector<T>& x, const IntegerGrid& grid, std::size_t at_most) {
  constexpr std::size_t kStretch = 256;
  const std::size_t n = x.size();
  if (n < 3) return 0.0;
  const std::size_t every = ((n + kStretch - 1) / kStretch + at_most - 1) / at_most;
  double bits = 0.0;
  std::size_t judged = 0;
  std::vector<double> k(kStretch);
  for (std::size_t start = 0; start + 2 < n; start += kStretch * every) {
    const std::size_t count = std::min(n - start, kStretch);
    double lo = kInf, hi = -kInf;
    for (std::size_t i = 0; i < count; ++i) {
      const double q = (static_cast<double>(x[start + i]) - grid.offset) * (1.0 / grid.step);
      k[i] = !(std::fabs(q) < 4.0e18) ? (std::isnan(q) ? 0.0 : std::copysign(4.0e18, q))
                                      : static_cast<double>(static_cast<std::int64_t>(q + (q < 0.0 ? -0.5 : 0.5)));
      lo = std::min(lo, k[i]);
      hi = std::max(hi, k[i]);
    }
    if (count < 3) continue;
    const double middle = std::floor(lo + (hi - lo) / 2.0);
    double s0 = 0.0, s1 = 0.0, s2 = 0.0;
    for (std::size_t i = 2; i < count; ++i) {
      s0 += std::fabs(k[i] - middle);
      s1 += std::fabs(k[i] - k[i - 1]);
      s2 += std::fabs(k[i] - k[i - 1] - (k[i - 1] - k[i - 2]));
    }
    const double mean_u = 2.0 * std::min({s0, s1, s2}) / static_cast<double>(count - 2);
    double best = kInf;
    if (!(mean_u > 0.0)) {
      best = 1.0;
    } else {
      const int top = std::clamp(static_cast<int>(std::log2(mean_u)) + 1, 0, 34);
      for (int b = std::max(0, top - 2); b <= top; ++b) best = std::min(best, b + 1.0 + mean_u / std::ldexp(1.0, b));
    }
    bits += static_cast<double>(count - 2) * best;
    judged += count - 2;
  }
  return judged == 0 ? 0.0 : bits / static_cast<double>(judged);
}

struct PredictionCase {
  const char* name;
  double scale;   // of the samples
  double centre;  // where they sit
  double step;    // of the grid
};

class PredictionInOrder : public ::testing::TestWithParam<PredictionCase> {};

// Small integers (summed as integers), integers past 2^40 and quotients
// clamped at the reach, swings whose sums round in double arithmetic (all
// summed as doubles), NaN and infinities among them,
// lengths that leave a short last stretch.
TEST_P(PredictionInOrder, GivesTheSameBitsAsTheSumInOrder) {
  const PredictionCase c = GetParam();
  std::mt19937_64 rng(21);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (const std::size_t n : {3ul, 257ul, 5000ul, 70001ul}) {
    std::vector<double> x(n);
    double level = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      level += 0.1 * noise(rng);
      x[i] = c.centre + c.scale * (level + 0.3 * noise(rng));
    }
    if (n > 200) {
      x[100] = kNaN;
      x[150] = kInf;
      x[151] = -kInf;
    }
    std::vector<float> narrow(x.begin(), x.end());
    const IntegerGrid grid{c.step, 0.0, c.step};
    for (const std::size_t at_most : {kFewStretches, kManyStretches}) {
      const double want = predicted_in_order(x, grid, at_most);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(predict_integer_bits(std::span<const double>(x), grid, at_most)),
                std::bit_cast<std::uint64_t>(want))
          << c.name << " n " << n << " at most " << at_most;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(predict_integer_bits(std::span<const float>(narrow), grid, at_most)),
                std::bit_cast<std::uint64_t>(predicted_in_order(narrow, grid, at_most)))
          << c.name << " float32, n " << n << " at most " << at_most;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PredictionInOrder,
    ::testing::Values(PredictionCase{"speech_like", 0.05, 0.0, 0.001}, PredictionCase{"offset", 1.0, 1.0e4, 0.01},
                      PredictionCase{"near_2_40", 1.0e3, 1.0e12, 1.0}, PredictionCase{"past_2_53", 1.0e3, 1.0e17, 1.0},
                      PredictionCase{"beyond_reach", 1.0e10, 1.0e20, 1.0},
                      PredictionCase{"wide_swings", 1.0e17, 0.0, 1.0},
                      PredictionCase{"coarse", 1.0, 0.0, 100.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuantisedGrid, TheToolsChooseTheSmallerUnitAtTightAndLooseBounds) {
  // White noise: at a tight bound the rounded integers carry several bits a
  // sample and the integer unit wins; the choice needs no wavelet encode.
  std::mt19937_64 rng(9);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<float> x(30000);
  for (float& v : x) v = static_cast<float>(noise(rng));
  UnitRequest tight;
  tight.bounds.max_error = 0.01;
  const auto chosen = encode_unit(std::span<const float>(x), tight);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->bytes[14], kCoderInteger);
  UnitRequest wavelet = tight;
  wavelet.coders = {quillmere::Coder::Fast};
  const auto other = encode_unit(std::span<const float>(x), wavelet);
  ASSERT_TRUE(other.has_value());
  EXPECT_LT(chosen->bytes.size(), other->bytes.size());
  // A caller who names a wavelet gets it.
  UnitRequest named = tight;
  named.options.method = quillmere::Method::Sym4;
  const auto sym4 = encode_unit(std::span<const float>(x), named);
  ASSERT_TRUE(sym4.has_value());
  EXPECT_NE(sym4->bytes[14], kCoderInteger);
}

}  // namespace
}  // namespace quillmere_tools
