// Blocked units: the short form unchanged, ranges equal to slices of the
// whole, bounds over the whole signal, the same bytes on any thread count,
// and each kind of damage to the index one clear error.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere_tools/blocked_unit.hpp"

namespace quillmere_tools {
namespace {

constexpr std::uint32_t kBlock = kMinBlockLength;

std::vector<float> wave(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    // Quiet first half, loud second half: a per-block PRD would differ a lot.
    x[i] = static_cast<float>((i < n / 2 ? 0.01 : 1.0) * std::sin(0.01 * t) + 0.3 * std::sin(0.37 * t));
  }
  return x;
}

std::vector<std::uint8_t> blocked(const std::vector<float>& x, const UnitRequest& r = {},
                                  std::size_t threads = 2) {
  auto unit = encode_long(std::span<const float>(x), r, kBlock, threads);
  EXPECT_TRUE(unit.has_value()) << unit.error().message;
  return unit ? unit->bytes : std::vector<std::uint8_t>{};
}

TEST(BlockedUnit, ShortSignalIsThePlainUnit) {
  const auto x = wave(kBlock);
  const auto plain = encode_unit(std::span<const float>(x), UnitRequest{});
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(blocked(x), plain->bytes);
  EXPECT_FALSE(is_blocked_unit(plain->bytes));
}

TEST(BlockedUnit, SameBytesOnAnyThreadCountAndRefusedByTheCodec) {
  const auto x = wave(5 * kBlock + 123);
  const auto one = blocked(x, {}, 1);
  EXPECT_EQ(one, blocked(x, {}, 2));
  EXPECT_EQ(one, blocked(x, {}, 7));
  ASSERT_TRUE(is_blocked_unit(one));
  const auto codec = quillmere::decompress(one);
  ASSERT_FALSE(codec.has_value());
  EXPECT_EQ(codec.error().message(), "Magic should be 'QLMR' but it was 'QLMB'");
}

TEST(BlockedUnit, RangesEqualSlicesOfTheWhole) {
  std::vector<double> x(3 * kBlock + 5);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1e7 + std::sin(0.05 * static_cast<double>(i));
  x[kBlock + 3] = std::numeric_limits<double>::quiet_NaN();
  auto unit = encode_long(std::span<const double>(x), {}, kBlock, 2);
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  const auto whole = decode_any(unit->bytes, 2);
  ASSERT_TRUE(whole.has_value()) << whole.error().message;
  ASSERT_EQ(whole->precision, Precision::Float64);
  ASSERT_EQ(whole->f64.size(), x.size());
  EXPECT_TRUE(std::isnan(whole->f64[kBlock + 3]));
  const std::pair<std::uint64_t, std::uint64_t> ranges[] = {
      {0, 1}, {kBlock - 1, kBlock + 1}, {5, 3 * kBlock + 5}, {3 * kBlock, 3 * kBlock + 5}, {7, 7}};
  for (const auto& [a, b] : ranges) {
    const auto part = decode_range(unit->bytes, a, b, 3);
    ASSERT_TRUE(part.has_value()) << part.error().message;
    ASSERT_EQ(part->f64.size(), b - a);
    if (a == b) continue;
    EXPECT_EQ(0, std::memcmp(part->f64.data(), whole->f64.data() + a, (b - a) * sizeof(double)))
        << a << ".." << b;
  }
  const auto past = decode_range(unit->bytes, 0, x.size() + 1, 1);
  ASSERT_FALSE(past.has_value());
  EXPECT_EQ(past.error().kind, UnitErrorKind::BadInput);
}

TEST(BlockedUnit, OnlyTheBlocksOfTheRangeAreDecoded) {
  const auto x = wave(6 * kBlock);
  auto unit = blocked(x);
  // Damage block 0's bytes: a range that does not touch it must still read,
  // and count just the blocks it overlaps.
  const std::uint32_t count = quillmere::load_le32(unit.data() + 20);
  unit[kBlockedHeaderLen + count * kBlockEntryLen + 4 + 60] ^= 0xff;
  std::atomic<int> decoded{0};
  std::vector<float> out(kBlock + 2);
  const auto ok = decode_range_with(
      unit, 2 * kBlock - 1, 3 * kBlock + 1, 2,
      [&](Precision, std::size_t) -> UnitResult<SampleSink> { return SampleSink(std::span(out)); },
      [&] { ++decoded; });
  ASSERT_TRUE(ok.has_value()) << ok.error().message;
  EXPECT_EQ(decoded.load(), 3);
  const auto whole = decode_range(unit, 0, 1, 1);
  ASSERT_FALSE(whole.has_value());
  EXPECT_NE(whole.error().message.find("block 0 fails its CRC"), std::string::npos);
}

struct BoundCase {
  const char* name;
  UnitBounds bounds;
};

class BlockedBounds : public ::testing::TestWithParam<BoundCase> {};

// The bounds hold over the whole signal, measured here independently.
TEST_P(BlockedBounds, HoldOverTheWholeSignal) {
  const auto x = wave(4 * kBlock + 77);
  UnitRequest r;
  r.bounds = GetParam().bounds;
  auto unit = encode_long(std::span<const float>(x), r, kBlock, 2);
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  ASSERT_TRUE(is_blocked_unit(unit->bytes));
  const auto y = decode_any(unit->bytes, 2);
  ASSERT_TRUE(y.has_value()) << y.error().message;
  double max_abs = 0, sum_sq = 0, sum_x2 = 0, lo = x[0], hi = x[0];
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double e = static_cast<double>(y->f32[i]) - x[i];
    max_abs = std::max(max_abs, std::fabs(e));
    sum_sq += e * e;
    sum_x2 += static_cast<double>(x[i]) * x[i];
    lo = std::min<double>(lo, x[i]);
    hi = std::max<double>(hi, x[i]);
  }
  const double rmse = std::sqrt(sum_sq / static_cast<double>(x.size()));
  const UnitBounds& b = r.bounds;
  if (b.max_error) { EXPECT_LE(max_abs, *b.max_error); }
  if (b.rmse) { EXPECT_LE(rmse, *b.rmse); }
  if (b.prd) { EXPECT_LE(100 * std::sqrt(sum_sq / sum_x2), *b.prd); }
  if (b.psnr) { EXPECT_GE(20 * std::log10((hi - lo) / rmse), *b.psnr); }
  if (b.bits_per_sample) {
    EXPECT_LE(8.0 * static_cast<double>(unit->bytes.size()) / static_cast<double>(x.size()),
              *b.bits_per_sample);
  }
  // The report speaks for the whole signal too.
  EXPECT_NEAR(unit->report.rmse, rmse, 1e-6 * rmse + 1e-12);
  EXPECT_DOUBLE_EQ(unit->report.max_error, max_abs);
}

INSTANTIATE_TEST_SUITE_P(
    Each, BlockedBounds,
    ::testing::Values(BoundCase{"max_error", {1e-3, {}, {}, {}, {}}},
                      BoundCase{"rmse", {{}, 2e-3, {}, {}, {}}}, BoundCase{"prd", {{}, {}, 1.0, {}, {}}},
                      BoundCase{"psnr", {{}, {}, {}, 50.0, {}}},
                      BoundCase{"mixed", {0.01, {}, 0.5, {}, {}}},
                      BoundCase{"bits", {{}, {}, {}, {}, 3.0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BlockedUnit, PsnrOfAConstantSignalIsRefused) {
  const std::vector<float> x(2 * kBlock, 1.5f);
  UnitRequest r;
  r.bounds.psnr = 40.0;
  const auto unit = encode_long(std::span<const float>(x), r, kBlock, 1);
  ASSERT_FALSE(unit.has_value());
  EXPECT_EQ(unit.error().kind, UnitErrorKind::BadBound);
}

TEST(BlockedUnit, BlockLengthOutOfRangeIsRefused) {
  const auto x = wave(100);
  EXPECT_FALSE(encode_long(std::span<const float>(x), {}, kMinBlockLength - 1, 1).has_value());
}

// --- Hostile indexes ------------------------------------------------------

std::uint32_t crc_of(std::span<const std::uint8_t> b) {
  return static_cast<std::uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), b.data(), static_cast<uInt>(b.size())));
}

void reseal(std::vector<std::uint8_t>& unit) {
  const std::uint32_t count = quillmere::load_le32(unit.data() + 20);
  const std::size_t end = kBlockedHeaderLen + count * kBlockEntryLen;
  quillmere::store_le32(unit.data() + end, crc_of(std::span(unit).first(end)));
}

void add64(std::vector<std::uint8_t>& unit, std::size_t at, std::int64_t delta) {
  std::uint64_t v = quillmere::load_le32(unit.data() + at) |
                    (std::uint64_t{quillmere::load_le32(unit.data() + at + 4)} << 32);
  v += static_cast<std::uint64_t>(delta);
  quillmere::store_le32(unit.data() + at, static_cast<std::uint32_t>(v));
  quillmere::store_le32(unit.data() + at + 4, static_cast<std::uint32_t>(v >> 32));
}

struct Damage {
  const char* name;
  void (*apply)(std::vector<std::uint8_t>&);
  const char* expected;  // a piece of the message
};

constexpr std::size_t kEntry1 = kBlockedHeaderLen + kBlockEntryLen;

const Damage kDamages[] = {
    {"offset_past_end", [](auto& u) { add64(u, kEntry1, 1 << 30); reseal(u); }, "past the end"},
    {"length_past_end", [](auto& u) { add64(u, kEntry1 + 8 + 2 * kBlockEntryLen, 1 << 20); reseal(u); },
     "past the end"},
    {"overlap", [](auto& u) { add64(u, kEntry1, -8); reseal(u); }, "overlaps"},
    {"gap", [](auto& u) { add64(u, kBlockedHeaderLen + 8, -8); reseal(u); }, "gap"},
    {"more_samples", [](auto& u) { add64(u, 8, kBlock); reseal(u); }, "cannot hold"},
    {"fewer_samples", [](auto& u) { add64(u, 8, -2); reseal(u); }, "holds"},
    {"header_crc", [](auto& u) { u[9] ^= 1; }, "CRC"},
    {"block_crc", [](auto& u) { u.back() ^= 0x40; }, "fails its CRC"},
    {"truncated", [](auto& u) { u.resize(u.size() - 3); }, "past the end"},
    {"trailing_bytes", [](auto& u) { u.push_back(0); }, "follow the last block"},
    {"tiny_block_length", [](auto& u) { quillmere::store_le32(u.data() + 16, 16); reseal(u); },
     "out of range"},
    {"short_header", [](auto& u) { u.resize(20); }, "truncated"},
};

class HostileIndex : public ::testing::TestWithParam<Damage> {};

TEST_P(HostileIndex, IsOneClearError) {
  auto unit = blocked(wave(3 * kBlock + 9));
  ASSERT_FALSE(unit.empty());
  GetParam().apply(unit);
  const auto decoded = decode_any(unit, 2);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind, UnitErrorKind::CorruptUnit);
  EXPECT_NE(decoded.error().message.find(GetParam().expected), std::string::npos)
      << decoded.error().message;
}

INSTANTIATE_TEST_SUITE_P(Each, HostileIndex, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// Each block's CRC is checked by the task that decodes it, so the blocks
// finish in any order; the error must still be the first damaged block's.
class DamagedBlocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DamagedBlocks, FailByBlockOrderOnAnyThreadCount) {
  auto unit = blocked(wave(6 * kBlock));
  ASSERT_FALSE(unit.empty());
  const std::uint32_t count = quillmere::load_le32(unit.data() + 20);
  const std::size_t data = kBlockedHeaderLen + count * kBlockEntryLen + 4;
  for (const std::size_t block : {4, 1}) {
    const std::size_t at = kBlockedHeaderLen + block * kBlockEntryLen;
    const std::uint64_t offset = quillmere::load_le32(unit.data() + at);
    const std::uint64_t length = quillmere::load_le32(unit.data() + at + 8);
    unit[data + offset + length / 2] ^= 0x10;
  }
  const auto decoded = decode_any(unit, GetParam());
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind, UnitErrorKind::CorruptUnit);
  EXPECT_EQ(decoded.error().message, "blocked unit: block 1 fails its CRC");
  // A range that only the later damaged block overlaps names that one.
  const auto part = decode_range(unit, 4 * kBlock + 7, 5 * kBlock, GetParam());
  ASSERT_FALSE(part.has_value());
  EXPECT_EQ(part.error().message, "blocked unit: block 4 fails its CRC");
}

INSTANTIATE_TEST_SUITE_P(Threads, DamagedBlocks, ::testing::Values(1, 2, 3, 8));

// A block whose unit holds fewer samples than the index gives it, with every
// CRC intact: refused before the caller is asked for the output, so a
// hostile index cannot make it allocate for samples no block holds.
TEST(BlockedUnit, AShortBlockIsRefusedBeforeTheOutputIsMade) {
  const auto x = wave(3 * kBlock);
  std::vector<std::vector<std::uint8_t>> units;
  for (const std::size_t n : {kBlock, kBlock / 2, kBlock}) {
    auto unit = encode_unit(std::span<const float>(x.data(), n), UnitRequest{});
    ASSERT_TRUE(unit.has_value());
    units.push_back(std::move(unit->bytes));
  }
  const auto unit = write_blocked_unit(Precision::Float32, x.size(), kBlock, units);
  ASSERT_TRUE(unit.has_value());
  for (const std::size_t threads : {1, 2}) {
    int asked = 0;
    const auto done = decode_range_with(*unit, 0, x.size(), threads,
                                        [&](Precision, std::size_t) -> UnitResult<SampleSink> {
                                          ++asked;
                                          return unit_error(UnitErrorKind::BadInput, "not wanted");
                                        });
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().message, "blocked unit: block 1 holds 2048 samples, not 4096");
    EXPECT_EQ(asked, 0);
  }
}

}  // namespace
}  // namespace quillmere_tools
