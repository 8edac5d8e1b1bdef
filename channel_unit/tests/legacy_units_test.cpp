// Units written by older code (tests/data/legacy, made by the code of that
// time: before the trailing-run section, and integer units before rANS
// residuals) decode to the samples they decoded to then.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillmere_tools/channel_unit.hpp"

namespace quillmere_tools {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The data bytes of a version-1 .npy file and whether they are float64.
std::pair<std::vector<std::uint8_t>, bool> npy_data(const fs::path& path) {
  const auto raw = read_all(path);
  EXPECT_GE(raw.size(), 10u);
  const std::size_t header_len = raw[8] | (raw[9] << 8);
  const std::string header(raw.begin() + 10, raw.begin() + 10 + static_cast<long>(header_len));
  EXPECT_NE(header.find("'fortran_order': False"), std::string::npos);
  const bool f64 = header.find("'<f8'") != std::string::npos;
  EXPECT_TRUE(f64 || header.find("'<f4'") != std::string::npos) << header;
  return {{raw.begin() + 10 + static_cast<long>(header_len), raw.end()}, f64};
}

TEST(LegacyUnits, DecodeBitForBitAsBefore) {
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(QUILLMERE_LEGACY_DIR)) {
    const auto name = entry.path().filename().string();
    if (name.rfind("unit_", 0) != 0 || entry.path().extension() != ".bin") continue;
    ++seen;
    const auto unit = read_all(entry.path());
    auto expected_path = entry.path();
    const auto [expected, f64] = npy_data(expected_path.replace_extension(".npy"));
    const auto decoded = decode_unit(unit);
    ASSERT_TRUE(decoded.has_value()) << name << ": " << decoded.error().message;
    ASSERT_EQ(decoded->precision == Precision::Float64, f64) << name;
    const void* data = f64 ? static_cast<const void*>(decoded->f64.data()) : decoded->f32.data();
    const std::size_t bytes = f64 ? decoded->f64.size() * 8 : decoded->f32.size() * 4;
    ASSERT_EQ(bytes, expected.size()) << name;
    EXPECT_EQ(std::memcmp(data, expected.data(), bytes), 0) << name;
    const auto count = unit_sample_count(unit);
    ASSERT_TRUE(count.has_value()) << name;
    EXPECT_EQ(*count * (f64 ? 8u : 4u), bytes) << name;
  }
  EXPECT_EQ(seen, 6);
}

}  // namespace
}  // namespace quillmere_tools
