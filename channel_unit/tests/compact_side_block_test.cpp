// The side block's compact layout: it reads back as the fixed one does, is
// smaller by its fields and the corrections' magic and CRC, and every
// forgery behind a valid CRC ends in an error value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/corrections.hpp"
#include "quillmere_tools/checksum.hpp"
#include "quillmere_tools/side_block.hpp"

namespace quillmere_tools {
namespace {

constexpr std::uint32_t kSamples = 400;

struct Fixture {
  std::vector<std::uint8_t> container;
  SideBlock block;
};

// A float64 block with an offset, a non-finite run and real corrections.
Fixture fixture() {
  Fixture f;
  std::vector<float> decoded(kSamples);
  std::vector<double> x(kSamples);
  for (std::uint32_t i = 0; i < kSamples; ++i) {
    decoded[i] = static_cast<float>(std::sin(0.05 * i));
    x[i] = 500.0 + static_cast<double>(decoded[i]) + (i % 13 == 0 ? 0.4 : 0.001);
  }
  auto c = quillmere::compress(std::span<const float>(decoded), {});
  EXPECT_TRUE(c.has_value());
  if (c) f.container = std::move(*c);
  auto fix = quillmere::corrections::encode(decoded, quillmere::Originals::of_double(x, 500.0), 0.01);
  EXPECT_TRUE(fix.has_value());
  if (fix) f.block.corrections = std::move(fix->bytes);
  f.block.precision = Precision::Float64;
  f.block.offset = 500.0;
  f.block.non_finite = {{5, 2, NonFiniteKind::NaN}};
  return f;
}

std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> b, std::span<const std::uint8_t> container) {
  const std::size_t at = b.size() - kSideTrailerLen;
  quillmere::store_le32(b.data() + at, crc32_of(std::span<const std::uint8_t>(b).first(at), crc32_of(container)));
  return b;
}

TEST(CompactSideBlock, ReadsBackAsTheFixedLayoutAndIsSmaller) {
  const Fixture f = fixture();
  auto compact = write_side_block(f.block, f.container, kSamples, true);
  auto fixed = write_side_block(f.block, f.container, kSamples, false);
  ASSERT_TRUE(compact && fixed);
  EXPECT_EQ((*compact)[4], 2);
  EXPECT_EQ((*fixed)[4], 1);
  // 14 bytes of fixed fields, and the corrections' magic and CRC.
  EXPECT_EQ(compact->size() + 14 + 8, fixed->size());
  for (const auto* bytes : {&*compact, &*fixed}) {
    auto read = read_side_block(*bytes, f.container, kSamples);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->precision, Precision::Float64);
    EXPECT_EQ(read->offset, f.block.offset);
    EXPECT_EQ(read->non_finite, f.block.non_finite);
    EXPECT_EQ(read->corrections, f.block.corrections);
  }
  // A trailing run keeps the fixed layout, which alone records it.
  SideBlock tailed = f.block;
  tailed.tail = TrailingRun{10, 0};
  auto with_tail = write_side_block(tailed, f.container, kSamples, true);
  ASSERT_TRUE(with_tail);
  EXPECT_EQ((*with_tail)[4], 1);
}

TEST(CompactSideBlock, ForgeriesBehindAValidCrcAreRefused) {
  const Fixture f = fixture();
  auto written = write_side_block(f.block, f.container, kSamples, true);
  ASSERT_TRUE(written);
  const std::vector<std::uint8_t>& b = *written;
  ASSERT_TRUE(read_side_block(resealed(b, f.container), f.container, kSamples));
  // The corrections' version byte: after the flags, the offset and the runs.
  const std::size_t corrections_at = b.size() - kSideTrailerLen - (f.block.corrections.size() - 8);
  ASSERT_EQ(b[corrections_at], f.block.corrections[4]);
  const auto forged = [&](auto change) {
    auto c = b;
    change(c);
    return read_side_block(resealed(std::move(c), f.container), f.container, kSamples);
  };
  EXPECT_FALSE(forged([](auto& c) { c[5] |= 8; }));     // a trailing run in the compact layout
  EXPECT_FALSE(forged([](auto& c) { c[5] |= 0x20; }));  // an unknown flag
  EXPECT_FALSE(forged([](auto& c) { c[5] &= ~16; }));   // float32 with an offset
  EXPECT_FALSE(forged([&](auto& c) { c[corrections_at] = 9; }));
  EXPECT_FALSE(forged([&](auto& c) { c[corrections_at + 2] ^= 1; }));  // the sample count
  EXPECT_FALSE(forged([&](auto& c) { c.erase(c.end() - 6); }));        // a corrections byte gone
  EXPECT_FALSE(forged([&](auto& c) { c.resize(corrections_at + kSideTrailerLen); }));
  // The same bytes after another container, and the CRC left as it was.
  std::vector<std::uint8_t> other = f.container;
  other[other.size() - 1] ^= 1;
  EXPECT_FALSE(read_side_block(b, other, kSamples));
}

}  // namespace
}  // namespace quillmere_tools
