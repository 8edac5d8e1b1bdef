#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "quillmere/quantizer.hpp"

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

TEST(DeadZone, ThresholdTable) {
  const int want[7][3] = {{0, 0, 0}, {0, 0, 0}, {1, 3, 7}, {1, 3, 7}, {2, 6, 14}, {2, 6, 14}, {3, 9, 21}};
  for (int scale = 6; scale <= 12; ++scale) {
    for (int cutoff = 0; cutoff < 3; ++cutoff) {
      EXPECT_EQ(dead_zone_threshold(static_cast<std::uint8_t>(scale), static_cast<Cutoff>(cutoff)),
                want[scale - 6][cutoff]);
    }
  }
  EXPECT_EQ(dead_zone_threshold(12, static_cast<Cutoff>(9)), 3);  // unknown cutoff counts as low
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

TEST(Dequantise, MultipliesByTheReciprocal) {
  const std::vector<std::int16_t> q = {3, -7, 32767, -32768, 0};
  std::vector<float> out(q.size());
  dequantise(q, 3.0f, out);
  const float r = 1.0f / 3.0f;
  for (std::size_t i = 0; i < q.size(); ++i) EXPECT_EQ(out[i], r * static_cast<float>(q[i]));
}

}  // namespace
}  // namespace quillmere
