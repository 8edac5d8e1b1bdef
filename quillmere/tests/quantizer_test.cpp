#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "quantizer.hpp"

namespace quillmere {
namespace {

TEST(PickLevels, BoundariesAndFilterLengths) {
  struct Case {
    std::size_t n;
    Method method;
    int levels;
  };
  const Case cases[] = {
      {1, Method::Cdf97, 1},        {19, Method::Cdf97, 1},    {20, Method::Cdf97, 2},
      {39, Method::Db4, 2},         {40, Method::Db4, 3},      {59, Method::Cdf53, 3},
      {60, Method::Cdf53, 4},       {79, Method::Cdf97, 4},    {80, Method::Cdf97, 3},
      {159, Method::Cdf97, 3},      {160, Method::Cdf97, 4},   {2560, Method::Cdf97, 8},
      {2559, Method::Cdf97, 7},     {10'000'000, Method::Cdf97, 8},
      {80, Method::Cdf53, 3},       {96, Method::Cdf53, 4},    {80, Method::Sym4, 3},
      {2048, Method::Db4, 8},       {2047, Method::Sym4, 7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pick_levels(c.n, c.method), c.levels) << c.n << " " << int(c.method);
  }
}

TEST(Quantise, RoundsHalvesAwayFromZeroAndSaturates) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> c = {0.75f, -0.75f, 1.25f, -1.25f, 0.2499999f, 20000.0f, -20000.0f,
                                16383.75f, -16384.25f, 0.0f, -0.0f};
  std::vector<std::int16_t> q(c.size());
  const std::size_t saturated = quantise(c, 2.0f, q);
  const std::vector<std::int16_t> want = {2, -2, 3, -3, 0, 32767, -32768, 32767, -32768, 0, 0};
  EXPECT_EQ(q, want);
  // 40000 and -40000 lie beyond the range; 32767.5 and -32768.5 round out of it too.
  EXPECT_EQ(saturated, 4u);

  std::vector<std::int16_t> one(1);
  EXPECT_EQ(quantise(std::vector<float>{1.0f}, nan, one), 1u);
  EXPECT_EQ(one[0], 32767);
  EXPECT_EQ(quantise(std::vector<float>{16383.74f}, 2.0f, one), 0u);
  EXPECT_EQ(one[0], 32767);
}

TEST(Quantise, MatchesReferenceRoundingOnManyValues) {
  // Reference: std::round rounds halves away from zero, then clamp.
  std::vector<float> c;
  for (int i = -200000; i <= 200000; ++i) c.push_back(static_cast<float>(i) * 0.01234567f);
  std::vector<std::int16_t> q(c.size());
  quantise(c, 7.5f, q);
  for (std::size_t i = 0; i < c.size(); ++i) {
    float v = std::round(c[i] * 7.5f);
    v = std::fmin(v, 32767.0f);
    v = std::fmax(v, -32768.0f);
    ASSERT_EQ(q[i], static_cast<std::int16_t>(v)) << c[i];
  }
}

// What the thresholds must do, rather than their table: a finer scale or a
// higher cutoff never zeroes less, the two coarsest scales zero nothing,
// and a cutoff byte outside the enumeration behaves as Low.
TEST(DeadZone, ThresholdsGrowWithScaleAndCutoff) {
  const Cutoff cutoffs[] = {Cutoff::Low, Cutoff::Medium, Cutoff::High};
  for (std::uint8_t scale = kMinScale; scale <= kMaxScale; ++scale) {
    for (int c = 0; c < 3; ++c) {
      const auto t = dead_zone_threshold(scale, cutoffs[c]);
      if (c > 0) {
        EXPECT_GE(t, dead_zone_threshold(scale, cutoffs[c - 1])) << int{scale} << "/" << c;
      }
      if (scale > kMinScale) {
        EXPECT_GE(t, dead_zone_threshold(scale - 1, cutoffs[c])) << int{scale} << "/" << c;
      }
    }
    EXPECT_EQ(dead_zone_threshold(scale, static_cast<Cutoff>(9)),
              dead_zone_threshold(scale, Cutoff::Low));
  }
  for (const std::uint8_t scale : {std::uint8_t{6}, std::uint8_t{7}}) {
    for (const Cutoff cutoff : cutoffs) {
      std::vector<std::int16_t> band = {-2, -1, 0, 1, 2, 100};
      const auto before = band;
      apply_dead_zone(band, dead_zone_threshold(scale, cutoff));
      EXPECT_EQ(band, before) << int{scale};
    }
  }
}

TEST(DeadZone, ZeroesBelowThresholdOnly) {
  std::vector<std::int16_t> band;
  for (int v = -25; v <= 25; ++v) band.push_back(static_cast<std::int16_t>(v));
  band.push_back(-32768);
  apply_dead_zone(band, dead_zone_threshold(12, Cutoff::High));
  for (std::size_t i = 0; i + 1 < band.size(); ++i) {
    const int original = static_cast<int>(i) - 25;
    EXPECT_EQ(band[i], std::abs(original) < 21 ? 0 : original);
  }
  EXPECT_EQ(band.back(), -32768);
}

// The format multiplies by the f32 reciprocal; dividing by m rounds
// differently for some values, and a decoder that divided would give other
// samples. With m = 3, 5/3 and 5 * (1/3) differ in their last bit.
TEST(Dequantise, MultipliesByTheReciprocalNotDivides) {
  const std::vector<std::int16_t> q = {5, -5, 32767, -32768, 0};
  std::vector<float> out(q.size());
  dequantise(q, 3.0f, out);
  const float r = 1.0f / 3.0f;
  ASSERT_NE(r * 5.0f, 5.0f / 3.0f);
  for (std::size_t i = 0; i < q.size(); ++i) EXPECT_EQ(out[i], r * static_cast<float>(q[i]));
}

// Quantising and dequantising loses at most half a step (plus f32 rounding)
// for values inside the 16-bit range.
TEST(Dequantise, UndoesQuantisationWithinHalfAStep) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(-15.0f, 15.0f);
  for (const float m : {64.0f, 2048.0f, 0.37f}) {
    std::vector<float> c(1000);
    for (auto& v : c) v = value(rng);
    std::vector<std::int16_t> q(c.size());
    std::vector<float> back(c.size());
    quantise(c, m, q);
    dequantise(q, m, back);
    for (std::size_t i = 0; i < c.size(); ++i) {
      ASSERT_LE(std::abs(back[i] - c[i]), 0.5f / m * 1.0001f + 1e-6f) << m << " " << c[i];
    }
  }
}

}  // namespace
}  // namespace quillmere

namespace quillmere {
namespace {

// The compressor's one-pass band quantiser against the three passes it
// replaces, over lengths around the lane count, every threshold the table
// makes, and values that round at the saturation limits.
TEST(QuantiseBand, EqualsQuantiseDeadZoneAndRange) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> wide(-5.0f, 5.0f);
  const std::size_t lengths[] = {0, 1, 15, 16, 17, 255, 1000};
  const std::uint16_t thresholds[] = {0, 1, 2, 3, 6, 14, 21};
  for (const std::size_t n : lengths) {
    std::vector<float> c(n);
    for (auto& v : c) v = wide(rng);
    if (n > 4) {
      c[0] = 32767.5f / 6000.0f;    // rounds out of range at m = 6000
      c[1] = -32768.5f / 6000.0f;
      c[2] = -0.0f;
      c[n - 1] = 1.4f / 6000.0f;    // small: zeroed by the larger thresholds
    }
    for (const std::uint16_t t : thresholds) {
      for (const float m : {1.0f, 6000.0f}) {
        std::vector<std::int16_t> want(n), got(n, 123);
        quantise(c, m, want);
        apply_dead_zone(want, t);
        const BandRange range = quantise_band(c, m, t, got);
        ASSERT_EQ(got, want) << n << " " << t << " " << m;
        float lo = std::numeric_limits<float>::infinity(), hi = -lo;
        for (const float v : c) {
          lo = std::min(lo, v);
          hi = std::max(hi, v);
        }
        EXPECT_EQ(range.lo, lo) << n;
        EXPECT_EQ(range.hi, hi) << n;
      }
    }
  }
}

}  // namespace
}  // namespace quillmere
