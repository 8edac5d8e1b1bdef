// Rate-aware rounding: what it may do to a value, that the band gains
// predict the error the decoder then shows, and that it pays in coded bytes.
#include "rate_aware_rounding.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#include "compress_stages.hpp"
#include "quantizer.hpp"
#include "reconstruct.hpp"
#include "wavelet_choice.hpp"

namespace quillmere {
namespace {

enum class Shape { Speechlike, Chirp, Sparse };

// A small deterministic generator: the same signals on every platform.
struct Lcg {
  std::uint64_t s;
  double next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) / 9007199254740992.0;  // [0, 1)
  }
};

std::vector<float> make(Shape shape, std::size_t n = 12000) {
  Lcg g{12345 + static_cast<std::uint64_t>(shape)};
  std::vector<float> x(n);
  double a = 0.0, b = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n);
    double v = 0.0;
    switch (shape) {
      case Shape::Speechlike:
        // Resonant noise bursts: most detail values small, a few large.
        b = a, a = 1.6 * a - 0.8 * b + (g.next() - 0.5) * (std::sin(9.0 * t) > 0.0 ? 1.0 : 0.05);
        v = a;
        break;
      case Shape::Chirp:
        v = std::sin(2.0 * std::numbers::pi * (5.0 + 300.0 * t) * t) + 0.01 * (g.next() - 0.5);
        break;
      case Shape::Sparse: v = 0.002 * (g.next() - 0.5) + (g.next() < 0.01 ? 1.0 : 0.0); break;
    }
    x[i] = static_cast<float>(v);
  }
  return x;
}

struct Prepared {
  wavelet::DwtHandle executor;
  stages::Decomposition d;
  float lo = 0.0f, hi = 0.0f, mean = 0.0f;
  std::vector<double> gains;
};

Prepared prepare(const std::vector<float>& x, Method method) {
  Prepared p;
  p.executor = make_executor(method);
  auto norm = stages::normalise(x, std::max(x.size(), p.executor->filter_length()));
  EXPECT_TRUE(norm);
  p.lo = norm->min, p.hi = norm->max, p.mean = norm->mean;
  auto d = stages::decompose(*p.executor, std::move(norm->samples), pick_levels(x.size(), method));
  EXPECT_TRUE(d);
  p.d = std::move(*d);
  auto gains = rate_aware::detail_gains(*p.executor, p.d.transform_len,
                                        static_cast<std::uint8_t>(p.d.details.size()));
  EXPECT_TRUE(gains);
  p.gains = std::move(*gains);
  return p;
}

// Sum of squared errors against the originals, in the unit range.
double squared_error(const Prepared& p, const std::vector<float>& x, const stages::QuantisedBands& q,
                     float m) {
  auto deq = stages::dequantise_bands(q.coeffs, m);
  EXPECT_TRUE(deq);
  auto y = stages::synthesise(*p.executor, *deq, q.layout,
                              {p.lo, p.hi, p.mean, static_cast<std::uint32_t>(x.size())});
  EXPECT_TRUE(y);
  const double range = static_cast<double>(p.hi) - static_cast<double>(p.lo);
  double sum = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double e = (static_cast<double>(x[i]) - static_cast<double>((*y)[i])) / range;
    sum += e * e;
  }
  return sum;
}

constexpr Method kMethods[] = {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4};
// Steps of the unit range: a coarse and a fine bound.
constexpr float kMultipliers[] = {300.0f, 3000.0f};

using Param = std::tuple<Method, Shape, float>;
class RateAware : public ::testing::TestWithParam<Param> {};

TEST_P(RateAware, MovesValuesOneStepTowardZeroInDetailBandsOnly) {
  const auto [method, shape, m] = GetParam();
  const std::vector<float> x = make(shape);
  const Prepared p = prepare(x, method);
  const std::uint8_t depth = stages::unsaturated_depth(p.d.extremes, m);
  ASSERT_GT(depth, 0);
  stages::QuantisedBands plain, moved;
  stages::quantise_at_depth(*p.executor, p.d, depth, m, std::uint16_t{0}, plain);
  // A large lambda moves as much as the rule ever can.
  for (const double lambda : {rate_aware::lambda_for(method), 2.0}) {
    rate_aware::quantise_at_depth(*p.executor, p.d, depth, m, p.gains, lambda, moved);
    ASSERT_EQ(moved.coeffs.size(), plain.coeffs.size());
    ASSERT_EQ(moved.layout.lengths, plain.layout.lengths);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < plain.coeffs.size(); ++i) {
      const int a = plain.coeffs[i], b = moved.coeffs[i];
      if (a == b) continue;
      ++changed;
      ASSERT_GE(i, plain.layout.lengths[0]) << "approximation value moved at " << i;
      ASSERT_EQ(b, a > 0 ? a - 1 : a + 1) << "at " << i;
      ASSERT_LT(std::abs(a), static_cast<int>(rate_aware::kPriced)) << "at " << i;
    }
    EXPECT_GT(changed, 0u) << "lambda " << lambda;
  }
  // Without a price on bits, nothing moves.
  rate_aware::quantise_at_depth(*p.executor, p.d, depth, m, p.gains, 0.0, moved);
  EXPECT_EQ(moved.coeffs, plain.coeffs);
}

TEST_P(RateAware, GainsPredictTheErrorTheDecoderAdds) {
  const auto [method, shape, m] = GetParam();
  const std::vector<float> x = make(shape);
  const Prepared p = prepare(x, method);
  const std::uint8_t depth = stages::unsaturated_depth(p.d.extremes, m);
  stages::QuantisedBands plain, moved;
  stages::quantise_at_depth(*p.executor, p.d, depth, m, std::uint16_t{0}, plain);
  // A large lambda moves many values, so that the errors' cross terms,
  // which the estimate leaves out, average away.
  rate_aware::quantise_at_depth(*p.executor, p.d, depth, m, p.gains, 2.0, moved);
  // Each band's added squared error in its coefficients, weighed by its gain.
  double predicted = 0.0;
  std::size_t offset = plain.layout.lengths[0];
  for (std::size_t level = 1; level <= depth; ++level) {
    const auto& c = p.d.details[level - 1];
    double added = 0.0;
    for (std::size_t i = 0; i < plain.layout.lengths[level]; ++i) {
      const double v = static_cast<double>(c[i]) * static_cast<double>(m);
      const double ep = v - plain.coeffs[offset + i], em = v - moved.coeffs[offset + i];
      added += em * em - ep * ep;
    }
    predicted += p.gains[level - 1] * added / (static_cast<double>(m) * static_cast<double>(m));
    offset += plain.layout.lengths[level];
  }
  const double measured = squared_error(p, x, moved, m) - squared_error(p, x, plain, m);
  ASSERT_GT(predicted, 0.0);
  // With orthogonal or near-orthogonal bases the sum over bands of gain
  // times coefficient error is the signal's error; a gain taken from the
  // wrong band or level is off by a factor of 2 or more. CDF 5/3's
  // synthesis functions overlap too much for that (the decoder showed 0.2
  // to 1.0 times the estimate on these signals): there the rule is only a
  // guide, and the search's judgement through the decoder decides.
  if (method == Method::Cdf53) return;
  EXPECT_NEAR(measured / predicted, 1.0, 0.15) << measured << " vs " << predicted;
}

TEST_P(RateAware, CodesSmallerAtTheSameMultiplier) {
  const auto [method, shape, m] = GetParam();
  const std::vector<float> x = make(shape);
  const Prepared p = prepare(x, method);
  const std::uint8_t depth = stages::unsaturated_depth(p.d.extremes, m);
  stages::QuantisedBands plain, moved;
  stages::quantise_at_depth(*p.executor, p.d, depth, m, std::uint16_t{0}, plain);
  rate_aware::quantise_at_depth(*p.executor, p.d, depth, m, p.gains, rate_aware::lambda_for(method),
                                moved);
  // At the fine multiplier only a few dozen values are small enough to
  // move, which may shift a byte either way (the prices are the context
  // model's, not the fast coder's); at the coarse one hundreds move.
  for (const Coder coder : {Coder::CModel, Coder::Fast, Coder::Arans}) {
    auto a = stages::encode_bands(plain, coder);
    auto b = stages::encode_bands(moved, coder);
    ASSERT_TRUE(a && b);
    if (m < 1000.0f) {
      EXPECT_LT(b->bytes.size(), a->bytes.size()) << "coder " << static_cast<int>(coder);
    } else {
      EXPECT_LE(b->bytes.size(), a->bytes.size() + a->bytes.size() / 1000) << "coder " << static_cast<int>(coder);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Wavelets, RateAware,
                         ::testing::Combine(::testing::ValuesIn(kMethods),
                                            ::testing::Values(Shape::Speechlike, Shape::Chirp,
                                                              Shape::Sparse),
                                            ::testing::ValuesIn(kMultipliers)));

TEST(RateAwareGains, OrthogonalFilterBanksKeepEnergy) {
  for (const Method method : {Method::Db4, Method::Sym4}) {
    const auto executor = make_executor(method);
    for (const std::size_t len : {std::size_t{300}, std::size_t{1} << 20}) {
      const auto depth = pick_levels(len, method);
      auto gains = rate_aware::detail_gains(*executor, len, depth);
      ASSERT_TRUE(gains);
      ASSERT_EQ(gains->size(), depth);
      for (const double g : *gains) EXPECT_NEAR(g, 1.0, 1e-4) << int(method) << " " << len;
    }
  }
}

TEST(RateAwareThresholds, PriceFollowsTheBandsStatistics) {
  // Mostly zeros, a few isolated ones, runs of twos and rarer threes; at
  // m = 1 each value rounds to itself.
  std::vector<float> band(4000, 0.0f);
  for (std::size_t i = 0; i < band.size(); i += 37) band[i] = (i / 37) % 2 ? 1.0f : -1.0f;
  for (std::size_t i = 1000; i < 1400; ++i) band[i] = i % 4 ? 2.0f : 3.0f;
  const auto t = rate_aware::thresholds_for(band, 1.0f, 1.0, 0.1);
  // A one among zeros saves its flag, sign and magnitude and the next
  // zero's flag: dearer to keep than a one inside a run of nonzeros.
  EXPECT_GT(t.one[0][0], t.one[1][1]);
  // Every threshold lies within the values that round to its magnitude.
  for (const auto& [limit, n] : {std::pair{t.two, 2.0f}, std::pair{t.three, 3.0f}}) {
    EXPECT_GE(limit, n - 0.5f);
    EXPECT_LE(limit, n + 0.5f);
  }
  // A higher price on bits lowers more, a larger gain less.
  const auto dear = rate_aware::thresholds_for(band, 1.0f, 1.0, 0.4);
  const auto loud = rate_aware::thresholds_for(band, 1.0f, 8.0, 0.1);
  for (int a = 0; a < 2; ++a) {
    for (int b = 0; b < 2; ++b) {
      EXPECT_GE(dear.one[a][b], t.one[a][b]);
      EXPECT_LE(loud.one[a][b], t.one[a][b]);
    }
  }
  // Threes are rarer than twos here, so a three steps down more readily
  // than a two, which is commoner than a one.
  EXPECT_GT(t.three - 3.0f, t.two - 2.0f);
}

TEST(QuantiseSteppingDown, StepsDownBelowEachLimitAndRoundsOtherwise) {
  StepDownLimits l;
  l.one[0][0] = 1.4f;  // an isolated one
  l.one[0][1] = 1.2f;
  l.one[1][0] = 1.1f;
  l.one[1][1] = 0.5f;  // nothing lies below: a one among nonzeros stays
  l.two = 2.25f;
  l.three = 2.5f;      // nothing lies below: threes stay
  // Each value with its expected result. Neighbours are read as plainly
  // rounded: the 1.0 after 0.6 sees a nonzero before it although 0.6 itself
  // steps down to zero; the last value sees a zero after the band.
  const std::vector<float> c = {1.3f, 0.0f,  0.0f, -1.45f, 0.0f, 0.0f, 1.15f, 2.3f, 0.0f, 2.2f,
                                -2.3f, 0.0f, 2.6f, 0.0f,   4.1f, 0.4f, 0.6f,  1.0f, 1.0f};
  const std::vector<std::int16_t> want = {0, 0, 0, -1, 0, 0, 0, 2, 0, 1, -2, 0, 3, 0, 4, 0, 0, 1, 0};
  std::vector<std::int16_t> q(c.size());
  quantise_stepping_down(c, 1.0f, l, q);
  EXPECT_EQ(q, want);
  // With limits that lower nothing it is quantise() itself, halves included.
  const std::vector<float> halves = {0.5f, -0.5f, 1.5f, -2.5f, 3.5f, 0.49999997f, 7.25f};
  std::vector<std::int16_t> a(halves.size()), b(halves.size());
  quantise_stepping_down(halves, 2.0f, StepDownLimits{}, a);
  quantise(halves, 2.0f, b);
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace quillmere
