// compress_in_range() skips the codec's scan for the extremes by taking
// them from its caller. Its bytes must be compress()'s for every signal a
// caller may give it: the header stores min and max as bit patterns, so a
// zero extreme must come out with the sign compress() gives it whichever
// sign the caller's own scan happened to keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "quillmere/compressor.hpp"
#include "quillmere/header.hpp"

namespace quillmere {
namespace {

struct Case {
  std::string name;
  std::vector<float> samples;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<float> noisy_sine(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.011f * static_cast<float>(i)) + noise(rng);
  return x;
}

std::vector<Case> cases() {
  std::vector<Case> out;
  out.push_back({"speech_like", noisy_sine(20000, 1)});
  // Longer than the buffers a thread keeps: the level-by-level road.
  out.push_back({"long", noisy_sine(300000, 2)});
  out.push_back({"shorter_than_filter", {0.5f, -0.25f, 0.75f}});
  out.push_back({"one_sample", {3.0f}});
  out.push_back({"constant", std::vector<float>(500, 2.5f)});
  // Zero extremes: the first zero's sign is the one compress() stores.
  std::vector<float> above = noisy_sine(4000, 3);
  for (float& v : above) v = std::fabs(v) + 0.1f;
  above[17] = -0.0f;
  above[900] = 0.0f;
  out.push_back({"min_is_negative_zero_first", above});
  above[17] = 0.0f;
  above[900] = -0.0f;
  out.push_back({"min_is_positive_zero_first", above});
  std::vector<float> below = above;
  for (float& v : below) v = -std::fabs(v);
  below[5] = -0.0f;
  below[6] = 0.0f;
  out.push_back({"max_is_negative_zero_first", below});
  std::vector<float> zeros(300, 0.0f);
  zeros[0] = -0.0f;
  out.push_back({"all_zeros_first_negative", zeros});
  return out;
}

// Both signs of a zero extreme, as a caller's lanes might report it.
std::vector<FiniteRange> ranges_for(const std::vector<float>& x) {
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  std::vector<FiniteRange> out{{*lo, *hi}};
  if (*lo == 0.0f || *hi == 0.0f) {
    const auto flip = [](float v) { return v == 0.0f ? -v : v; };
    out.push_back({flip(*lo), flip(*hi)});
  }
  return out;
}

class KnownRange : public ::testing::TestWithParam<Case> {};

TEST_P(KnownRange, GivesTheBytesOfCompress) {
  const std::vector<float>& x = GetParam().samples;
  for (const Coder coder : {Coder::CModel, Coder::Fast}) {
    for (const std::uint8_t scale : {std::uint8_t{6}, std::uint8_t{11}}) {
      CodecOptions options;
      options.coder = coder;
      options.scale = scale;
      const auto expected = compress(x, options);
      ASSERT_TRUE(expected.has_value());
      for (const FiniteRange& range : ranges_for(x)) {
        const auto got = compress_in_range(x, options, range);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, *expected) << "scale " << int{scale} << ", range " << range.lo << " to "
                                   << range.hi << (std::signbit(range.lo) ? " (lo -0)" : "");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, KnownRange, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

// What compress() refuses up front, compress_in_range() refuses the same way.
TEST(KnownRange, RefusesWhatCompressRefuses) {
  const std::vector<float> empty;
  EXPECT_FALSE(compress_in_range(empty, {}, {0.0f, 0.0f}).has_value());
  const std::vector<float> wide{-3e38f, 3e38f};
  const auto plain = compress(wide, {});
  const auto ranged = compress_in_range(wide, {}, {-3e38f, 3e38f});
  ASSERT_FALSE(plain.has_value());
  ASSERT_FALSE(ranged.has_value());
  EXPECT_EQ(ranged.error().message(), plain.error().message());
}

}  // namespace
}  // namespace quillmere
