#include "wavelet/wavelet8taps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "test_support.hpp"
#include "wavelet/factories.hpp"

namespace wavelet {
namespace {

using testing::close_to;
using testing::ramp;
using testing::random_signal;
using testing::same_bits;

constexpr BorderMode kAllModes[] = {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Symmetric,
                                    BorderMode::Reflect, BorderMode::Zeros};

std::array<float, 8> f32_taps(std::span<const double> table) {
  std::array<float, 8> taps{};
  for (std::size_t k = 0; k < 8; ++k) taps[k] = static_cast<float>(table[k]);
  return taps;
}

Wavelet8Taps db4(BorderMode mode = BorderMode::Wrap) {
  return Wavelet8Taps(mode, f32_taps(daubechies_taps(DaubechiesFamily::Db4)));
}
Wavelet8Taps sym4(BorderMode mode = BorderMode::Wrap) {
  return Wavelet8Taps(mode, f32_taps(symlet_taps(2)));
}

struct Coefficients {
  std::vector<float> a, d;
};

Coefficients analyse(const Wavelet8Taps& bank, const std::vector<float>& x) {
  const DwtSize size = bank.dwt_size(x.size());
  Coefficients c{std::vector<float>(size.approximation), std::vector<float>(size.details)};
  const auto done = bank.execute_forward(x, c.a, c.d);
  EXPECT_TRUE(done.has_value()) << done.error().message();
  return c;
}

std::vector<float> synthesise(const Wavelet8Taps& bank, const Coefficients& c) {
  std::vector<float> y(bank.idwt_size(c.a.size(), c.d.size()));
  const auto done = bank.execute_inverse(c.a, c.d, y);
  EXPECT_TRUE(done.has_value()) << done.error().message();
  return y;
}

// The definition, one output at a time with every sample taken through the
// border rule; summed in the kernel's order so the comparison can be exact.
float literal_output(const std::vector<float>& x, std::size_t t, const std::array<float, 8>& f,
                     BorderMode mode) {
  float w[8];
  for (std::size_t k = 0; k < 8; ++k) {
    w[k] = extended_sample(x, static_cast<std::ptrdiff_t>(2 * t + k) - 6, mode);
  }
  return ((w[0] * f[0] + w[1] * f[1]) + (w[2] * f[2] + w[3] * f[3])) +
         ((w[4] * f[4] + w[5] * f[5]) + (w[6] * f[6] + w[7] * f[7]));
}

TEST(Wavelet8Taps, EdgeAndInteriorOutputsFollowTheDefinition) {
  for (BorderMode mode : kAllModes) {
    const Wavelet8Taps bank = sym4(mode);
    for (std::size_t n = 8; n <= 40; ++n) {
      const auto x = random_signal(n, static_cast<std::uint32_t>(n));
      const Coefficients c = analyse(bank, x);
      std::vector<float> a(c.a.size()), d(c.d.size());
      for (std::size_t t = 0; t < a.size(); ++t) {
        a[t] = literal_output(x, t, bank.low_pass(), mode);
        d[t] = literal_output(x, t, bank.high_pass(), mode);
      }
      ASSERT_TRUE(same_bits(c.a, a)) << "mode " << int(mode) << ", n = " << n;
      ASSERT_TRUE(same_bits(c.d, d)) << "mode " << int(mode) << ", n = " << n;
    }
  }
}

TEST(Wavelet8Taps, SynthesisIsTheTransposeOfAnalysis) {
  // y[m] += hi[k] d[j] + lo[k] a[j] for m = 2j - 6 + k, scattered as
  // defined and cropped to 0..M-1; the kernel gathers instead, so only the
  // summation order (rounding) may differ.
  const Wavelet8Taps bank = db4();
  for (std::size_t count : {3u, 4u, 7u, 8u, 19u}) {
    const Coefficients c{random_signal(count, 1), random_signal(count, 2)};
    const std::size_t m = 2 * count - 6;
    std::vector<double> want(m, 0.0);
    for (std::size_t j = 0; j < count; ++j) {
      for (std::size_t k = 0; k < 8; ++k) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(2 * j + k) - 6;
        if (at >= 0 && static_cast<std::size_t>(at) < m) {
          want[at] += double(bank.high_pass()[k]) * c.d[j] + double(bank.low_pass()[k]) * c.a[j];
        }
      }
    }
    const std::vector<float> got = synthesise(bank, c);
    ASSERT_EQ(got.size(), m);
    EXPECT_TRUE(close_to(got, std::vector<float>(want.begin(), want.end()), 1e-6f)) << count;
  }
}

TEST(Wavelet8Taps, InverseAddsIntoTheOutput) {
  const Wavelet8Taps bank = db4();
  const Coefficients c{random_signal(9, 3), random_signal(9, 4)};
  std::vector<float> fresh(12, 0.0f), offset(12, 10.0f);
  ASSERT_TRUE(bank.execute_inverse(c.a, c.d, fresh).has_value());
  ASSERT_TRUE(bank.execute_inverse(c.a, c.d, offset).has_value());
  for (std::size_t m = 0; m < 12; ++m) EXPECT_NEAR(offset[m], fresh[m] + 10.0f, 1e-5f) << m;
}

TEST(Wavelet8Taps, Db4RampOfSixteen) {
  const Coefficients c = analyse(db4(), ramp(16));
  ASSERT_EQ(c.a.size(), 11u);
  ASSERT_EQ(c.d.size(), 11u);
  const float interior[] = {1.42184f, 4.25027f, 7.07870f, 9.90712f, 12.73555f};
  for (std::size_t t = 3; t <= 7; ++t) {
    EXPECT_NEAR(c.a[t], interior[t - 3], 2e-5f) << t;
    // Four vanishing moments: a ramp leaves no detail.
    EXPECT_NEAR(c.d[t], 0.0f, 2e-6f) << t;
    if (t > 3) {
      EXPECT_NEAR(c.a[t] - c.a[t - 1], 2 * std::sqrt(2.0f), 2e-5f) << t;
    }
  }
  const float wrapped_a[] = {15.20741f, 20.53493f, 13.71700f};
  const float wrapped_d[] = {-7.75150f, 2.79033f, -0.69569f};
  for (std::size_t t = 0; t < 3; ++t) {
    EXPECT_NEAR(c.a[t], wrapped_a[t], 2e-5f) << t;
    EXPECT_NEAR(c.d[t], wrapped_d[t], 2e-5f) << t;
    // 16 samples wrap onto themselves after 8 outputs: the same samples
    // through the same arithmetic.
    EXPECT_EQ(c.a[t + 8], c.a[t]) << t;
    EXPECT_EQ(c.d[t + 8], c.d[t]) << t;
  }
}

TEST(Wavelet8Taps, ImpulsePicksOutTheEvenTaps) {
  std::vector<float> x(20, 0.0f);
  x[10] = 1.0f;
  const Wavelet8Taps bank = db4();
  const Coefficients c = analyse(bank, x);
  const auto& lo = bank.low_pass();
  for (std::size_t t = 0; t < c.a.size(); ++t) {
    const float want = t == 5 ? lo[6] : t == 6 ? lo[4] : t == 7 ? lo[2] : t == 8 ? lo[0] : 0.0f;
    EXPECT_EQ(c.a[t], want) << t;
  }
}

TEST(Wavelet8Taps, ConstantSignalUnderWrap) {
  for (const Wavelet8Taps& bank : {db4(), sym4()}) {
    for (float value : {1.0f, -250.0f}) {
      const Coefficients c = analyse(bank, std::vector<float>(21, value));
      for (float v : c.a) EXPECT_NEAR(v, std::sqrt(2.0f) * value, 4e-7f * std::fabs(value));
      for (float v : c.d) EXPECT_NEAR(v, 0.0f, 4e-7f * std::fabs(value));
    }
  }
}

TEST(Wavelet8Taps, ShortestInputsAndTheOddSurplusSample) {
  const Wavelet8Taps bank = db4();
  const auto eight = random_signal(8, 5);
  const Coefficients c8 = analyse(bank, eight);
  EXPECT_EQ(c8.a.size(), 7u);
  const auto y8 = synthesise(bank, c8);
  ASSERT_EQ(y8.size(), 8u);
  EXPECT_TRUE(close_to(y8, eight, 1e-6f));

  const auto nine = random_signal(9, 6);
  const Coefficients c9 = analyse(bank, nine);
  EXPECT_EQ(c9.a.size(), 8u);
  const auto y9 = synthesise(bank, c9);
  ASSERT_EQ(y9.size(), 10u);
  EXPECT_TRUE(close_to(y9, nine, 1e-6f));
  EXPECT_NEAR(y9[9], nine[0], 1e-6f);  // x_ext[n] under Wrap
}

TEST(Wavelet8Taps, EveryBorderModeReconstructs) {
  for (BorderMode mode : kAllModes) {
    for (const Wavelet8Taps& bank : {db4(mode), sym4(mode)}) {
      for (std::size_t n : {8u, 9u, 10u, 33u, 1000u, 1001u}) {
        const auto x = random_signal(n, static_cast<std::uint32_t>(n) + 7);
        const auto y = synthesise(bank, analyse(bank, x));
        ASSERT_EQ(y.size(), n + n % 2);
        EXPECT_TRUE(close_to(y, x, 2e-6f)) << "mode " << int(mode) << ", n = " << n;
      }
    }
  }
}

TEST(Wavelet8Taps, LengthChecks) {
  const Wavelet8Taps bank = db4();
  struct Forward {
    std::size_t n, a, d;
    TransformError error;
  };
  const Forward forward_cases[] = {
      {7, 7, 7, TransformError::input_too_short(7, 8)},
      {0, 3, 3, TransformError::input_too_short(0, 8)},
      {8, 6, 7, TransformError::half_length_mismatch(6)},
      {8, 7, 8, TransformError::half_length_mismatch(8)},
      {9, 8, 7, TransformError::half_length_mismatch(7)},
  };
  for (const auto& c : forward_cases) {
    const std::vector<float> x(c.n, 1.0f);
    std::vector<float> a(c.a, 7.0f), d(c.d, 7.0f);
    const auto done = bank.execute_forward(x, a, d);
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error(), c.error) << done.error().message();
    EXPECT_EQ(a, std::vector<float>(c.a, 7.0f));
    EXPECT_EQ(d, std::vector<float>(c.d, 7.0f));
  }

  struct Inverse {
    std::size_t a, d, m;
    const char* message;
  };
  const Inverse inverse_cases[] = {
      {7, 6, 8, "Approx and details must match, but they don't 7x6"},
      {7, 7, 9, "Output size should be 8, but it was 9"},
      {7, 7, 7, "Output size should be 8, but it was 7"},
      {2, 2, 1, "Output size should be 0, but it was 1"},
  };
  for (const auto& c : inverse_cases) {
    const std::vector<float> a(c.a, 1.0f), d(c.d, 1.0f);
    std::vector<float> y(c.m, 7.0f);
    const auto done = bank.execute_inverse(a, d, y);
    ASSERT_FALSE(done.has_value()) << c.message;
    EXPECT_EQ(done.error().message(), c.message);
    EXPECT_EQ(y, std::vector<float>(c.m, 7.0f));
  }
}

TEST(Wavelet8Taps, TooFewCoefficientsReachNoOutput) {
  const Wavelet8Taps bank = db4();
  for (std::size_t count = 0; count <= 3; ++count) {
    EXPECT_EQ(bank.idwt_size(count, count), 0u) << count;
    const std::vector<float> a(count, 1.0f), d(count, 1.0f);
    EXPECT_TRUE(bank.execute_inverse(a, d, std::span<float>()).has_value()) << count;
  }
}

}  // namespace
}  // namespace wavelet
