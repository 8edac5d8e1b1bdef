#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "test_support.hpp"
#include "wavelet/wavelet.hpp"

namespace wavelet {
namespace {

struct Member {
  const char* name;
  std::span<const double> taps;
  double first, last;
};

std::vector<Member> members() {
  return {
      {"db4", daubechies_taps(DaubechiesFamily::Db4), 0.2303778133088965, -0.010597401785069032},
      {"sym4", symlet_taps(2), 0.0322231006040427, -0.07576571478927333}};
}

// Orthonormality (sum sqrt(2), unit energy, orthogonal to its even shifts)
// and four vanishing moments of the high-pass partner pin every tap well
// beyond f32 precision, so a mistyped digit cannot pass.
TEST(FilterTables, PublishedTapsAreAnOrthonormalFourMomentBank) {
  for (const Member& m : members()) {
    ASSERT_EQ(m.taps.size(), 8u) << m.name;
    EXPECT_EQ(m.taps.front(), m.first) << m.name;
    EXPECT_EQ(m.taps.back(), m.last) << m.name;
    double sum = 0, energy = 0;
    for (double t : m.taps) {
      sum += t;
      energy += t * t;
    }
    EXPECT_NEAR(sum, std::sqrt(2.0), 1e-12) << m.name;
    EXPECT_NEAR(energy, 1.0, 1e-12) << m.name;
    for (std::size_t shift = 2; shift < 8; shift += 2) {
      double dot = 0;
      for (std::size_t k = 0; k + shift < 8; ++k) dot += m.taps[k] * m.taps[k + shift];
      EXPECT_NEAR(dot, 0.0, 1e-12) << m.name << " shift " << shift;
    }
    for (int power = 0; power < 4; ++power) {
      double moment = 0;
      for (std::size_t k = 0; k < 8; ++k) {
        const double hi = (k % 2 == 0 ? 1 : -1) * m.taps[7 - k];
        moment += std::pow(double(k), power) * hi;
      }
      EXPECT_NEAR(moment, 0.0, 1e-10) << m.name << " moment " << power;
    }
  }
}

TEST(FilterTables, ExecutorsHoldTheNearestF32) {
  const std::vector<float> db4 = get_wavelet(DaubechiesFamily::Db4);
  const std::vector<float> sym4 = get_symlet(2);
  ASSERT_EQ(db4.size(), 8u);
  ASSERT_EQ(sym4.size(), 8u);
  for (std::size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(db4[k], static_cast<float>(daubechies_taps(DaubechiesFamily::Db4)[k]));
    EXPECT_EQ(sym4[k], static_cast<float>(symlet_taps(2)[k]));
  }
  // Members not held come back empty rather than wrong.
  EXPECT_TRUE(get_wavelet(static_cast<DaubechiesFamily>(2)).empty());
  EXPECT_TRUE(get_symlet(0).empty());
  EXPECT_TRUE(get_symlet(3).empty());
}

TEST(FilterTables, HighPassIsTheQuadratureMirror) {
  std::array<float, 8> lo;
  const auto db4 = get_wavelet(DaubechiesFamily::Db4);
  std::copy(db4.begin(), db4.end(), lo.begin());
  const auto hi = low_pass_to_high(lo);
  EXPECT_EQ(hi[0], lo[7]);
  EXPECT_EQ(hi[0], static_cast<float>(-0.010597401785069032));
  EXPECT_EQ(hi[7], -lo[0]);
  EXPECT_EQ(hi[1], -lo[6]);
  float lo_sum = 0, hi_sum = 0;
  for (std::size_t k = 0; k < 8; ++k) {
    lo_sum += lo[k];
    hi_sum += hi[k];
  }
  EXPECT_NEAR(lo_sum, std::sqrt(2.0f), 1e-6f);
  EXPECT_NEAR(hi_sum, 0.0f, 1e-6f);
}

TEST(Catalogue, FactoriesAndFilterLengths) {
  struct Case {
    const char* name;
    DwtHandle handle;
    std::size_t filter_length;
  };
  const Case cases[] = {
      {"cdf53", make_cdf53_f32(), 6},
      {"cdf97", make_cdf97_f32(), 10},
      {"db4", make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap), 8},
      {"sym4", make_symlet_f32(2, BorderMode::Wrap), 8},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.handle, nullptr) << c.name;
    EXPECT_EQ(c.handle->filter_length(), c.filter_length) << c.name;
  }
}

// No wavelet needs working memory: the scratch form must neither ask for
// any nor let the scratch it is given change the coefficients or be written.
TEST(Catalogue, ScratchFormIsExecuteForward) {
  const std::pair<const char*, DwtHandle> wavelets[] = {
      {"cdf53", make_cdf53_f32()},
      {"cdf97", make_cdf97_f32()},
      {"db4", make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap)},
      {"sym4", make_symlet_f32(2, BorderMode::Wrap)},
  };
  for (const auto& [name, handle] : wavelets) {
    // 5 is below the 8-tap minimum, so both forms must fail alike there.
    for (std::size_t n : {5u, 8u, 1001u}) {
      EXPECT_EQ(handle->required_scratch_size(n), 0u) << name << " n=" << n;
      const std::vector<float> x = testing::random_signal(n, 7);
      const DwtSize size = handle->dwt_size(n);
      std::vector<float> a(size.approximation), d(size.details);
      std::vector<float> a_scratch(a.size()), d_scratch(d.size());
      std::vector<float> scratch(64, -3.0f);
      const auto plain = handle->execute_forward(x, a, d);
      const auto with_scratch =
          handle->execute_forward_with_scratch(x, a_scratch, d_scratch, scratch);
      ASSERT_EQ(plain.has_value(), with_scratch.has_value()) << name << " n=" << n;
      if (!plain) {
        EXPECT_EQ(plain.error(), with_scratch.error()) << name << " n=" << n;
      }
      EXPECT_TRUE(testing::same_bits(a_scratch, a)) << name << " n=" << n;
      EXPECT_TRUE(testing::same_bits(d_scratch, d)) << name << " n=" << n;
      EXPECT_EQ(scratch, std::vector<float>(64, -3.0f)) << name << " n=" << n;
    }
  }
}

TEST(Catalogue, UnsupportedMembersAndModesGiveNoExecutor) {
  EXPECT_EQ(make_daubechies_f32(static_cast<DaubechiesFamily>(0), BorderMode::Wrap), nullptr);
  EXPECT_EQ(make_daubechies_f32(static_cast<DaubechiesFamily>(9), BorderMode::Wrap), nullptr);
  EXPECT_EQ(make_symlet_f32(1, BorderMode::Wrap), nullptr);
  EXPECT_EQ(make_symlet_f32(255, BorderMode::Wrap), nullptr);
  EXPECT_EQ(make_symlet_f32(2, static_cast<BorderMode>(5)), nullptr);
  EXPECT_NE(make_symlet_f32(2, BorderMode::Zeros), nullptr);
}

TEST(BorderModes, ExtensionPictures) {
  const std::vector<float> x = {1, 2, 3, 4};  // a b c d
  struct Case {
    BorderMode mode;
    float left[3];   // x_ext[-3], x_ext[-2], x_ext[-1]
    float right[3];  // x_ext[4], x_ext[5], x_ext[6]
  };
  const Case cases[] = {
      {BorderMode::Clamp, {1, 1, 1}, {4, 4, 4}},     {BorderMode::Wrap, {2, 3, 4}, {1, 2, 3}},
      {BorderMode::Symmetric, {3, 2, 1}, {4, 3, 2}}, {BorderMode::Reflect, {4, 3, 2}, {3, 2, 1}},
      {BorderMode::Zeros, {0, 0, 0}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(extended_sample(x, k - 3, c.mode), c.left[k]) << int(c.mode) << " left " << k;
      EXPECT_EQ(extended_sample(x, 4 + k, c.mode), c.right[k]) << int(c.mode) << " right " << k;
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(extended_sample(x, i, c.mode), x[i]);
  }
  // Far beyond one period Wrap keeps the non-negative remainder.
  EXPECT_EQ(extended_sample(x, -9, BorderMode::Wrap), 4.0f);
  EXPECT_EQ(extended_sample(x, 13, BorderMode::Wrap), 2.0f);
}

}  // namespace
}  // namespace wavelet
