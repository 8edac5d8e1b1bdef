// Integer units: chosen for sources on a grid at bounds of at most one step,
// exact after decoding, refused by the module's reader, and hostile payloads
// (palettes out of order, indices outside them, odd widths) ending in one error.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {
namespace {

UnitRequest bounded(double max_error) {
  UnitRequest r;
  r.bounds.max_error = max_error;
  return r;
}

std::vector<float> pcm(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = 12000.0 * std::sin(static_cast<double>(i) / 19.0) + 3000.0 * std::sin(static_cast<double>(i) / 2.3);
    x[i] = static_cast<float>(std::round(v) / 32768.0);
  }
  return x;
}

TEST(IntegerUnit, PcmAtHalfAStepIsAnIntegerUnitThatDecodesBitForBit) {
  const auto x = pcm(10000);
  const auto unit = encode_unit(std::span<const float>(x), bounded(0.49 / 32768));
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  EXPECT_EQ(unit->bytes[14], kCoderInteger);
  EXPECT_EQ(unit->report.max_error, 0.0);
  const auto back = decode_unit(unit->bytes);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  ASSERT_EQ(back->f32.size(), x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back->f32[i]), std::bit_cast<std::uint32_t>(x[i])) << i;
  }
  // The module's reader knows coders up to cmodel and says so.
  const auto header = quillmere::QuillmereHeader::from_bytes(unit->bytes);
  ASSERT_FALSE(header.has_value());
  EXPECT_EQ(header.error().message(), "Unknown entropy coder 4");
}

TEST(IntegerUnit, LooseBoundsOnSmoothSignalsKeepTheWaveletLayer) {
  // A slow wave: at 1 % of its range a rounded grid leaves about one bit a
  // sample, which the wavelet layer undercuts.
  std::vector<float> x(20000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(std::sin(static_cast<double>(i) / 300.0));
  const auto loose = encode_unit(std::span<const float>(x), bounded(0.02));
  ASSERT_TRUE(loose.has_value());
  EXPECT_NE(loose->bytes[14], kCoderInteger);
  EXPECT_LE(loose->report.max_error, 0.02);
}

TEST(IntegerUnit, FewDistinctValuesAreCodedAsAPalette) {
  std::mt19937 rng(4);
  std::vector<double> levels(40);
  for (double& v : levels) v = static_cast<double>(static_cast<int>(rng() % 200000) - 100000);
  std::vector<double> x(30000);
  for (double& v : x) v = levels[rng() % levels.size()];
  const auto unit = encode_unit(std::span<const double>(x), bounded(0.5));
  ASSERT_TRUE(unit.has_value());
  EXPECT_EQ(unit->bytes[14], kCoderInteger);
  EXPECT_EQ(unit->bytes[quillmere::HEADER_LEN] & 2, 2);  // the palette flag
  // About log2(40) bits a sample, far below the 18 bits of the values.
  EXPECT_LT(unit->bytes.size(), x.size() * 7 / 8);
  const auto back = decode_unit(unit->bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->f64, x);
}

// A unit written by hand around a palette and indices.
std::vector<std::uint8_t> palette_unit(const std::vector<std::int64_t>& palette,
                                       const std::vector<std::int64_t>& indices, int index_width,
                                       double step = 1.0) {
  std::vector<std::uint8_t> payload{2, 16, 12, 0};
  const auto put64 = [&](double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) payload.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  };
  const auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) payload.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  put64(step);
  put64(0.0);
  const auto table = encode_integers(palette, 16, kIntegerBlockLength);
  put32(static_cast<std::uint32_t>(palette.size()));
  put32(static_cast<std::uint32_t>(table.size()));
  payload.insert(payload.end(), table.begin(), table.end());
  const auto body = encode_integers(indices, index_width, kIntegerBlockLength);
  payload.insert(payload.end(), body.begin(), body.end());
  const auto header = quillmere::to_bytes({quillmere::Method::Cdf97, 0, 11, kCoderInteger,
                                           static_cast<std::uint32_t>(indices.size()), 0.0f, 1.0f, 0.0f,
                                           static_cast<std::uint32_t>(payload.size()), 1.0f});
  std::vector<std::uint8_t> unit(header.size() + payload.size());
  for (std::size_t i = 0; i < header.size(); ++i) unit[i] = header[i];
  for (std::size_t i = 0; i < payload.size(); ++i) unit[header.size() + i] = payload[i];
  return unit;
}

struct Hostile {
  const char* name;
  std::vector<std::int64_t> palette;
  std::vector<std::int64_t> indices;
  int index_width;
  const char* says;
};

class HostileIntegerUnit : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileIntegerUnit, EndsInOneError) {
  const Hostile& h = GetParam();
  const auto r = decode_unit(palette_unit(h.palette, h.indices, h.index_width));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, UnitErrorKind::CorruptUnit);
  EXPECT_NE(r.error().message.find(h.says), std::string::npos) << r.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, HostileIntegerUnit,
    ::testing::Values(Hostile{"repeated", {5, 5, 9}, {0, 1, 2, 2}, 3, "not strictly increasing"},
                      Hostile{"descending", {9, 5}, {0, 1, 1, 0}, 2, "not strictly increasing"},
                      Hostile{"negative", {1, 2}, {0, -1, 1, 0}, 2, "outside its palette"},
                      Hostile{"past_end", {1, 2, 3}, {0, 3, 1, 0}, 3, "outside its palette"},
                      Hostile{"too_many", {1, 2, 3, 4, 5, 6}, {0, 1, 2}, 4, "a palette of 6 values"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IntegerUnitHostile, TheWellFormedHandWrittenUnitDecodes) {
  // The same writer as the hostile cases, with nothing wrong: the checks
  // above fail for their own reason, not the writer's.
  const auto r = decode_unit(palette_unit({-3, 7, 100}, {0, 2, 1, 1, 0}, 3));
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ(r->f32, (std::vector<float>{-3, 100, 7, 7, -3}));
}

// A palette entry whose sample lies beyond float32 fails the unit only
// where an index uses it; the entries used come back as the grid rebuilds
// them.
TEST(IntegerUnitHostile, APaletteEntryBeyondFloatFailsOnlyWhereUsed) {
  const std::vector<std::int64_t> palette{-2, 1, 20000};
  const double step = 2e34;  // 20000 steps: 4e38, beyond float32
  const auto unused = decode_unit(palette_unit(palette, {0, 1, 1, 0}, 3, step));
  ASSERT_TRUE(unused.has_value()) << unused.error().message;
  const float a = static_cast<float>(-2 * step), b = static_cast<float>(step);
  EXPECT_EQ(unused->f32, (std::vector<float>{a, b, b, a}));
  const auto used = decode_unit(palette_unit(palette, {0, 2, 1, 0}, 3, step));
  ASSERT_FALSE(used.has_value());
  EXPECT_NE(used.error().message.find("beyond the floating-point range"), std::string::npos)
      << used.error().message;
  // An index outside the palette is named as such, whichever way it is read.
  const auto outside = decode_unit(palette_unit(palette, {0, 3, 1, 0}, 3, step));
  ASSERT_FALSE(outside.has_value());
  EXPECT_NE(outside.error().message.find("outside its palette"), std::string::npos) << outside.error().message;
}

TEST(IntegerUnitHostile, HeaderFieldsOfThePayloadAreChecked) {
  const auto good = palette_unit({1, 2}, {0, 1}, 2);
  const std::pair<std::size_t, std::uint8_t> spoil[] = {
      {0, 0x0A}, {1, 0}, {1, 34}, {2, 3}, {2, 17}, {3, 1}};
  for (const auto& [offset, value] : spoil) {
    auto bad = good;
    bad[quillmere::HEADER_LEN + offset] = value;
    EXPECT_FALSE(decode_unit(bad).has_value()) << offset << " " << int(value);
  }
  auto nan_step = good;
  nan_step[quillmere::HEADER_LEN + 11] = 0x7f;
  nan_step[quillmere::HEADER_LEN + 10] = 0xf8;
  EXPECT_FALSE(decode_unit(nan_step).has_value());
}

}  // namespace
}  // namespace quillmere_tools
