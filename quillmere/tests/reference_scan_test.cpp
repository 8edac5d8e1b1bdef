// A thorough search's reference of float32 originals takes their extremes
// in a vectorised pass and their sum of squares in sample order. Its
// figures must be those of the one-sample-at-a-time scan bit for bit, the
// sign of a zero extreme and non-finite originals included: every PRD and
// PSNR the search reports rests on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "search_support.hpp"

namespace quillmere {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The scan as the general loop makes it: finite samples only, the sum in
// order, std::min and std::max keeping the first of equal extremes.
search::Reference scanned(const std::vector<float>& x) {
  search::Reference ref;
  ref.lo = std::numeric_limits<double>::infinity();
  ref.hi = -ref.lo;
  for (const float v : x) {
    const double d = v;
    if (!std::isfinite(d)) {
      ref.all_finite = false;
      continue;
    }
    ref.sum_x2 += d * d;
    ref.lo = std::min(ref.lo, d);
    ref.hi = std::max(ref.hi, d);
    ++ref.count;
  }
  if (ref.count == 0) ref.lo = ref.hi = 0.0;
  return ref;
}

enum class Shape { Noise, ZeroLowest, ZeroHighest, SignedZerosOnly, NegativeZeroFirst, NaNInside, InfinityLast };

struct Case {
  Shape shape;
  std::size_t n;
};

std::vector<float> samples(const Case& c) {
  std::vector<float> x(c.n);
  std::uint32_t s = 977u + static_cast<std::uint32_t>(c.n);
  for (auto& v : x) {
    s = s * 1664525u + 1013904223u;
    // Magnitudes over several octaves, so that the order of the sum shows.
    v = std::ldexp(static_cast<float>(s >> 8) / 16777216.0f + 0.25f, static_cast<int>(s % 11) - 5);
    if (s & 0x100u) v = -v;
  }
  switch (c.shape) {
    case Shape::Noise:
      break;
    case Shape::ZeroLowest:
      for (auto& v : x) v = std::fabs(v);
      x[c.n / 2] = 0.0f;
      break;
    case Shape::ZeroHighest:
      for (auto& v : x) v = -std::fabs(v);
      x[c.n - 1] = -0.0f;
      break;
    case Shape::SignedZerosOnly:
      for (std::size_t i = 0; i < c.n; ++i) x[i] = i % 3 == 1 ? -0.0f : 0.0f;
      break;
    case Shape::NegativeZeroFirst:
      for (auto& v : x) v = std::fabs(v);
      x[0] = -0.0f;
      x[c.n - 1] = 0.0f;
      break;
    case Shape::NaNInside:
      x[c.n / 3] = std::numeric_limits<float>::quiet_NaN();
      break;
    case Shape::InfinityLast:
      x[c.n - 1] = std::numeric_limits<float>::infinity();
      break;
  }
  return x;
}

class ReferenceScan : public ::testing::TestWithParam<Case> {};

TEST_P(ReferenceScan, SameFiguresAsTheScanSampleBySample) {
  const std::vector<float> x = samples(GetParam());
  const Originals originals = Originals::of_float(x);
  const search::Reference got = search::reference_of(originals);
  const search::Reference want = scanned(x);
  EXPECT_EQ(bits(got.sum_x2), bits(want.sum_x2));
  EXPECT_EQ(bits(got.lo), bits(want.lo));
  EXPECT_EQ(bits(got.hi), bits(want.hi));
  EXPECT_EQ(got.count, want.count);
  EXPECT_EQ(got.all_finite, want.all_finite);
  EXPECT_EQ(got.originals, &originals);
  EXPECT_FALSE(got.energy_pending);
}

std::vector<Case> cases() {
  std::vector<Case> out;
  // Around the extremes' eight lanes and the sum's four.
  for (const std::size_t n : {1, 3, 7, 8, 9, 15, 16, 17, 12000}) {
    for (const Shape s : {Shape::Noise, Shape::ZeroLowest, Shape::ZeroHighest, Shape::SignedZerosOnly,
                          Shape::NegativeZeroFirst, Shape::NaNInside, Shape::InfinityLast}) {
      out.push_back({s, n});
    }
  }
  return out;
}

std::string name_of(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kNames[] = {"Noise",           "ZeroLowest", "ZeroHighest", "SignedZerosOnly",
                                       "NegativeZeroFirst", "NaNInside",  "InfinityLast"};
  return std::string(kNames[static_cast<int>(info.param.shape)]) + "_" + std::to_string(info.param.n);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReferenceScan, ::testing::ValuesIn(cases()), name_of);

}  // namespace
}  // namespace quillmere
