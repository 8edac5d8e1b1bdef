// The lean integer encode (the fast effort's): its streams decode to the
// same values as any other effort's, cost a few per cent more at most on
// speech-like integers, and a fast request takes it only for a rounded grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_choice.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {
namespace {

std::vector<std::int64_t> decoded(std::span<const std::uint8_t> bytes, int width, std::size_t n) {
  std::vector<std::int64_t> out(n, 12345);
  auto done = decode_integers(
      bytes, width, kIntegerBlockLength, n,
      [&](std::size_t start, std::span<const std::int64_t> v) {
        std::copy(v.begin(), v.end(), out.begin() + static_cast<std::ptrdiff_t>(start));
      },
      IntegerReading::Checked, IntegerResiduals::RiceOrRans);
  EXPECT_TRUE(done.has_value()) << (done ? "" : done.error().message);
  return out;
}

// A resonant process driven by noise, with loud and quiet stretches: what
// speech on a fine grid looks like to the coder.
std::vector<std::int64_t> voiced(std::size_t n, double loudness, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<std::int64_t> x(n);
  double y1 = 0.0, y2 = 0.0, y3 = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double gain = (i / 3000) % 3 == 2 ? 0.02 : 1.0;
    const double y = 2.2 * y1 - 1.85 * y2 + 0.6 * y3 + gain * loudness * noise(rng);
    y3 = y2;
    y2 = y1;
    y1 = y;
    x[i] = std::llround(y);
  }
  return x;
}

int width_of(const std::vector<std::int64_t>& x) {
  std::int64_t largest = 1;
  for (const std::int64_t v : x) largest = std::max(largest, v < 0 ? -v : v);
  return static_cast<int>(std::bit_width(static_cast<std::uint64_t>(largest))) + 1;
}

struct LeanCase {
  const char* what;
  std::vector<std::int64_t> values;
};

std::vector<LeanCase> lean_cases() {
  std::mt19937_64 rng(3);
  std::vector<std::int64_t> random(5000), sparse(9000), ramp(4096 + 17), tiny{5, -3, 7};
  for (auto& v : random) v = static_cast<std::int64_t>(rng() % 60000) - 30000;
  for (std::size_t i = 0; i < sparse.size(); ++i) sparse[i] = i % 37 == 0 ? static_cast<std::int64_t>(rng() % 9) - 4 : 0;
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int64_t>(i * 3) - 6000;
  return {{"voiced", voiced(20000, 40.0, 1)}, {"voiced_loud", voiced(9000, 4000.0, 2)},
          {"random", random},                 {"sparse", sparse},
          {"ramp", ramp},                     {"three", tiny},
          {"constant", std::vector<std::int64_t>(300, -7)}};
}

class LeanRoundTrip : public ::testing::TestWithParam<LeanCase> {};

TEST_P(LeanRoundTrip, DecodesEveryValueWithEitherResidualCoding) {
  const auto& x = GetParam().values;
  const int width = width_of(x);
  for (const IntegerResiduals coding : {IntegerResiduals::Rice, IntegerResiduals::RiceOrRans}) {
    const auto bytes = encode_integers(x, width, kIntegerBlockLength, 0, IntegerEffort::Lean, coding);
    EXPECT_EQ(decoded(bytes, width, x.size()), x);
    // Deterministic: the same bytes again.
    EXPECT_EQ(bytes, encode_integers(x, width, kIntegerBlockLength, 0, IntegerEffort::Lean, coding));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LeanRoundTrip, ::testing::ValuesIn(lean_cases()),
                         [](const auto& info) { return std::string(info.param.what); });

// The lean model search gives up little against the quick one.
TEST(LeanEncode, CostsLittleMoreThanTheQuickSearchOnSpeechLikeIntegers) {
  for (const double loudness : {3.0, 40.0, 900.0}) {
    const auto x = voiced(60000, loudness, 11);
    const int width = width_of(x);
    const auto quick = encode_integers(x, width, kIntegerBlockLength, 0, IntegerEffort::Quick,
                                       IntegerResiduals::RiceOrRans);
    const auto lean = encode_integers(x, width, kIntegerBlockLength, 0, IntegerEffort::Lean,
                                      IntegerResiduals::RiceOrRans);
    EXPECT_LE(static_cast<double>(lean.size()), 1.03 * static_cast<double>(quick.size())) << loudness;
  }
}

// A resonance at a sixth of the sample rate: differences (the fixed orders)
// do not flatten it, a low-order LPC whitens it to its driving noise (about
// log2 of the noise's spread plus two bits a sample).
TEST(LeanEncode, ItsLowOrderLpcWhitensAResonance) {
  std::mt19937_64 rng(17);
  std::normal_distribution<double> noise(0.0, 50.0);
  std::vector<std::int64_t> x(40000);
  double y1 = 0.0, y2 = 0.0;
  for (auto& v : x) {
    const double y = 0.98 * y1 - 0.9604 * y2 + noise(rng);
    y2 = y1;
    y1 = y;
    v = std::llround(y);
  }
  const int width = width_of(x);
  const auto lean = encode_integers(x, width, kIntegerBlockLength, 0, IntegerEffort::Lean, IntegerResiduals::Rice);
  const double per_sample = 8.0 * static_cast<double>(lean.size()) / static_cast<double>(x.size());
  EXPECT_LT(per_sample, std::log2(50.0) + 2.6);
}

TEST(LeanEncode, LpcAnalysisStaysAtOrBelowTheOrderAsked) {
  const auto x = voiced(4096, 300.0, 5);
  for (const int highest : {1, 3, 8, 12, 15, 16, 20}) {
    const auto models = lpc_candidates(x, 4, highest);
    ASSERT_FALSE(models.empty()) << highest;
    for (const LpcModel& m : models) EXPECT_LE(m.coefs.size(), static_cast<std::size_t>(highest));
  }
  // Below one order there is nothing to analyse.
  EXPECT_TRUE(lpc_candidates(x, 1, 0).empty());
}

// The analysis of a low order over one wide pass of lags ranks the same
// models as the narrow passes: the best model of up to 12 taps is the best
// of the full analysis whenever that one has 12 taps or fewer.
TEST(LeanEncode, LowOrderAnalysisAgreesWithTheFullOneOnItsOrders) {
  const auto x = voiced(4096, 300.0, 9);
  const auto full = lpc_candidates(x, 1);
  ASSERT_FALSE(full.empty());
  ASSERT_LE(full.front().coefs.size(), 12u);
  const auto low = lpc_candidates(x, 1, 12);
  ASSERT_FALSE(low.empty());
  EXPECT_EQ(low.front().coefs, full.front().coefs);
  EXPECT_EQ(low.front().shift, full.front().shift);
}

std::vector<float> speech_like(std::size_t n) {
  const auto k = voiced(n, 400.0, 4);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(static_cast<double>(k[i]) / 32768.0);
  return x;
}

TEST(LeanEncode, AFastRequestTakesTheLeanSearchOnlyForARoundedGrid) {
  const auto x = speech_like(30000);
  const SignalView view = std::span<const float>(x);
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  const double range = static_cast<double>(*hi) - static_cast<double>(*lo);
  for (const SearchEffort effort : {SearchEffort::Thorough, SearchEffort::Fast}) {
    UnitRequest r;
    r.effort = effort;
    r.bounds.max_error = 0.001 * range;
    const auto plan = plan_integer(view, r);
    ASSERT_TRUE(plan.has_value() && plan->has_value());
    EXPECT_EQ((*plan)->effort, effort == SearchEffort::Fast ? IntegerEffort::Lean : IntegerEffort::Quick);
    // At or below the source's own spacing the unit is exact and searched fully.
    r.bounds.max_error = 0.4 / 32768.0;
    const auto exact = plan_integer(view, r);
    ASSERT_TRUE(exact.has_value() && exact->has_value());
    EXPECT_EQ((*exact)->effort, IntegerEffort::Full);
  }
}

TEST(LeanEncode, AFastUnitMeetsItsBoundAndStaysNearTheThoroughOne) {
  const auto x = speech_like(50000);
  const SignalView view = std::span<const float>(x);
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  const double bound = 0.001 * (static_cast<double>(*hi) - static_cast<double>(*lo));
  UnitRequest thorough;
  thorough.bounds.max_error = bound;
  UnitRequest fast = thorough;
  fast.effort = SearchEffort::Fast;
  const auto a = encode_unit(view, thorough);
  const auto b = encode_unit(view, fast);
  ASSERT_TRUE(a.has_value() && b.has_value());
  const auto y = decode_unit(b->bytes);
  ASSERT_TRUE(y.has_value()) << y.error().message;
  const auto& samples = y->f32;
  ASSERT_EQ(samples.size(), x.size());
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    worst = std::max(worst, std::fabs(static_cast<double>(samples[i]) - static_cast<double>(x[i])));
  }
  EXPECT_LE(worst, bound);
  EXPECT_LE(static_cast<double>(b->bytes.size()), 1.03 * static_cast<double>(a->bytes.size()));
}

// Residuals far from what a Rice code fits, where rANS tables save a
// twentieth or more: steps that are zero two times in five and otherwise
// spread wide (a trace on a coarse grid), and a chirp on a coarse grid,
// whose residuals are mostly its rounding (-1, 0 or 1, a Rice code spending
// two bits on each nonzero one). A lean encode must keep trying tables on
// both: a test of peakedness alone (zeros against the mean) missed the chirp.
std::vector<std::int64_t> peaked_steps(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::int64_t> x(n);
  std::int64_t level = 0;
  for (auto& v : x) {
    if (rng() % 5 >= 2) level += static_cast<std::int64_t>(rng() % 61) - 30;
    level = std::clamp<std::int64_t>(level, -5000, 5000);
    v = level;
  }
  return x;
}

std::vector<std::int64_t> coarse_chirp(std::size_t n) {
  std::vector<std::int64_t> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = std::llround(50.0 * std::sin(0.002 * t * (1.0 + t / 40000.0)));
  }
  return x;
}

struct TablesCase {
  const char* what;
  std::vector<std::int64_t> values;
};

class LeanTables : public ::testing::TestWithParam<TablesCase> {};

TEST_P(LeanTables, AreTakenWhereRiceCodesFitBadly) {
  const auto& x = GetParam().values;
  const int width = width_of(x);
  bool took = false;
  const auto either = encode_integers(x, width, kIntegerBlockLength, 0, IntegerEffort::Lean,
                                      IntegerResiduals::RiceOrRans, &took);
  const auto rice = encode_integers(x, width, kIntegerBlockLength, 0, IntegerEffort::Lean, IntegerResiduals::Rice);
  EXPECT_TRUE(took);
  EXPECT_LT(static_cast<double>(either.size()), 0.95 * static_cast<double>(rice.size()));
  EXPECT_EQ(decoded(either, width, x.size()), x);
}

INSTANTIATE_TEST_SUITE_P(Residuals, LeanTables,
                         ::testing::Values(TablesCase{"peaked_steps", peaked_steps(30000, 4)},
                                           TablesCase{"coarse_chirp", coarse_chirp(60000)}),
                         [](const auto& info) { return std::string(info.param.what); });

// A palette is worth trying where the signal uses few of the integers in
// its span: integers every `spacing` apart index to ones spacing times
// smaller. Where it uses most of them (spacing 1 here) a lean encode keeps
// the plain integers untried; either way the unit decodes exactly.
struct PaletteCase {
  const char* what;
  std::int64_t spacing;
  bool lean_palette;
};

class LeanPalette : public ::testing::TestWithParam<PaletteCase> {};

TEST_P(LeanPalette, IsTriedOnlyWhereTheSignalLeavesGapsInItsSpan) {
  const auto k = voiced(30000, 3.0, 6);
  std::vector<double> x(k.size());
  for (std::size_t i = 0; i < k.size(); ++i) x[i] = static_cast<double>(k[i] * GetParam().spacing);
  const SignalView view = std::span<const double>(x);
  const IntegerGrid grid{1.0, 0.0, 1.0};
  const auto lean = encode_integer_unit(view, grid, std::nullopt, IntegerEffort::Lean);
  const auto quick = encode_integer_unit(view, grid, std::nullopt, IntegerEffort::Quick);
  ASSERT_TRUE(lean.has_value() && quick.has_value());
  constexpr std::uint8_t kPaletteFlag = 2;
  EXPECT_EQ((lean->bytes[quillmere::HEADER_LEN] & kPaletteFlag) != 0, GetParam().lean_palette);
  if (GetParam().spacing > 1) {
    EXPECT_NE(quick->bytes[quillmere::HEADER_LEN] & kPaletteFlag, 0);
  }
  EXPECT_LE(static_cast<double>(lean->bytes.size()), 1.03 * static_cast<double>(quick->bytes.size()));
  const auto back = decode_unit(lean->bytes);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  EXPECT_EQ(back->f64, x);
}

INSTANTIATE_TEST_SUITE_P(Spacings, LeanPalette,
                         ::testing::Values(PaletteCase{"every_integer", 1, false},
                                           PaletteCase{"every_second", 2, true},
                                           PaletteCase{"every_fifth", 5, true}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace quillmere_tools
