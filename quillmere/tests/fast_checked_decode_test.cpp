// The fast decoder's one-pass entry (decode_coeffs_checked) against the
// two calls it stands for (preflight, then decode_coeffs_into): on clean
// streams whose lanes pass through adaptive, static, all-zero and mapped
// bands, and on the same streams cut, overwritten and bit-flipped, it must
// give the same coefficients or the same error, and ask for its output only
// where preflight passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "band_helpers.hpp"
#include "fast_coder.hpp"
#include "fast_model.hpp"
#include "fast_zero_blocks.hpp"

namespace quillmere::fast {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;
using testing_bands::lengths_of;
using testing_bands::views_of;

// Coefficients of roughly Laplacian magnitude `scale`; with `silent_from`
// < n, the band is zero from there on (so zero blocks can be mapped).
Band noisy(std::size_t n, double scale, std::uint32_t seed, std::size_t silent_from = SIZE_MAX) {
  std::mt19937 rng(seed);
  std::exponential_distribution<double> mag(1.0 / scale);
  Band b(n);
  for (std::size_t i = 0; i < n && i < silent_from; ++i) {
    const auto m = static_cast<int>(mag(rng));
    b[i] = static_cast<std::int16_t>((rng() & 1) != 0 ? m : -m);
  }
  return b;
}

enum class Layout { ShortBands, Sparse, Mixed };

// Band sets whose four lanes meet short (adaptive) bands beside long ones.
std::vector<Band> bands_for(Layout layout) {
  switch (layout) {
    case Layout::ShortBands:
      return {noisy(700, 3.0, 1), noisy(900, 1.5, 2), noisy(1800, 8.0, 3), noisy(2000, 0.7, 4), noisy(1500, 20.0, 5)};
    case Layout::Sparse:
      return {noisy(1000, 4.0, 6), noisy(3000, 2.0, 7, 900), noisy(9000, 1.0, 8, 1600), noisy(20000, 0.5, 9, 3000)};
    case Layout::Mixed:
      return {noisy(300, 30.0, 10), Band(600, 0), noisy(1200, 5.0, 11), noisy(2400, 2.0, 12), noisy(12000, 1.2, 13)};
  }
  return {};
}

struct Sink {
  std::vector<std::int16_t> buffer;
  bool asked = false;
  bool refuse = false;  // hand back a buffer of the wrong size, as a failed allocation does
};

std::span<std::int16_t> give(void* context, std::size_t n) {
  auto& sink = *static_cast<Sink*>(context);
  sink.asked = true;
  sink.buffer.assign(sink.refuse ? n / 2 : n, std::int16_t{-7});
  return sink.buffer;
}

// Both ways on one stream; a failure message names `what`.
void expect_same(const Bytes& stream, const std::vector<std::size_t>& lengths, const std::string& what) {
  Sink sink;
  const auto checked = decode_coeffs_checked(stream, lengths, give, &sink);
  const auto ready = preflight(stream, lengths);
  if (!ready) {
    ASSERT_FALSE(checked.has_value()) << what;
    EXPECT_EQ(checked.error(), ready.error()) << what;
    EXPECT_FALSE(sink.asked) << what << ": output taken before the checks passed";
    return;
  }
  std::vector<std::int16_t> out(total_length(lengths));
  const auto plain = decode_coeffs_into(stream, lengths, out);
  ASSERT_TRUE(sink.asked) << what;
  ASSERT_EQ(checked.has_value(), plain.has_value()) << what;
  if (!plain) {
    EXPECT_EQ(checked.error(), plain.error()) << what;
  } else {
    EXPECT_EQ(sink.buffer, out) << what;
  }
  Sink refusing;
  refusing.refuse = true;
  const auto refused = decode_coeffs_checked(stream, lengths, give, &refusing);
  ASSERT_FALSE(refused.has_value()) << what;
  EXPECT_EQ(refused.error(), FastError::BadLength) << what;
}

class FastCheckedDecode : public testing::TestWithParam<Layout> {};

TEST_P(FastCheckedDecode, CleanStreamsDecodeToTheirBands) {
  const auto bands = bands_for(GetParam());
  const Bytes stream = encode_coeffs(views_of(bands));
  const auto lengths = lengths_of(bands);
  Sink sink;
  ASSERT_TRUE(decode_coeffs_checked(stream, lengths, give, &sink).has_value());
  std::vector<std::int16_t> flat;
  for (const Band& b : bands) flat.insert(flat.end(), b.begin(), b.end());
  EXPECT_EQ(sink.buffer, flat);
  expect_same(stream, lengths, "clean");
}

TEST_P(FastCheckedDecode, DamagedStreamsGiveTheSameOutcome) {
  const auto bands = bands_for(GetParam());
  const Bytes stream = encode_coeffs(views_of(bands));
  const auto lengths = lengths_of(bands);
  std::mt19937 rng(static_cast<std::uint32_t>(GetParam()) + 99);
  for (int k = 0; k < 400; ++k) {
    Bytes damaged = stream;
    const std::size_t at = rng() % damaged.size();
    switch (k % 3) {
      case 0: damaged[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
      case 1: damaged.resize(at); break;
      case 2:
        for (std::size_t j = at; j < std::min(damaged.size(), at + 3); ++j) damaged[j] = static_cast<std::uint8_t>(rng());
        break;
    }
    expect_same(damaged, lengths, "damage " + std::to_string(k) + " at " + std::to_string(at));
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FastCheckedDecode,
                         testing::Values(Layout::ShortBands, Layout::Sparse, Layout::Mixed));

// The layouts above are meant to put lanes in adaptive bands next to lanes
// in static ones; without that the tests would miss the mixed stretches.
TEST(FastCheckedDecode, ShortBandsLayoutCodesAdaptiveBands) {
  const auto bands = bands_for(Layout::ShortBands);
  const Bytes stream = encode_coeffs(views_of(bands));
  ASSERT_EQ(stream[0] & kZeroBlockForm, 0);
  BitReader bits(std::span<const std::uint8_t>(stream).subspan(1));
  const auto models = read_models(bits, lengths_of(bands));
  ASSERT_TRUE(models.has_value());
  unsigned adaptive = 0, other = 0;
  for (const BandModel& m : models->bands) (m.mode == BandMode::Adaptive ? adaptive : other) += 1;
  EXPECT_GE(adaptive, 1u);
  EXPECT_GE(other, 1u);
}

}  // namespace
}  // namespace quillmere::fast
