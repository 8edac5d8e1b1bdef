// The trailing run a padding host leaves: split off, restored bit for bit, and
// the bounds holding over every prefix the host may keep; and the side-block
// section that records it, against hostile bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_unit.hpp"
#include "quillmere_tools/side_block.hpp"

namespace quillmere_tools {
namespace {

constexpr std::size_t kStored = 1700;
constexpr std::size_t kChunk = 2000;

// A stored stretch that ends away from the fill value, then the host's padding.
std::vector<float> padded_chunk(float fill) {
  std::vector<float> x(kChunk, fill);
  for (std::size_t i = 0; i < kStored; ++i) {
    const double t = static_cast<double>(i) / 100.0;
    x[i] = static_cast<float>(3.0 + std::sin(2.0 * M_PI * 1.7 * t) + 0.3 * std::sin(41.0 * t));
  }
  return x;
}

struct Measures {
  double max_error = 0, rmse = 0, prd = 0, psnr = 0;
};

// Over the finite originals of x[0, m), as the Python metrics measure.
Measures measure(const std::vector<float>& x, const std::vector<float>& y, std::size_t m) {
  double sse = 0, energy = 0, lo = INFINITY, hi = -INFINITY, worst = 0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < m; ++i) {
    if (!std::isfinite(x[i])) continue;
    const double e = static_cast<double>(x[i]) - static_cast<double>(y[i]);
    worst = std::max(worst, std::fabs(e));
    sse += e * e;
    energy += static_cast<double>(x[i]) * x[i];
    lo = std::min(lo, static_cast<double>(x[i]));
    hi = std::max(hi, static_cast<double>(x[i]));
    ++count;
  }
  Measures out;
  out.max_error = worst;
  out.rmse = std::sqrt(sse / static_cast<double>(count));
  out.prd = 100.0 * std::sqrt(sse / energy);
  out.psnr = out.rmse == 0 ? INFINITY : 20.0 * std::log10((hi - lo) / out.rmse);
  return out;
}

enum class Kind { MaxError, Rmse, Prd, Psnr };

UnitRequest request_for(Kind kind) {
  UnitRequest r;
  r.split_trailing_run = true;
  switch (kind) {
    case Kind::MaxError: r.bounds.max_error = 2e-3; break;
    case Kind::Rmse: r.bounds.rmse = 1e-3; break;
    case Kind::Prd: r.bounds.prd = 0.05; break;
    case Kind::Psnr: r.bounds.psnr = 60.0; break;
  }
  return r;
}

bool holds(Kind kind, const Measures& m, const UnitRequest& r) {
  switch (kind) {
    case Kind::MaxError: return m.max_error <= *r.bounds.max_error;
    case Kind::Rmse: return m.rmse <= *r.bounds.rmse;
    case Kind::Prd: return m.prd <= *r.bounds.prd;
    case Kind::Psnr: return m.psnr >= *r.bounds.psnr;
  }
  return false;
}

class PaddedBound : public ::testing::TestWithParam<std::tuple<Kind, float>> {};

TEST_P(PaddedBound, HoldsOverEveryPrefixThatKeepsTheStoredSamples) {
  const auto [kind, fill] = GetParam();
  const auto x = padded_chunk(fill);
  const auto request = request_for(kind);
  const auto unit = encode_unit(std::span<const float>(x), request);
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  EXPECT_EQ(unit->report.trailing_run, kChunk - kStored);
  // At a max-error bound the unit may be an integer unit on a rounded grid.
  const auto header = quillmere::QuillmereHeader::from_bytes(unit->bytes, kLastUnitCoder);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->sample_count, kStored);

  const auto decoded = decode_unit(unit->bytes);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
  ASSERT_EQ(decoded->f32.size(), kChunk);
  for (std::size_t i = kStored; i < kChunk; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(decoded->f32[i]), std::bit_cast<std::uint32_t>(fill));
  }
  for (std::size_t m = kStored; m <= kChunk; m += 50) {
    EXPECT_TRUE(holds(kind, measure(x, decoded->f32, m), request)) << "prefix " << m;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FillValues, PaddedBound,
    ::testing::Combine(::testing::Values(Kind::MaxError, Kind::Rmse, Kind::Prd, Kind::Psnr),
                       ::testing::Values(0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
                                         3.5f, 1e6f)));

TEST(TrailingRun, Float64RunAndConstantSignalComeBackExactly) {
  std::vector<double> x(500, 1e9 + 0.25);
  for (std::size_t i = 0; i < 200; ++i) x[i] = 1e9 + std::sin(0.05 * static_cast<double>(i));
  UnitRequest r;
  r.split_trailing_run = true;
  r.bounds.rmse = 1e-4;
  auto unit = encode_unit(std::span<const double>(x), r);
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  auto decoded = decode_unit(unit->bytes);
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->f64.size(), x.size());
  EXPECT_TRUE(std::equal(x.begin() + 200, x.end(), decoded->f64.begin() + 200));

  // All one value: the container keeps a single sample.
  const std::vector<double> flat(64, -7.5);
  unit = encode_unit(std::span<const double>(flat), r);
  ASSERT_TRUE(unit.has_value());
  EXPECT_EQ(unit->report.trailing_run, 63u);
  decoded = decode_unit(unit->bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->f64, flat);
}

TEST(TrailingRun, SampleCountIsTheUnitsNotTheContainers) {
  const auto x = padded_chunk(0.0f);
  for (const bool split : {false, true}) {
    UnitRequest r;
    r.split_trailing_run = split;
    const auto unit = encode_unit(std::span<const float>(x), r);
    ASSERT_TRUE(unit.has_value());
    const auto count = unit_sample_count(unit->bytes);
    ASSERT_TRUE(count.has_value()) << count.error().message;
    EXPECT_EQ(*count, kChunk);
    auto cut = unit->bytes;
    cut.pop_back();
    EXPECT_FALSE(unit_sample_count(cut).has_value());
  }
}

TEST(TrailingRun, KeptInTheContainerUnlessAskedOrTooShort) {
  const auto x = padded_chunk(0.0f);
  UnitRequest plain;
  plain.bounds.rmse = 1e-3;
  const auto unit = encode_unit(std::span<const float>(x), plain);
  ASSERT_TRUE(unit.has_value());
  EXPECT_EQ(unit->report.trailing_run, 0u);
  EXPECT_EQ(quillmere::QuillmereHeader::from_bytes(unit->bytes, quillmere::kLastToolsCoder)->sample_count, kChunk);

  auto y = padded_chunk(0.0f);
  y.back() = 1.0f;  // the run is a single sample
  plain.split_trailing_run = true;
  const auto single = encode_unit(std::span<const float>(y), plain);
  ASSERT_TRUE(single.has_value());
  EXPECT_EQ(single->report.trailing_run, 0u);
}

TEST(TrailingRun, SizeBudgetCountsTheWholeUnit) {
  const auto x = padded_chunk(0.0f);
  UnitRequest r;
  r.split_trailing_run = true;
  r.bounds.bits_per_sample = 3.0;
  const auto unit = encode_unit(std::span<const float>(x), r);
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  EXPECT_LE(8.0 * static_cast<double>(unit->bytes.size()) / kChunk, 3.0);
  // Most of the budget goes to the stored samples, not wasted.
  EXPECT_GT(8.0 * static_cast<double>(unit->bytes.size()) / kChunk, 2.0);
}

// A unit with a trailing-run section, and where its block starts.
struct Tailed {
  std::vector<std::uint8_t> bytes;
  std::size_t block = 0;
};

Tailed tailed_unit() {
  auto x = padded_chunk(0.0f);
  UnitRequest r;
  r.split_trailing_run = true;
  const auto unit = encode_unit(std::span<const float>(x), r);
  EXPECT_TRUE(unit.has_value());
  const auto header = quillmere::QuillmereHeader::from_bytes(unit->bytes, quillmere::kLastToolsCoder);
  return {unit->bytes, quillmere::HEADER_LEN + std::size_t{header->payload_len}};
}

// Edits the block, then makes its own checksum right again, so only the
// field checks stand between the edit and the decoder.
std::vector<std::uint8_t> edited(const Tailed& t, std::size_t at, std::vector<std::uint8_t> with) {
  auto out = t.bytes;
  std::copy(with.begin(), with.end(), out.begin() + static_cast<std::ptrdiff_t>(t.block + at));
  const std::size_t crc_at = out.size() - kSideTrailerLen;
  const auto crc = static_cast<std::uint32_t>(
      crc32(0L, out.data() + t.block, static_cast<uInt>(crc_at - t.block)));
  quillmere::store_le32(out.data() + crc_at, crc);
  return out;
}

std::vector<std::uint8_t> le32(std::uint32_t v) {
  std::vector<std::uint8_t> b(4);
  quillmere::store_le32(b.data(), v);
  return b;
}

TEST(TrailingRunSection, HostileFormsAreEachOneClearError) {
  const auto t = tailed_unit();
  ASSERT_TRUE(decode_unit(t.bytes).has_value());
  // The block of a float32 source: flags at 6, unit count at 8, and the body
  // starts with the run's length (20) and bits (24).
  const std::uint32_t total = kChunk;
  const std::uint32_t run = kChunk - kStored;
  const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
      {edited(t, 6, {8 | 16}), "unknown flags"},
      {edited(t, 6, {0}), "is for 2000 samples but the container holds 1700"},
      {edited(t, 20, le32(0)), "empty trailing run"},
      {edited(t, 20, le32(total + 5)), "not shorter than the unit"},
      {[&] {
         auto longer = edited(t, 20, le32(0x80000000u));
         return edited({longer, t.block}, 8, le32(0x80000000u + kStored));
       }(),
       "more than a channel may hold"},
      {edited(t, 20, le32(run - 1)), "make 1999"},
      {edited(t, 28, {1}), "not a float32"},
  };
  for (const auto& [bytes, expected] : cases) {
    const auto decoded = decode_unit(bytes);
    ASSERT_FALSE(decoded.has_value()) << expected;
    EXPECT_EQ(decoded.error().kind, UnitErrorKind::CorruptUnit);
    EXPECT_NE(decoded.error().message.find(expected), std::string::npos) << decoded.error().message;
  }
}

TEST(TrailingRunSection, EveryTruncationAndBitFlipIsAnErrorValue) {
  const auto t = tailed_unit();
  for (std::size_t cut = t.block; cut < t.bytes.size(); ++cut) {
    EXPECT_FALSE(decode_unit(std::span(t.bytes.data(), cut)).has_value() && cut != t.block);
  }
  for (std::size_t byte = t.block; byte < t.bytes.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      auto damaged = t.bytes;
      damaged[byte] ^= static_cast<std::uint8_t>(1u << bit);
      EXPECT_FALSE(decode_unit(damaged).has_value()) << "byte " << byte << " bit " << bit;
    }
  }
}

}  // namespace
}  // namespace quillmere_tools
