// Zeroing values of one step under a max_error bound, checked through the
// decoder's own dequantisation and synthesis: the corrections the decoded
// samples need may only get cheaper, only magnitude-one detail values may
// change, and where the layer has slack some must go.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "bound_sparsening.hpp"
#include "compress_stages.hpp"
#include "quantizer.hpp"
#include "reconstruct.hpp"
#include "wavelet_choice.hpp"

namespace quillmere {
namespace {

enum class Shape { Spikes, Steps, Flat, Short, Noise, Chirp };

std::vector<float> make(Shape shape) {
  const std::size_t n = shape == Shape::Short ? 37 : 6000;
  std::uint64_t s = 0x2545f4914f6cdd1dull + static_cast<std::uint64_t>(shape);
  const auto uniform = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) / 9007199254740992.0;
  };
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n);
    double v = 0.0;
    switch (shape) {
      case Shape::Spikes: v = 0.01 * (uniform() - 0.5) + (uniform() < 0.02 ? 5.0 : 0.0); break;
      case Shape::Steps: v = std::floor(t * 7.0) * 0.75 - 2.0; break;
      case Shape::Flat: v = 0.3; break;
      case Shape::Short: v = std::sin(0.7 * static_cast<double>(i)) + 0.2 * uniform(); break;
      case Shape::Noise: v = 2.0 * uniform() - 1.0; break;
      case Shape::Chirp: v = std::sin(2.0 * std::numbers::pi * (3.0 + 300.0 * t) * t); break;
    }
    x[i] = static_cast<float>(v);
  }
  return x;
}

// The corrections the decoded samples need, priced as the zeroing prices them.
int cost_of(const std::vector<float>& x, const std::vector<float>& y, double bound) {
  int total = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    total += refine::correction_cost(static_cast<double>(x[i]) - static_cast<double>(y[i]), bound);
  }
  return total;
}

using Param = std::tuple<Shape, Method, double>;  // shape, method, quantiser step / bound

// One shape quantised by one method with a step some bounds wide, and the
// decoder's samples for any bands at its depth.
struct Quantised {
  std::vector<float> x;
  wavelet::DwtHandle executor;
  stages::Decomposition d;
  float lo = 0.0f, hi = 0.0f, mean = 0.0f, m = 1.0f;
  std::uint8_t depth = 0;
  double bound = 0.0;
  stages::QuantisedBands q;
  Originals originals = Originals::of_float({});

  explicit Quantised(const Param& param) : x(make(std::get<0>(param))),
                                           executor(make_executor(std::get<1>(param))) {
    auto norm = stages::normalise(x, std::max(x.size(), executor->filter_length()));
    EXPECT_TRUE(norm);
    lo = norm->min;
    hi = norm->max;
    mean = norm->mean;
    auto dec = stages::decompose(*executor, std::move(norm->samples), pick_levels(x.size(), std::get<1>(param)));
    EXPECT_TRUE(dec);
    d = std::move(*dec);
    const double range = std::max(static_cast<double>(hi) - static_cast<double>(lo), 1e-30);
    bound = 0.004 * range;
    // A step of the quantiser (1 / m of the unit range) this many bounds wide.
    m = static_cast<float>(1.0 / (0.004 * std::get<2>(param)));
    depth = stages::unsaturated_depth(d.extremes, m);
    EXPECT_GT(depth, 0);
    stages::quantise_at_depth(*executor, d, depth, m, 0, q);
    originals = Originals::of_float(x);
  }
  std::vector<float> decode(const stages::QuantisedBands& bands) const {
    auto deq = stages::dequantise_bands(bands.coeffs, m);
    EXPECT_TRUE(deq);
    auto y = stages::synthesise(*executor, *deq, bands.layout,
                                {lo, hi, mean, static_cast<std::uint32_t>(x.size())});
    EXPECT_TRUE(y);
    return *y;
  }
  refine::Problem problem() const {
    return {executor.get(), &d, depth, m, lo, hi, &originals, bound};
  }
};

class Sparsen : public ::testing::TestWithParam<Param> {};

TEST_P(Sparsen, ZeroesOnlyUnitValuesAndNeverMakesCorrectionsDearer) {
  const auto [shape, method, step_over_bound] = GetParam();
  const Quantised t(GetParam());
  const auto& q = t.q;
  const std::vector<float> before = t.decode(q);
  stages::QuantisedBands changed = q;
  const std::size_t zeroed = refine::sparsen(t.problem(), before, changed).moved;

  std::size_t differ = 0;
  for (std::size_t i = 0; i < q.coeffs.size(); ++i) {
    if (changed.coeffs[i] == q.coeffs[i]) continue;
    ++differ;
    EXPECT_EQ(changed.coeffs[i], 0) << i;
    EXPECT_EQ(std::abs(q.coeffs[i]), 1) << i;
    EXPECT_GE(i, q.layout.lengths[0]) << "an approximation value changed";
  }
  EXPECT_EQ(differ, zeroed);
  const std::vector<float> after = t.decode(changed);
  EXPECT_LE(cost_of(t.x, after, t.bound), cost_of(t.x, before, t.bound));
  // Dense signals quantised with a step near the bound have unit values
  // everywhere and slack beside most: zeroing nothing there is a fault.
  if ((shape == Shape::Noise || shape == Shape::Chirp) && step_over_bound <= 2.0) {
    EXPECT_GT(zeroed, 0u);
  }
}

// With a payload weight values of any magnitude up to the largest allowed
// only step towards zero, the corrections grow by no more than the steps
// report, and that by no more than the weighted bits they save.
TEST_P(Sparsen, StepsTowardsZeroOnlyWhereThePayloadSavedOutweighsTheCorrections) {
  const auto [shape, method, step_over_bound] = GetParam();
  const Quantised t(GetParam());
  const auto& q = t.q;
  const std::vector<float> before = t.decode(q);
  constexpr int kLargest = 6;
  for (const double weight : {0.5, 2.0}) {
    stages::QuantisedBands changed = q;
    const refine::Shrunk done = refine::sparsen(t.problem(), before, changed, {weight, kLargest});
    std::size_t steps = 0;
    for (std::size_t i = 0; i < q.coeffs.size(); ++i) {
      const int was = q.coeffs[i], now = changed.coeffs[i];
      if (was == now) continue;
      steps += static_cast<std::size_t>(std::abs(was - now));
      EXPECT_GE(i, q.layout.lengths[0]) << "an approximation value changed";
      EXPECT_LE(std::abs(was), kLargest) << i;
      EXPECT_LT(std::abs(now), std::abs(was)) << i;
      EXPECT_GE(now * was, 0) << "value " << i << " changed sign";
    }
    EXPECT_EQ(steps, done.moved);
    EXPECT_LE(static_cast<double>(done.added), weight * done.saved + 1e-9);
    const std::vector<float> after = t.decode(changed);
    EXPECT_LE(cost_of(t.x, after, t.bound) - cost_of(t.x, before, t.bound), done.added)
        << "weight " << weight;
    // A dense signal quantised with a step near the bound has slack beside
    // most of its many small values: stepping none of them is a fault.
    if ((shape == Shape::Noise || shape == Shape::Chirp) && step_over_bound <= 2.0) {
      EXPECT_GT(done.moved, 0u) << weight;
    }
  }
}

std::string name(const ::testing::TestParamInfo<Param>& info) {
  static const char* shapes[] = {"spikes", "steps", "flat", "short", "noise", "chirp"};
  static const char* methods[] = {"cdf53", "cdf97", "db4", "sym4"};
  const auto [shape, method, ratio] = info.param;
  return std::string(shapes[static_cast<int>(shape)]) + "_" + methods[static_cast<int>(method)] +
         "_step" + std::to_string(static_cast<int>(ratio * 10));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Sparsen,
    ::testing::Combine(::testing::Values(Shape::Spikes, Shape::Steps, Shape::Flat, Shape::Short,
                                         Shape::Noise, Shape::Chirp),
                       ::testing::Values(Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4),
                       // Fine (few outliers, slack everywhere) and coarse (many).
                       ::testing::Values(1.5, 6.0)),
    name);

TEST(CorrectionCost, FreeWithinTheBoundAndNeverCheaperFurtherOut) {
  EXPECT_EQ(refine::correction_cost(0.0, 1.0), 0);
  EXPECT_EQ(refine::correction_cost(-0.99, 1.0), 0);
  EXPECT_EQ(refine::correction_cost(NAN, 1.0), 0);
  EXPECT_GT(refine::correction_cost(1.0001, 1.0), 0);
  int last = 0;
  for (double e = 0.0; e < 200.0; e += 0.37) {
    const int c = refine::correction_cost(e, 1.0);
    EXPECT_GE(c, last) << e;
    EXPECT_EQ(c, refine::correction_cost(-e, 1.0)) << e;
    last = c;
  }
}


// The price rounds the multiple of twice the bound as the library's
// nearbyint does, ties to even included: a different rounding would weigh
// values differently and change which ones go.
TEST(CorrectionCost, RoundsTheMultipleHalfToEven) {
  const auto reference = [](double error, double bound) {
    const double a = std::fabs(error);
    if (!(a > bound * (1.0 - 1.0 / 256.0))) return 0;
    const double k = std::nearbyint(a / (2.0 * bound));
    const auto v = static_cast<std::uint64_t>(std::min(k, 4e9)) + 1;
    return 3 + 2 * (static_cast<int>(std::bit_width(v)) - 1) + 1 + (k != 0.0 ? 1 : 0);
  };
  for (const double bound : {1.0, 0.001, 3.7e-6, 12345.0}) {
    for (int h = 0; h < 400; ++h) {
      // Exactly on a half multiple, and a hair either side of it.
      const double tie = (0.5 + h) * 2.0 * bound;
      for (const double e : {tie, std::nextafter(tie, 0.0), std::nextafter(tie, HUGE_VAL),
                             -tie, 1e6 * tie, 1e12 * tie}) {
        EXPECT_EQ(refine::correction_cost(e, bound), reference(e, bound)) << e << " " << bound;
      }
    }
  }
  EXPECT_EQ(refine::correction_cost(1e300, 1.0), reference(1e300, 1.0));
}

// The zeroing prices with a product where correction_cost divides; the two
// must agree everywhere, at ties, for bounds too small to invert and for
// errors past every multiple.
TEST(Pricer, AgreesWithCorrectionCost) {
  std::uint64_t s = 0x9e3779b97f4a7c15ull;
  const auto uniform = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) / 9007199254740992.0;
  };
  for (const double bound : {1.0, 0.001, 3.7e-6, 12345.0, 1e-300, 4.9e-324, 1e300}) {
    const refine::Pricer price(bound);
    for (int i = 0; i < 20000; ++i) {
      const double h = std::floor(uniform() * 50.0) + 0.5;
      const double tie = h * 2.0 * bound;
      const double near = std::nextafter(tie, uniform() < 0.5 ? 0.0 : HUGE_VAL);
      const double spread = bound * std::exp2(uniform() * 80.0 - 10.0) * (uniform() < 0.5 ? -1 : 1);
      for (const double e : {tie, near, spread}) {
        ASSERT_EQ(price(e), refine::correction_cost(e, bound)) << e << " " << bound;
      }
    }
    for (const double e : {0.0, HUGE_VAL, -HUGE_VAL, static_cast<double>(NAN), 1e308, 9e9 * bound}) {
      EXPECT_EQ(price(e), refine::correction_cost(e, bound)) << e << " " << bound;
    }
  }
}

// The stepping weighs a step by the summed prices of its span after the
// move, and keeps each sample's price, both from branch-free passes: they
// must equal the prices one by one for
// every span length (vector bodies and their tails), near the price edges
// and their ties, past the far edge (priced exactly), for NaN, and for
// bounds so small that every price is exact.
TEST(Pricer, BranchFreePassesEqualThePricesOneByOne) {
  std::uint64_t s = 0x2545f4914f6cdd1dull;
  const auto uniform = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) / 9007199254740992.0;
  };
  for (const double bound : {1.0, 0.001, 3.7e-6, 12345.0, 1e-300, 4.9e-324}) {
    const refine::Pricer price(bound);
    for (const std::size_t span : {0u, 1u, 3u, 4u, 5u, 9u, 23u, 219u}) {
      for (const bool far : {false, true}) {
        for (int trial = 0; trial < 200; ++trial) {
          // Quiet trials keep nearly every error below the third step, so
          // that whole chunks are priced by the two lowest steps alone and
          // the rare large error sends only its own chunk to the full price.
          const bool quiet = trial % 2 == 1;
          std::vector<double> e(span), shift(span);
          for (std::size_t t = 0; t < span; ++t) {
            // Ties of the multiple sit at odd multiples of the bound.
            const double tie = (2.0 * std::floor(uniform() * 16.0) + 1.0) * bound;
            if (quiet) {
              e[t] = uniform() < 0.01 ? tie : bound * (uniform() * 3.0 - 1.5);
            } else {
              e[t] = uniform() < 0.3 ? std::nextafter(tie, uniform() < 0.5 ? 0.0 : HUGE_VAL)
                                     : bound * (uniform() * 40.0 - 20.0);
            }
            shift[t] = bound * (uniform() * (quiet ? 1.0 : 4.0) - (quiet ? 0.5 : 2.0));
          }
          if (far && span > 0) {
            e[span / 2] = 200.0 * bound;
            e[span - 1] = NAN;
          }
          for (const double sign : {1.0, -1.0}) {
            long expected = 0;
            for (std::size_t t = 0; t < span; ++t) expected += price(e[t] + sign * shift[t]);
            ASSERT_EQ(price.shifted_sum(e.data(), shift.data(), sign, span), expected)
                << bound << " " << span << " " << far;
            // Under a limit the sum is exact up to it and above it beyond:
            // a step is refused exactly when its full sum exceeds the limit.
            const double limit = std::floor(uniform() * 1.5 * static_cast<double>(expected + 1));
            const long cut = price.shifted_sum(e.data(), shift.data(), sign, span, limit);
            if (static_cast<double>(expected) <= limit) {
              ASSERT_EQ(cut, expected) << bound << " " << span << " " << limit;
            } else {
              ASSERT_GT(static_cast<double>(cut), limit) << bound << " " << span << " " << expected;
            }
          }
          std::vector<std::uint8_t> each(span, 255);
          price.price_all(e.data(), each.data(), span);
          for (std::size_t t = 0; t < span; ++t) {
            ASSERT_EQ(each[t], price(e[t])) << e[t] << " " << bound;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillmere
