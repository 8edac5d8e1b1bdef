// The prediction of quantisation error from coefficient magnitudes that
// places the bounded search's judgements: close to the error rounding
// really makes, never rising with the multiplier, and inverted by
// multiplier_for.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "compress_stages.hpp"
#include "rounding_noise.hpp"

namespace quillmere::search {
namespace {

enum class Spread { Laplace, Gauss, Sparse };

// Three detail bands halving in length and one approximation, as a
// decomposition of `n` samples would hold them.
stages::Decomposition bands(Spread spread, std::size_t n) {
  std::mt19937_64 rng(0x5eed + static_cast<unsigned>(spread));
  std::exponential_distribution<double> laplace(1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto draw = [&](double scale) {
    switch (spread) {
      case Spread::Laplace: return (unit(rng) < 0.5 ? -1.0 : 1.0) * laplace(rng) * scale;
      case Spread::Gauss: return gauss(rng) * scale;
      case Spread::Sparse: return unit(rng) < 0.05 ? gauss(rng) * 20.0 * scale : 0.001 * gauss(rng) * scale;
    }
    return 0.0;
  };
  stages::Decomposition d;
  std::size_t len = n / 2;
  double scale = 0.002;
  for (int level = 0; level < 3; ++level, len /= 2, scale *= 3.0) {
    stages::Band band(len);
    for (auto& v : band) v = static_cast<float>(draw(scale));
    d.details.push_back(band);
    d.approximation.emplace_back();
  }
  // The approximation spread over many steps, as a signal's is: values
  // piled on one point would round with one shared error, which no
  // histogram of magnitudes can tell from uniform noise.
  stages::Band approx(len * 2);
  for (auto& v : approx) v = static_cast<float>(0.5 + gauss(rng) * 0.1);
  d.approximation.back() = approx;
  d.transform_len = n;
  return d;
}

// What rounding half away from zero at m, detail magnitudes below
// `zero_below` steps zeroed, really costs in squared error.
double actual(const stages::Decomposition& d, double m, double detail_zero_below) {
  double sum = 0.0;
  double zero_below = detail_zero_below;
  const auto add = [&](const auto& band) {
    for (const float c : band) {
      const double x = static_cast<double>(c) * m;
      double q = std::floor(std::fabs(x) + 0.5);
      if (std::fabs(x) < zero_below) q = 0.0;
      const double e = static_cast<double>(c) - std::copysign(q, x) / m;
      sum += e * e;
    }
  };
  for (const auto& band : d.details) add(band);
  zero_below = 0.5;  // the approximation is never dead-zoned
  add(d.approximation.back());
  return sum;
}

using Case = std::tuple<Spread, double>;

class RoundingNoiseTest : public ::testing::TestWithParam<Case> {};

TEST_P(RoundingNoiseTest, PredictsTheErrorRoundingMakes) {
  const auto [spread, zero_below] = GetParam();
  const auto d = bands(spread, 1 << 16);
  const RoundingNoise noise(d);
  ASSERT_TRUE(noise.usable());
  // From nearly everything zeroed to nearly nothing, in half octaves.
  for (double m = 4.0; m <= 65536.0; m *= std::sqrt(2.0)) {
    const double want = actual(d, m, zero_below);
    const double got = noise.squared_error(m, zero_below);
    EXPECT_NEAR(got / want, 1.0, 0.2) << "m " << m;
  }
}

TEST_P(RoundingNoiseTest, NeverRisesWithTheMultiplierAndInverts) {
  const auto [spread, zero_below] = GetParam();
  const RoundingNoise noise(bands(spread, 1 << 14));
  double before = std::numeric_limits<double>::infinity();
  for (double m = 0.5; m <= 1e6; m *= 1.0905) {  // about 8 per octave
    const double e = noise.squared_error(m, zero_below);
    EXPECT_LE(e, before * (1.0 + 1e-12)) << "m " << m;
    before = e;
  }
  for (const double m : {3.0, 100.0, 5000.0}) {
    const double target = noise.squared_error(m, zero_below);
    const double found = noise.multiplier_for(target, zero_below, 1.0, 1e5);
    EXPECT_NEAR(noise.squared_error(found, zero_below) / target, 1.0, 1e-6) << "m " << m;
  }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kNames[] = {"Laplace", "Gauss", "Sparse"};
  return std::string(kNames[static_cast<int>(std::get<0>(info.param))]) +
         (std::get<1>(info.param) > 1.0 ? "DeadZone" : "Rounding");
}

INSTANTIATE_TEST_SUITE_P(Spreads, RoundingNoiseTest,
                         ::testing::Combine(::testing::Values(Spread::Laplace, Spread::Gauss,
                                                              Spread::Sparse),
                                            ::testing::Values(0.5, 1.5)),
                         case_name);

TEST(RoundingNoise, TargetsOutsideTheIntervalGiveItsEnds) {
  const RoundingNoise noise(bands(Spread::Laplace, 1 << 12));
  EXPECT_EQ(noise.multiplier_for(0.0, 0.5, 2.0, 64.0), 64.0);
  EXPECT_EQ(noise.multiplier_for(1e30, 0.5, 2.0, 64.0), 2.0);
}

TEST(RoundingNoise, NothingToCountIsNotUsable) {
  EXPECT_FALSE(RoundingNoise().usable());
  EXPECT_EQ(RoundingNoise().squared_error(10.0, 0.5), 0.0);
  stages::Decomposition d;
  d.details.push_back({std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()});
  d.approximation.push_back({-std::numeric_limits<float>::infinity()});
  EXPECT_FALSE(RoundingNoise(d).usable());
  // Finite values beside them still count, and only they.
  d.details.front().push_back(0.25f);
  const RoundingNoise one(d);
  ASSERT_TRUE(one.usable());
  EXPECT_DOUBLE_EQ(one.squared_error(1.0, 0.5), 0.0625);  // rounds to 0
  EXPECT_DOUBLE_EQ(one.squared_error(100.0, 0.5), 1e-4 / 12.0);
}

TEST(RoundingNoise, ClassesFollowTheMagnitude) {
  for (const float v : {1e-30f, 3e-7f, 0.1f, 1.0f, 1.4f, 7.0f, 3e20f}) {
    const int k = magnitude_class(v);
    EXPECT_EQ(magnitude_class(-v), k);
    EXPECT_LE(class_lower_edge(k), static_cast<double>(v));
    EXPECT_GT(class_lower_edge(k + 1), static_cast<double>(v));
  }
}

}  // namespace
}  // namespace quillmere::search
