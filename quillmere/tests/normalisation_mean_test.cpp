// The normalisation's mean is an f32 sum in index order whose every partial
// sum rounds, and its bits reach the container. These cases pit the
// normalisation against that plain chain on inputs that take its other
// routes: exact halves on the sum's grid, binades crossed inside a run,
// long stretches of zero terms, tails shorter than a run.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "compress_stages.hpp"

namespace quillmere {
namespace {

struct Lcg {
  std::uint64_t s;
  double next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) / 9007199254740992.0;  // [0, 1)
  }
};

float cleaned(float v) {
  if (std::isnan(v)) return 0.0f;
  if (std::isinf(v)) return v > 0 ? 1.0f : 0.0f;
  return v;
}

struct Case {
  std::string name;
  std::vector<float> x;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<Case> cases() {
  std::vector<Case> out;
  Lcg g{7};
  {
    std::vector<float> x(200003);
    for (auto& v : x) v = static_cast<float>(g.next() * 2.0 - 1.0);
    out.push_back({"uniform", x});
  }
  {
    // Integers over a power-of-two range: every term has few bits, so many
    // fall exactly halfway between two multiples of the sum's grid.
    std::vector<float> x(150000);
    for (auto& v : x) v = static_cast<float>(std::floor(g.next() * 1024.0));
    x[0] = 0.0f;
    x[1] = 1024.0f;
    out.push_back({"integers_pow2_range", x});
  }
  {
    std::vector<float> x(150000);
    for (auto& v : x) v = static_cast<float>(std::floor(g.next() * 7.0));
    out.push_back({"few_levels", x});
  }
  {
    // Mostly at the minimum (zero terms), a rare spike: the sum stays small.
    std::vector<float> x(100000, -1.0f);
    for (std::size_t i = 0; i < x.size(); i += 4099) x[i] = 3.0f;
    out.push_back({"sparse_at_minimum", x});
  }
  {
    // Sparse around zero, as quiet recordings are.
    std::vector<float> x(120000, 0.0f);
    for (std::size_t i = 0; i < x.size(); ++i)
      if (g.next() < 0.05) x[i] = static_cast<float>(g.next() - 0.5);
    out.push_back({"sparse_at_zero", x});
  }
  {
    // Long enough to cross binades up to 2^21, with terms near 1.
    std::vector<float> x(3000000);
    for (auto& v : x) v = static_cast<float>(0.9 + 0.1 * g.next());
    x[0] = 0.0f;
    out.push_back({"near_top_long", x});
  }
  {
    std::vector<float> x(50000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(g.next());
    x[17] = std::numeric_limits<float>::quiet_NaN();
    x[4000] = std::numeric_limits<float>::infinity();
    x[4001] = -std::numeric_limits<float>::infinity();
    out.push_back({"non_finite", x});
  }
  // Lengths around where the runs start and end.
  for (const std::size_t n : {1u, 2u, 31u, 64u, 127u, 128u, 129u, 160u, 191u, 1000u}) {
    std::vector<float> x(n);
    for (auto& v : x) v = static_cast<float>(g.next());
    out.push_back({"length_" + std::to_string(n), x});
  }
  return out;
}

class NormalisationMean : public ::testing::TestWithParam<Case> {};

TEST_P(NormalisationMean, MatchesTheOrderedChainBitForBit) {
  const auto& x = GetParam().x;
  std::vector<float> out(x.size());
  auto frame = stages::normalise_into(x, out);
  ASSERT_TRUE(frame.has_value());
  const float lo = frame->min, hi = frame->max;
  const float range = hi - lo;
  if (!(range > 1e-5f)) GTEST_SKIP() << "flat signal";
  const float r = 1.0f / range;
  float sum = 0.0f;
  std::vector<float> v(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    v[i] = (cleaned(x[i]) - lo) * r;
    sum += v[i];
  }
  const float mean = sum / static_cast<float>(x.size());
  EXPECT_EQ(std::bit_cast<std::uint32_t>(frame->mean), std::bit_cast<std::uint32_t>(mean));
  std::size_t differing = 0;
  for (std::size_t i = 0; i < x.size(); ++i)
    differing += std::bit_cast<std::uint32_t>(out[i]) != std::bit_cast<std::uint32_t>(v[i] - mean);
  EXPECT_EQ(differing, 0u);
}

INSTANTIATE_TEST_SUITE_P(Inputs, NormalisationMean, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmere
