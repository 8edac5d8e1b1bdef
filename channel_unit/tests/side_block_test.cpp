// The side block and non-finite runs, at the level the HDF5 filter also sees;
// the hostile-bytes cases run under the sanitizers in CI.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "quillmere/compressor.hpp"
#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/non_finite.hpp"
#include "quillmere_tools/side_block.hpp"

namespace quillmere_tools {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(NonFinite, RunsSplitByKindAndMergedWithinOne) {
  const std::vector<float> x = {1, kNaN, kNaN, kInf, -kInf, -kInf, 2, kNaN};
  const auto runs = find_non_finite<float>(x);
  const std::vector<NonFiniteRun> expected = {{1, 2, NonFiniteKind::NaN},
                                              {3, 1, NonFiniteKind::PlusInf},
                                              {4, 2, NonFiniteKind::MinusInf},
                                              {7, 1, NonFiniteKind::NaN}};
  EXPECT_EQ(runs, expected);
}

TEST(NonFinite, FilledByTheNearestFiniteNeighbour) {
  std::vector<float> x = {kNaN, 1, kNaN, kInf, -kInf, kNaN, 5, kNaN, kNaN};
  const auto runs = find_non_finite<float>(x);
  fill_non_finite(x, runs);
  // The four-sample gap between 1 and 5 splits in halves; ends copy inwards.
  EXPECT_EQ(x, (std::vector<float>{1, 1, 1, 1, 5, 5, 5, 5, 5}));
  std::vector<float> all = {kNaN, kInf};
  fill_non_finite(all, find_non_finite<float>(all));
  EXPECT_EQ(all, (std::vector<float>{0, 0}));
}

// A float64 signal with an offset far from zero and two non-finite samples,
// so that its unit carries a side block. Fails the assertion that calls it
// instead of handing back a unit that was never made.
testing::AssertionResult unit_with_block(std::vector<std::uint8_t>& unit) {
  std::vector<double> x(300);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1e6 + std::sin(0.1 * static_cast<double>(i));
  x[0] = std::nan("");
  x[17] = -std::numeric_limits<double>::infinity();
  auto encoded = encode_unit(std::span<const double>(x), UnitRequest{});
  if (!encoded) return testing::AssertionFailure() << "encode_unit: " << encoded.error().message;
  unit = std::move(encoded->bytes);
  return testing::AssertionSuccess();
}

// A bare container of 300 zeros: valid, but not the one any block names.
testing::AssertionResult other_container(std::vector<std::uint8_t>& container) {
  const auto c = quillmere::compress(std::span<const float>(std::vector<float>(300, 0.0f)), {});
  if (!c) return testing::AssertionFailure() << "compress: " << c.error().message();
  container = *c;
  return testing::AssertionSuccess();
}

// The container's own length: its header and the payload the header states.
testing::AssertionResult container_length(const std::vector<std::uint8_t>& unit, std::size_t& length) {
  const auto header = quillmere::QuillmereHeader::from_bytes(unit, quillmere::kLastToolsCoder);
  if (!header) return testing::AssertionFailure() << "header: " << header.error().message();
  length = quillmere::HEADER_LEN + header->payload_len;
  return testing::AssertionSuccess();
}

TEST(SideBlock, UnitRoundTripKeepsPrecisionOffsetAndGaps) {
  std::vector<std::uint8_t> unit;
  ASSERT_TRUE(unit_with_block(unit));
  const auto decoded = decode_unit(unit);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
  ASSERT_EQ(decoded->precision, Precision::Float64);
  ASSERT_EQ(decoded->f64.size(), 300u);
  EXPECT_TRUE(std::isnan(decoded->f64[0]));
  EXPECT_EQ(decoded->f64[17], -std::numeric_limits<double>::infinity());
  EXPECT_NEAR(decoded->f64[100], 1e6 + std::sin(10.0), 1e-3);
}

TEST(SideBlock, EveryTruncationAndBitFlipIsAnErrorValue) {
  std::vector<std::uint8_t> unit;
  ASSERT_TRUE(unit_with_block(unit));
  std::size_t bare = 0;
  ASSERT_TRUE(container_length(unit, bare));
  ASSERT_LT(bare, unit.size());
  for (std::size_t cut = 0; cut < unit.size(); ++cut) {
    const std::span<const std::uint8_t> part(unit.data(), cut);
    const auto decoded = decode_unit(part);
    // Even a cut exactly at the container's end is an error: a unit's
    // default coder says in its container that a side block follows.
    EXPECT_FALSE(decoded.has_value()) << "cut at " << cut << " (the container ends at " << bare << ")";
  }
  for (std::size_t byte = 0; byte < unit.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      auto damaged = unit;
      damaged[byte] ^= static_cast<std::uint8_t>(1u << bit);
      EXPECT_FALSE(decode_unit(damaged).has_value()) << "byte " << byte << " bit " << bit;
    }
  }
}

TEST(SideBlock, BlockOfAnotherContainerIsRefused) {
  std::vector<std::uint8_t> unit, other;
  ASSERT_TRUE(unit_with_block(unit));
  ASSERT_TRUE(other_container(other));
  // The block starts after the container; find it by its magic.
  std::size_t at = 0;
  for (std::size_t i = 0; i + 4 <= unit.size(); ++i) {
    if (unit[i] == 'Q' && unit[i + 1] == 'L' && unit[i + 2] == 'M' && unit[i + 3] == 'C') at = i;
  }
  ASSERT_GT(at, 0u);
  std::vector<std::uint8_t> spliced = other;
  spliced.insert(spliced.end(), unit.begin() + static_cast<std::ptrdiff_t>(at), unit.end());
  const auto decoded = decode_unit(spliced);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_NE(decoded.error().message.find("different container"), std::string::npos)
      << decoded.error().message;
}

}  // namespace
}  // namespace quillmere_tools
