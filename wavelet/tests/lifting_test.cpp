#include "wavelet/lifting.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <span>
#include <vector>

#include "test_support.hpp"

namespace wavelet {
namespace {

using testing::ramp;
using testing::random_signal;
using testing::same_bits;

// ---- The steps as written, one whole pass after another. The executors
// block and interleave these passes; the results must not change by a bit.

struct Halves {
  std::vector<float> s, d;
};

// The update routine shared by every update step: s[0] from d[0] twice,
// s[A-1] from d[A-2] + d[D-1].
void literal_update(std::vector<float>& s, const std::vector<float>& d, float c) {
  const std::size_t A = s.size(), D = d.size();
  s[0] = s[0] + c * (d[0] + d[0]);
  for (std::size_t i = 1; i + 1 < A; ++i) s[i] = s[i] + c * (d[i - 1] + d[i]);
  s[A - 1] = s[A - 1] + c * (d[A - 2] + d[D - 1]);
}

void literal_predict(const std::vector<float>& s, std::vector<float>& d, float c) {
  const std::size_t A = s.size();
  for (std::size_t i = 0; i < d.size(); ++i) {
    d[i] = d[i] + (s[i] + (i + 1 < A ? s[i + 1] : s[A - 1])) * c;
  }
}

// x split into s = x[2i] and the first predict d = x[2i+1] + (x[2i] + x[2i+2]) * c.
Halves literal_split_predict(const std::vector<float>& x, float c) {
  const std::size_t n = x.size();
  Halves h{std::vector<float>((n + 1) / 2), std::vector<float>(n / 2)};
  for (std::size_t i = 0; i < h.s.size(); ++i) h.s[i] = x[2 * i];
  for (std::size_t i = 0; i < h.d.size(); ++i) {
    const float right = 2 * i + 2 < n ? x[2 * i + 2] : x[n - 2];
    h.d[i] = x[2 * i + 1] + (x[2 * i] + right) * c;
  }
  return h;
}

std::vector<float> literal_interleave(const Halves& h) {
  std::vector<float> y(h.s.size() + h.d.size());
  for (std::size_t i = 0; i < h.s.size(); ++i) y[2 * i] = h.s[i];
  for (std::size_t i = 0; i < h.d.size(); ++i) y[2 * i + 1] = h.d[i];
  return y;
}

Halves literal_cdf53_forward(const std::vector<float>& x) {
  Halves h = literal_split_predict(x, -0.5f);
  literal_update(h.s, h.d, 0.25f);
  return h;
}

std::vector<float> literal_cdf53_inverse(Halves h) {
  literal_update(h.s, h.d, -0.25f);
  literal_predict(h.s, h.d, 0.5f);
  return literal_interleave(h);
}

Halves literal_cdf97_forward(const std::vector<float>& x) {
  Halves h = literal_split_predict(x, -1.5861343f);
  literal_update(h.s, h.d, -0.052980117f);
  literal_predict(h.s, h.d, 0.88291109f);
  literal_update(h.s, h.d, 0.44350687f);
  for (float& v : h.s) v = v * 1.1496044f;
  for (float& v : h.d) v = v * 0.86986446f;
  return h;
}

std::vector<float> literal_cdf97_inverse(Halves h) {
  for (float& v : h.s) v = v * 0.86986446f;
  for (float& v : h.d) v = v * 1.1496044f;
  literal_update(h.s, h.d, -0.44350687f);
  literal_predict(h.s, h.d, -0.88291109f);
  literal_update(h.s, h.d, 0.052980117f);
  literal_predict(h.s, h.d, 1.5861343f);
  return literal_interleave(h);
}

template <class Executor>
Halves forward(const std::vector<float>& x) {
  const std::size_t n = x.size();
  Halves h{std::vector<float>((n + 1) / 2), std::vector<float>(n / 2)};
  const auto done = Executor{}.execute_forward(x, h.s, h.d);
  EXPECT_TRUE(done.has_value()) << "n = " << n << ": " << done.error().message();
  return h;
}

template <class Executor>
std::vector<float> inverse(const Halves& h) {
  std::vector<float> y(h.s.size() + h.d.size());
  const auto done = Executor{}.execute_inverse(h.s, h.d, y);
  EXPECT_TRUE(done.has_value()) << "n = " << y.size() << ": " << done.error().message();
  return y;
}

// Lengths around the pipeline's block boundaries (1024 coefficients) as
// well as every short length, and every length where CDF 9/7 starts to
// take its fused loops (64 details) and the ends of their interior pass
// through each position of an 8-lane vector.
std::vector<std::size_t> pipeline_lengths(std::size_t minimum) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = minimum; n <= 64; ++n) lengths.push_back(n);
  for (std::size_t n = 110; n <= 180; ++n) lengths.push_back(n);
  for (std::size_t base : {2048u, 4096u, 6144u}) {
    for (std::size_t n = base - 4; n <= base + 4; ++n) lengths.push_back(n);
  }
  lengths.push_back(10007);
  return lengths;
}

TEST(Cdf53, BlockedStepsMatchTheLiteralStepsBitForBit) {
  for (std::size_t n : pipeline_lengths(Cdf53::kMinimumInput)) {
    const auto x = random_signal(n, static_cast<std::uint32_t>(n));
    const Halves got = forward<Cdf53>(x);
    const Halves want = literal_cdf53_forward(x);
    ASSERT_TRUE(same_bits(got.s, want.s)) << "approximation, n = " << n;
    ASSERT_TRUE(same_bits(got.d, want.d)) << "details, n = " << n;
    ASSERT_TRUE(same_bits(inverse<Cdf53>(got), literal_cdf53_inverse(want)))
        << "inverse, n = " << n;
  }
}

TEST(Cdf97, BlockedStepsMatchTheLiteralStepsBitForBit) {
  for (std::size_t n : pipeline_lengths(Cdf97::kMinimumInput)) {
    const auto x = random_signal(n, static_cast<std::uint32_t>(n));
    const Halves got = forward<Cdf97>(x);
    const Halves want = literal_cdf97_forward(x);
    ASSERT_TRUE(same_bits(got.s, want.s)) << "approximation, n = " << n;
    ASSERT_TRUE(same_bits(got.d, want.d)) << "details, n = " << n;
    ASSERT_TRUE(same_bits(inverse<Cdf97>(got), literal_cdf97_inverse(want)))
        << "inverse, n = " << n;
  }
}

TEST(Cdf53, WorkedExamples) {
  struct Case {
    std::vector<float> x, s, d;
  };
  const Case cases[] = {
      {{1, 2, 3, 4}, {1, 3.25f}, {0, 1}},
      {{1, 2, 3, 4, 5}, {1, 3, 5}, {0, 0}},
      {ramp(8), {0, 2, 4, 6.25f}, {0, 0, 0, 1}},
  };
  for (const auto& c : cases) {
    const Halves h = forward<Cdf53>(c.x);
    // These values are exact in binary, so equality is the right test.
    EXPECT_EQ(h.s, c.s);
    EXPECT_EQ(h.d, c.d);
  }
}

TEST(Cdf97, RampOfEight) {
  const Halves h = forward<Cdf97>(ramp(8));
  const float s[] = {0.47184f, 2.93204f, 5.58120f, 8.57496f};
  const float d[] = {0.17678f, 0.00000f, -0.12908f, 0.61171f};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(h.s[i], s[i], 5e-6) << i;
    EXPECT_NEAR(h.d[i], d[i], 5e-6) << i;
  }
}

TEST(Lifting, ConstantSignals) {
  for (float c : {1.0f, -3.5f, 1000.0f}) {
    for (std::size_t n : {4u, 5u, 17u, 2050u}) {
      const std::vector<float> x(n, c);
      const Halves h53 = forward<Cdf53>(x);
      for (float v : h53.s) EXPECT_EQ(v, c);
      for (float v : h53.d) EXPECT_EQ(v, 0.0f);
      const Halves h97 = forward<Cdf97>(x);
      for (float v : h97.s) EXPECT_NEAR(v, 1.4142137f * c, 1e-6f * std::fabs(c) * 2);
      for (float v : h97.d) EXPECT_LE(std::fabs(v), 1e-6f * std::fabs(c));
    }
  }
}

// Every rejected call names the right lengths and leaves the outputs alone.
TEST(Lifting, ForwardLengthChecks) {
  struct Case {
    const DwtExecutor* executor;
    std::size_t n, a, d;
    TransformError error;
  };
  const Cdf53 cdf53;
  const Cdf97 cdf97;
  const Case cases[] = {
      {&cdf53, 2, 1, 1, TransformError::input_too_short(2, 3)},
      {&cdf53, 0, 0, 0, TransformError::input_too_short(0, 3)},
      {&cdf53, 5, 2, 2, TransformError::approximate_size_mismatch(2, 3)},
      {&cdf53, 5, 3, 3, TransformError::details_size_mismatch(3, 2)},
      {&cdf53, 5, 4, 1, TransformError::approximate_size_mismatch(4, 3)},
      {&cdf97, 3, 2, 1, TransformError::input_too_short(3, 4)},
      {&cdf97, 8, 5, 4, TransformError::approximate_size_mismatch(5, 4)},
      {&cdf97, 8, 4, 3, TransformError::details_size_mismatch(3, 4)},
  };
  for (const auto& c : cases) {
    const std::vector<float> x(c.n, 1.0f);
    std::vector<float> a(c.a, 7.0f), d(c.d, 7.0f);
    const auto done = c.executor->execute_forward(x, a, d);
    ASSERT_FALSE(done.has_value()) << c.error.message();
    EXPECT_EQ(done.error(), c.error) << done.error().message();
    EXPECT_EQ(a, std::vector<float>(c.a, 7.0f));
    EXPECT_EQ(d, std::vector<float>(c.d, 7.0f));
  }
}

TEST(Lifting, InverseLengthChecks) {
  struct Case {
    const DwtExecutor* executor;
    std::size_t a, d, m;
    TransformError error;
  };
  const Cdf53 cdf53;
  const Cdf97 cdf97;
  const Case cases[] = {
      {&cdf53, 2, 1, 4, TransformError::output_size_mismatch(3, 4)},
      {&cdf53, 1, 1, 2, TransformError::approximate_size_mismatch(1, 2)},
      {&cdf53, 2, 0, 2, TransformError::details_size_mismatch(0, 1)},
      {&cdf53, 0, 0, 0, TransformError::approximate_size_mismatch(0, 2)},
      {&cdf53, 5, 3, 8, TransformError::approximate_size_mismatch(5, 4)},
      {&cdf97, 2, 1, 3, TransformError::details_size_mismatch(1, 2)},
      {&cdf97, 2, 2, 5, TransformError::output_size_mismatch(4, 5)},
      {&cdf97, 3, 4, 7, TransformError::approximate_size_mismatch(3, 4)},
      {&cdf97, 1, 1, 2, TransformError::approximate_size_mismatch(1, 2)},
  };
  for (const auto& c : cases) {
    const std::vector<float> a(c.a, 1.0f), d(c.d, 1.0f);
    std::vector<float> y(c.m, 7.0f);
    const auto done = c.executor->execute_inverse(a, d, y);
    ASSERT_FALSE(done.has_value()) << c.error.message();
    EXPECT_EQ(done.error(), c.error) << done.error().message();
    EXPECT_EQ(y, std::vector<float>(c.m, 7.0f));
  }
}

TEST(Cdf53, InverseOfTwoPlusOneNeedsThreeOutputs) {
  const std::vector<float> a = {1.0f, 2.0f}, d = {0.5f};
  std::vector<float> three(3), four(4);
  EXPECT_TRUE(Cdf53{}.execute_inverse(a, d, three).has_value());
  const auto wrong = Cdf53{}.execute_inverse(a, d, four);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().message(), "Output size should be 3, but it was 4");
}

// multi_dwt and multi_idwt grow their outputs as the kernels write and
// rebuild all inverse levels together, each coarser one in a window that
// slides along (from 16384 floats on); every level must still come out
// exactly as the literal passes give it, one whole level after another.
struct MultiLevelCase {
  std::size_t n;
  std::size_t levels;
};

class LiteralLevels : public ::testing::TestWithParam<MultiLevelCase> {
 protected:
  template <class Executor>
  void expect_literal_levels(Halves (*literal_forward)(const std::vector<float>&),
                             std::vector<float> (*literal_inverse)(Halves)) {
    const auto [n, levels] = GetParam();
    const auto x = random_signal(n, static_cast<std::uint32_t>(n + levels));
    const auto m = Executor{}.multi_dwt(x, levels);
    ASSERT_TRUE(m.has_value()) << m.error().message();
    ASSERT_EQ(m->levels.size(), levels);

    std::vector<Halves> want;
    std::vector<float> current = x;
    for (std::size_t k = 0; k < levels; ++k) {
      want.push_back(literal_forward(current));
      ASSERT_TRUE(same_bits(m->levels[k].approximation, want[k].s)) << "level " << k;
      ASSERT_TRUE(same_bits(m->levels[k].details, want[k].d)) << "level " << k;
      current = want[k].s;
    }

    std::vector<std::span<const float>> details;
    for (const auto& level : m->levels) details.emplace_back(level.details);
    const auto y = Executor{}.multi_idwt(details, m->levels.back().approximation);
    ASSERT_TRUE(y.has_value()) << y.error().message();
    for (std::size_t k = levels; k-- > 0;) current = literal_inverse({current, want[k].d});
    EXPECT_TRUE(same_bits(*y, current));
  }
};

TEST_P(LiteralLevels, Cdf97) {
  expect_literal_levels<Cdf97>(literal_cdf97_forward, literal_cdf97_inverse);
}

TEST_P(LiteralLevels, Cdf53) {
  expect_literal_levels<Cdf53>(literal_cdf53_forward, literal_cdf53_inverse);
}

INSTANTIATE_TEST_SUITE_P(LongSignals, LiteralLevels,
                         ::testing::Values(MultiLevelCase{40000, 2}, MultiLevelCase{100003, 5},
                                           MultiLevelCase{262147, 9},
                                           MultiLevelCase{300001, 14},
                                           // Level buffers of 1 MiB and more, which
                                           // are reserved to whole huge pages.
                                           MultiLevelCase{1200007, 4}));

}  // namespace
}  // namespace wavelet
