// The CRC every tools' format checks, against zlib's own loop: the folded
// path on long spans (any length, the tail of fewer than 16 bytes left to
// the table loop), the short spans, and a CRC run on over two spans.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "quillmere_tools/checksum.hpp"

namespace quillmere_tools {
namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

std::uint32_t zlib_crc(const std::vector<std::uint8_t>& b, std::uint32_t before) {
  uLong crc = before;
  if (!b.empty()) crc = crc32(crc, b.data(), static_cast<uInt>(b.size()));
  return static_cast<std::uint32_t>(crc);
}

class Crc32Lengths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Crc32Lengths, MatchesZlibFromAnyStartingValue) {
  const std::size_t n = GetParam();
  const auto b = random_bytes(n, static_cast<unsigned>(n) + 1);
  for (const std::uint32_t before : {0u, 1u, 0xdeadbeefu, 0xffffffffu}) {
    EXPECT_EQ(crc32_of(b, before), zlib_crc(b, before)) << n << " " << before;
  }
  // All ones and all zeros, where a folding constant's mistake shows in
  // bits that random data might mask.
  for (const std::uint8_t fill : {std::uint8_t{0}, std::uint8_t{0xff}}) {
    const std::vector<std::uint8_t> same(n, fill);
    EXPECT_EQ(crc32_of(same), zlib_crc(same, 0)) << n << " " << int{fill};
  }
}

INSTANTIATE_TEST_SUITE_P(Spans, Crc32Lengths,
                         ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{63},
                                           std::size_t{255}, std::size_t{256}, std::size_t{257}, std::size_t{271},
                                           std::size_t{319}, std::size_t{320}, std::size_t{1000},
                                           std::size_t{14164}, std::size_t{100003}));

TEST(Crc32RunsOn, TwoSpansGiveTheCrcOfBoth) {
  const auto b = random_bytes(5000, 9);
  for (const std::size_t cut : {std::size_t{0}, std::size_t{17}, std::size_t{300}, std::size_t{4000}, std::size_t{5000}}) {
    const std::span<const std::uint8_t> all(b);
    EXPECT_EQ(crc32_of(all.subspan(cut), crc32_of(all.first(cut))), crc32_of(all)) << cut;
  }
}

}  // namespace
}  // namespace quillmere_tools
