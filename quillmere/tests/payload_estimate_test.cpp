// The payload estimate that ranks the bounded search's candidates: its
// counts must not depend on how the tally splits them across histograms,
// and a large band is tallied on every fourth value only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "compress_stages.hpp"
#include "search_support.hpp"

namespace quillmere {
namespace {

stages::QuantisedBands bands_of(const std::vector<std::vector<std::int16_t>>& bands) {
  stages::QuantisedBands q;
  for (const auto& b : bands) {
    q.coeffs.insert(q.coeffs.end(), b.begin(), b.end());
    q.layout.lengths.push_back(b.size());
    q.layout.total += b.size();
  }
  q.levels = static_cast<std::uint8_t>(bands.size() - 1);
  return q;
}

// Bits of one band tallied on every one of its values, written out from the
// estimate's definition: zeroth-order entropy of the magnitude classes (below
// 16 each its own, above one class per bit length), the bits below the
// leading one of the larger magnitudes, and a sign bit per nonzero value.
double reference_bits(const std::vector<std::int16_t>& band) {
  std::vector<double> count(16 + 17, 0.0);
  double raw = 0.0;
  for (const std::int16_t v : band) {
    const int mag = std::abs(static_cast<int>(v));
    int width = 0;
    while ((mag >> width) != 0) ++width;
    count[mag < 16 ? static_cast<std::size_t>(mag) : static_cast<std::size_t>(16 + width)] += 1.0;
    raw += (mag >= 16 ? width - 1 : 0) + (mag != 0 ? 1 : 0);
  }
  const double n = static_cast<double>(band.size());
  double h = 0.0;
  for (const double c : count) {
    if (c > 0.0) h -= c * std::log2(c / n);
  }
  return h + raw;
}

TEST(PayloadEstimate, SmallBandByHand) {
  // Classes 0 (4), 1 (2), 2 (1) and 16 + 5 for 20 (1): 14 bits of entropy;
  // raw bits: 4 below the leading one of 20 and 4 signs.
  const auto q = bands_of({{0, 0, 0, 0, 1, -1, 2, -20}});
  EXPECT_DOUBLE_EQ(search::estimate_payload_bytes(q), 22.0 / 8.0);
}

// Lengths around the histograms' turn (four), the zeros' blocks of 64
// tallied values (of the band, or of its every fourth above 4096) and the
// sampling's start (4096), values mostly zero as in a quantised band.
class PayloadEstimateBands : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint64_t>> {};

TEST_P(PayloadEstimateBands, MatchesTheDefinitionAndIgnoresOrder) {
  const auto [len, seed] = GetParam();
  std::uint64_t s = seed * 0x9e3779b97f4a7c15ull + len;
  const auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(s >> 33);
  };
  std::vector<std::int16_t> band(len);
  for (auto& v : band) {
    const std::uint32_t r = next();
    const int mag = r % 8 < 5 ? 0 : r % 8 < 7 ? static_cast<int>(next() % 4) : static_cast<int>(next() % 3000);
    v = static_cast<std::int16_t>(r & 1 ? mag : -mag);
  }
  const std::vector<std::int16_t> approximation = {5, -7, 300, -32768};
  const double got = search::estimate_payload_bytes(bands_of({approximation, band}));
  // A band above 4096 values is tallied on every fourth and scaled up.
  std::vector<std::int16_t> tallied;
  const std::size_t stride = len > 4096 ? 4 : 1;
  for (std::size_t i = 0; i < len; i += stride) tallied.push_back(band[i]);
  const double scale = tallied.empty() ? 0.0 : static_cast<double>(len) / static_cast<double>(tallied.size());
  const double want = (reference_bits(approximation) + (tallied.empty() ? 0.0 : reference_bits(tallied) * scale)) / 8.0;
  EXPECT_NEAR(got, want, 1e-9 * want);
  if (stride == 1) {
    std::reverse(band.begin(), band.end());
    EXPECT_DOUBLE_EQ(search::estimate_payload_bytes(bands_of({approximation, band})), got);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PayloadEstimateBands,
                         ::testing::Combine(::testing::Values(0u, 1u, 3u, 4u, 5u, 7u, 63u, 64u, 65u, 129u, 4096u, 4097u, 4099u,
                                                              4353u, 4356u, 20001u),
                                            ::testing::Values(1u, 2u)));

}  // namespace
}  // namespace quillmere
