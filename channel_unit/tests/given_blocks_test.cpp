// A long signal measured piece by piece and coded block by block, each block
// given on its own: the plan and every block's unit are those of the whole
// signal in memory, for every kind of request.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quillmere_tools/blocked_unit.hpp"

namespace quillmere_tools {
namespace {

constexpr std::uint32_t kBlock = kMinBlockLength;

std::vector<double> signal(std::size_t n) {
  std::vector<double> x(n);
  double walk = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    walk += std::sin(0.7 * static_cast<double>(i * i % 977));
    x[i] = 1e3 + walk + 0.1 * std::sin(0.05 * static_cast<double>(i));
  }
  x[17] = std::numeric_limits<double>::quiet_NaN();
  x[n - 2] = std::numeric_limits<double>::infinity();
  return x;
}

SignalMeasure measured_in_pieces(const std::vector<double>& x, std::size_t piece) {
  SignalMeasure m;
  for (std::size_t at = 0; at < x.size(); at += piece) {
    measure_more(std::span<const double>(x).subspan(at, std::min(piece, x.size() - at)), m);
  }
  return m;
}

UnitRequest with_bounds(std::optional<double> max_error, std::optional<double> prd,
                        std::optional<double> psnr, std::optional<double> bits) {
  UnitRequest r;
  r.bounds.max_error = max_error;
  r.bounds.prd = prd;
  r.bounds.psnr = psnr;
  r.bounds.bits_per_sample = bits;
  return r;
}

class GivenBlocks : public ::testing::TestWithParam<int> {};

TEST_P(GivenBlocks, SameUnitsAsTheWholeSignal) {
  const std::vector<UnitRequest> requests = {
      UnitRequest{}, with_bounds(0.05, {}, {}, {}), with_bounds({}, 0.5, {}, {}),
      with_bounds({}, {}, 60.0, {}), with_bounds({}, {}, {}, 3.0)};
  const UnitRequest& request = requests.at(static_cast<std::size_t>(GetParam()));
  const auto x = signal(4 * kBlock + 999);
  const std::span<const double> whole(x);
  const auto plan = plan_blocks(whole, request, kBlock);
  ASSERT_TRUE(plan.has_value()) << plan.error().message;
  // Pieces that straddle block edges, and single samples.
  for (const std::size_t piece : {std::size_t{1}, std::size_t{3001}, x.size()}) {
    const auto m = measured_in_pieces(x, piece);
    const auto streamed = plan_measured(x.size(), m, request, kBlock);
    ASSERT_TRUE(streamed.has_value()) << streamed.error().message;
    EXPECT_EQ(streamed->finite, plan->finite);
    EXPECT_EQ(streamed->sum_x2, plan->sum_x2);
    EXPECT_EQ(streamed->lo, plan->lo);
    EXPECT_EQ(streamed->hi, plan->hi);
    EXPECT_EQ(streamed->request.bounds.rmse, plan->request.bounds.rmse);
    EXPECT_EQ(streamed->multiplier, plan->multiplier);
  }
  for (std::size_t i = 0; i < plan->block_count; ++i) {
    const auto block = whole.subspan(i * kBlock, plan->block_samples_of(i));
    const auto own = encode_given_block(block, *plan, i);
    const auto sliced = encode_block(whole, *plan, i);
    ASSERT_TRUE(own.has_value() && sliced.has_value());
    EXPECT_EQ(own->bytes, sliced->bytes) << "block " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, GivenBlocks, ::testing::Range(0, 5));

TEST(GivenBlocks, ABlockOfTheWrongLengthOrPlaceIsRefused) {
  const auto x = signal(3 * kBlock + 5);
  const std::span<const double> whole(x);
  const auto plan = plan_blocks(whole, UnitRequest{}, kBlock);
  ASSERT_TRUE(plan.has_value());
  // The last block is 5 samples; a full one in its place is refused, as is
  // a block past the end.
  const auto wrong = encode_given_block(whole.first(kBlock), *plan, 3);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().kind, UnitErrorKind::BadInput);
  EXPECT_NE(wrong.error().message.find("block 3"), std::string::npos);
  EXPECT_FALSE(encode_given_block(whole.first(5), *plan, 4).has_value());
}

TEST(GivenBlocks, AnUnmeasuredSignalFailsItsPlanAsTheWholeDoes) {
  // A flat signal has no range for a PSNR: the same error either way.
  const std::vector<float> flat(2 * kBlock + 1, 3.0f);
  const auto request = with_bounds({}, {}, 40.0, {});
  const auto whole = plan_blocks(std::span<const float>(flat), request, kBlock);
  SignalMeasure m;
  measure_more(std::span<const float>(flat), m);
  const auto streamed = plan_measured(flat.size(), m, request, kBlock);
  ASSERT_FALSE(whole.has_value());
  ASSERT_FALSE(streamed.has_value());
  EXPECT_EQ(streamed.error().message, whole.error().message);
}

}  // namespace
}  // namespace quillmere_tools
