// prepare_samples() keeps the range it checked so that the codec need not
// scan for it again. The codec takes that range on trust, so on every road
// (float32 clean or with non-finite samples, float64 with or without an
// offset) it must be the exact smallest and largest of the samples handed
// on; and a unit coded with it must hold the container compress() makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "quillmere/compressor.hpp"
#include "quillmere/side_block_flag.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/coded_samples.hpp"

namespace quillmere_tools {
namespace {

struct Input {
  std::string name;
  std::vector<double> values;  // NaN and infinities kept as they are
  bool as_float64;
};

void PrintTo(const Input& in, std::ostream* os) { *os << in.name; }

std::vector<double> wave(std::size_t n, double offset) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = offset + std::sin(0.02 * static_cast<double>(i)) * (1 + i % 5);
  return x;
}

std::vector<Input> inputs() {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<Input> out;
  out.push_back({"float32_clean", wave(5000, 0.0), false});
  out.push_back({"float64_clean", wave(5000, 0.0), true});
  out.push_back({"float64_offset", wave(5000, 1e6), true});
  std::vector<double> holes = wave(5000, 0.0);
  holes[0] = kNaN;      // the cleaning fills these, and the range covers the fill
  holes[300] = kInf;
  holes[4999] = -kInf;
  out.push_back({"float32_non_finite", holes, false});
  out.push_back({"float64_non_finite", holes, true});
  return out;
}

class CodedRange : public ::testing::TestWithParam<Input> {};

TEST_P(CodedRange, IsTheRangeOfTheCodedSamples) {
  const Input& in = GetParam();
  const std::vector<float> f(in.values.begin(), in.values.end());
  const SignalView view = in.as_float64 ? SignalView(std::span<const double>(in.values))
                                        : SignalView(std::span<const float>(f));
  const auto coded = prepare_samples(view);
  ASSERT_TRUE(coded.has_value());
  ASSERT_TRUE(coded->range.has_value());
  const auto [lo, hi] = std::minmax_element(coded->samples.begin(), coded->samples.end());
  EXPECT_EQ(coded->range->lo, *lo);
  EXPECT_EQ(coded->range->hi, *hi);

  UnitRequest request;
  request.options.coder = quillmere::Coder::Fast;
  const auto unit = encode_unit(view, request);
  ASSERT_TRUE(unit.has_value());
  auto expected = quillmere::compress(coded->samples, request.options);
  ASSERT_TRUE(expected.has_value());
  ASSERT_GE(unit->bytes.size(), expected->size());
  // The side flag a following block sets is the only bit that may differ.
  std::vector<std::uint8_t> container(unit->bytes.begin(),
                                      unit->bytes.begin() + static_cast<std::ptrdiff_t>(expected->size()));
  if (unit->bytes.size() > expected->size()) quillmere::mark_side_block_follows(*expected);
  EXPECT_EQ(container, *expected);
}

INSTANTIATE_TEST_SUITE_P(Roads, CodedRange, ::testing::ValuesIn(inputs()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmere_tools
