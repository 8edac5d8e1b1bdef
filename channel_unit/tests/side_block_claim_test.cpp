// A fast-coded unit's container says whether a side block follows it, so a
// unit cut at the container's end, or one with bytes glued after it, is
// refused instead of decoding to a different signal.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"
#include "quillmere/side_block_flag.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace quillmere_tools {
namespace {

std::vector<float> wave(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)) + 0.2 * std::sin(0.37 * static_cast<double>(i)));
  return x;
}

// Each of these needs a side block: a non-finite sample, double precision,
// a trailing run.
enum class Need { Nothing, NonFinite, Double, TrailingRun };

EncodedUnit make_unit(quillmere::Coder coder, Need need) {
  UnitRequest request;
  request.options.coder = coder;
  std::vector<float> x = wave(5000);
  if (need == Need::NonFinite) x[1234] = std::numeric_limits<float>::quiet_NaN();
  if (need == Need::TrailingRun) {
    request.split_trailing_run = true;
    for (std::size_t i = 4000; i < x.size(); ++i) x[i] = 0.5f;
  }
  UnitResult<EncodedUnit> unit;
  if (need == Need::Double) {
    const std::vector<double> d(x.begin(), x.end());
    unit = encode_unit(std::span<const double>(d), request);
  } else {
    unit = encode_unit(std::span<const float>(x), request);
  }
  EXPECT_TRUE(unit.has_value());
  return unit.value();
}

std::size_t container_len(std::span<const std::uint8_t> unit) {
  const auto h = quillmere::QuillmereHeader::from_bytes(unit, quillmere::kLastToolsCoder);
  return quillmere::HEADER_LEN + h.value().payload_len;
}

class FastUnitWithBlock : public ::testing::TestWithParam<Need> {};

TEST_P(FastUnitWithBlock, CutAtTheContainerIsRefused) {
  const EncodedUnit unit = make_unit(quillmere::Coder::Fast, GetParam());
  const std::size_t len = container_len(unit.bytes);
  ASSERT_GT(unit.bytes.size(), len);
  EXPECT_EQ(quillmere::side_block_follows(unit.bytes), true);
  ASSERT_TRUE(decode_unit(unit.bytes).has_value());
  ASSERT_TRUE(unit_sample_count(unit.bytes).has_value());

  const std::span<const std::uint8_t> cut(unit.bytes.data(), len);
  const auto decoded = decode_unit(cut);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind, UnitErrorKind::CorruptUnit);
  EXPECT_NE(decoded.error().message.find("side block is missing"), std::string::npos);
  const auto count = unit_sample_count(cut);
  ASSERT_FALSE(count.has_value());
  EXPECT_EQ(count.error().kind, UnitErrorKind::CorruptUnit);
}

INSTANTIATE_TEST_SUITE_P(Needs, FastUnitWithBlock,
                         ::testing::Values(Need::NonFinite, Need::Double, Need::TrailingRun));

TEST(FastUnitClaim, BytesAfterAContainerWithoutBlockAreRefused) {
  const EncodedUnit plain = make_unit(quillmere::Coder::Fast, Need::Nothing);
  ASSERT_EQ(plain.bytes.size(), container_len(plain.bytes));
  EXPECT_EQ(quillmere::side_block_follows(plain.bytes), false);
  ASSERT_TRUE(decode_unit(plain.bytes).has_value());

  // Another unit's genuine side block glued on must not be taken as this one's.
  const EncodedUnit other = make_unit(quillmere::Coder::Fast, Need::Double);
  std::vector<std::uint8_t> glued = plain.bytes;
  glued.insert(glued.end(), other.bytes.begin() + static_cast<std::ptrdiff_t>(container_len(other.bytes)),
               other.bytes.end());
  for (const auto& result : {decode_unit(glued).error(), unit_sample_count(glued).error()}) {
    EXPECT_EQ(result.kind, UnitErrorKind::CorruptUnit);
    EXPECT_NE(result.message.find("announces no side block"), std::string::npos);
  }
}

// The mark costs no byte and changes no sample: one bit of the payload's
// first byte, which the codec decodes alike either way.
TEST(FastUnitClaim, TheMarkChangesNoSample) {
  const EncodedUnit plain = make_unit(quillmere::Coder::Fast, Need::Nothing);
  std::vector<std::uint8_t> marked = plain.bytes;
  ASSERT_TRUE(quillmere::mark_side_block_follows(marked));
  ASSERT_EQ(marked.size(), plain.bytes.size());
  std::size_t differing = 0;
  for (std::size_t i = 0; i < marked.size(); ++i) differing += marked[i] != plain.bytes[i];
  EXPECT_EQ(differing, 1u);
  EXPECT_EQ(quillmere::side_block_follows(marked), true);
  const auto a = quillmere::decompress_tools(marked);
  const auto b = quillmere::decompress_tools(plain.bytes);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(*a, *b);
  // As a unit, a marked container alone is one whose block was cut off.
  EXPECT_FALSE(decode_unit(marked).has_value());
}

TEST(FastUnitClaim, OtherCodersMakeNoClaim) {
  EncodedUnit unit = make_unit(quillmere::Coder::CModel, Need::Double);
  EXPECT_EQ(quillmere::side_block_follows(unit.bytes), std::nullopt);
  EXPECT_FALSE(quillmere::mark_side_block_follows(unit.bytes));
  // Their units read as before: the container alone is a unit without block.
  EXPECT_TRUE(decode_unit(std::span<const std::uint8_t>(unit.bytes.data(), container_len(unit.bytes))).has_value());
}

}  // namespace
}  // namespace quillmere_tools
