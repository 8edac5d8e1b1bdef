// Fast decoder internals: the one-lookup context step against the
// encoder's context rule for every token and mean, and the raw-bit stage on
// forged raw sections (cut short or padded at any length, so that reads at
// and past the section's end take the checked path) and on magnitudes
// beyond 16 bits; sparse bands whose short raw sections are read from the
// padded copy of their tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

#include "band_helpers.hpp"
#include "fast_coder.hpp"
#include "fast_model.hpp"
#include "fast_next_context.hpp"
#include "fast_zero_blocks.hpp"

namespace quillmere::fast {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;
using testing_bands::lengths_of;

TEST(FastNextContext, MatchesTheContextRuleForEveryTokenAndMean) {
  const std::uint8_t* table = next_context_table();
  for (unsigned t = 0; t < kTokens; ++t) {
    for (unsigned m = 0; m < kMeanSteps; ++m) {
      ContextState rule{0, static_cast<int>(m)};
      rule.push(kShapes[t].width);
      LaneContext lane{m, 0};
      lane.push(t, table);
      ASSERT_EQ(lane.context, rule.context()) << t << " " << m;
      ASSERT_EQ(static_cast<int>(lane.mean), rule.mean) << t << " " << m;
      // The table's rows end at kMeanSteps: no update may leave them.
      ASSERT_LT(lane.mean, kMeanSteps) << t << " " << m;
    }
  }
}

// Where the raw-bit section starts in a stream, and its length's field.
struct RawSection {
  std::size_t length_at;  // the LEB128 byte count
  std::size_t begin;
  std::size_t size;
};

RawSection raw_section(const Bytes& stream, const std::vector<std::size_t>& lengths) {
  std::size_t at = 1;
  std::vector<std::size_t> coded = lengths;
  if ((stream[0] & kZeroBlockForm) != 0) {  // the models follow the block maps
    std::size_t used = 0;
    const auto maps = read_block_maps(std::span(stream).subspan(1), lengths, used);
    EXPECT_TRUE(maps.has_value());
    for (std::size_t b = 0; b < coded.size(); ++b) coded[b] = maps->bands[b].live;
    at += used;
  }
  const std::span<const std::uint8_t> rest(stream.data() + at, stream.size() - at);
  BitReader bits(rest);
  EXPECT_TRUE(read_models(bits, coded).has_value());
  RawSection r{at + bits.bytes_used(rest), 0, 0};
  std::size_t pos = r.length_at;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t b = stream.at(pos++);
    r.size |= std::size_t{b & 0x7Fu} << shift;
    if (!(b & 0x80)) break;
  }
  r.begin = pos;
  return r;
}

void put_leb128(Bytes& out, std::size_t v) {
  do {
    const auto low = static_cast<std::uint8_t>(v & 0x7F);
    v >>= 7;
    out.push_back(static_cast<std::uint8_t>(low | (v != 0 ? 0x80 : 0)));
  } while (v != 0);
}

// The stream with its raw section resized by `delta` bytes at its end
// (zeros added, or bytes dropped) and its length field rewritten.
Bytes with_raw_resized(const Bytes& stream, const RawSection& raw, std::ptrdiff_t delta) {
  Bytes out(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(raw.length_at));
  put_leb128(out, static_cast<std::size_t>(static_cast<std::ptrdiff_t>(raw.size) + delta));
  const auto raw_end = stream.begin() + static_cast<std::ptrdiff_t>(raw.begin + raw.size);
  out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(raw.begin),
             raw_end + std::min<std::ptrdiff_t>(delta, 0));
  out.insert(out.end(), static_cast<std::size_t>(std::max<std::ptrdiff_t>(delta, 0)), 0);
  out.insert(out.end(), raw_end, stream.end());
  return out;
}

std::vector<Band> loud_bands() {
  // Large magnitudes, so most coefficients carry raw bits and the raw
  // section spans many of the decoder's blocks.
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> value(-20000, 20000);
  std::vector<Band> bands{Band(30000), Band(9001), Band(3)};
  for (auto& b : bands) {
    for (auto& v : b) v = static_cast<std::int16_t>(value(rng));
  }
  return bands;
}

class FastRawSection : public ::testing::TestWithParam<std::ptrdiff_t> {};

TEST_P(FastRawSection, ResizedSectionsAreRefused) {
  const auto bands = loud_bands();
  const auto lengths = lengths_of(bands);
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  const RawSection raw = raw_section(stream, lengths);
  ASSERT_GT(raw.size, 30000u);
  const std::ptrdiff_t delta = GetParam() == PTRDIFF_MIN ? -static_cast<std::ptrdiff_t>(raw.size) : GetParam();
  const Bytes forged = with_raw_resized(stream, raw, delta);
  Band out(30000 + 9001 + 3);
  const auto done = decode_coeffs_into(forged, lengths, out);
  ASSERT_FALSE(done.has_value());
  EXPECT_EQ(done.error(), delta < 0 ? FastError::Truncated : FastError::TrailingData);
}

// Cut by a byte, by less and more than a block of the decoder's unchecked
// reads, by half, to nothing; padded by a byte and by many.
INSTANTIATE_TEST_SUITE_P(Deltas, FastRawSection,
                         ::testing::Values(-1, -7, -9, -300, -520, -2000, -20000, PTRDIFF_MIN, 1, 600));

TEST(FastRawSection, UnchangedSizeStillDecodes) {
  const auto bands = loud_bands();
  const auto lengths = lengths_of(bands);
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  const Bytes same = with_raw_resized(stream, raw_section(stream, lengths), 0);
  ASSERT_EQ(same, stream);
  Band out(30000 + 9001 + 3);
  ASSERT_TRUE(decode_coeffs_into(same, lengths, out).has_value());
  Band all;
  for (const auto& b : bands) all.insert(all.end(), b.begin(), b.end());
  EXPECT_EQ(out, all);
}

// Sparse bands, a few loud values among zeros, make raw sections from a
// few bytes to a few kilobytes: the decoder reads the last part of each
// (all of a short one) from a zero-padded copy of its tail, switching over
// wherever fewer bytes than a block's reads are left. Every coefficient
// must come back, on one lane and on four, in adaptive bands (up to 2048)
// and static ones.
struct SparseCase {
  std::size_t total;
  std::size_t loud;  // nonzero values
};

void PrintTo(const SparseCase& c, std::ostream* os) { *os << c.total << " coefficients, " << c.loud << " loud"; }

class FastShortRawSection : public ::testing::TestWithParam<SparseCase> {};

TEST_P(FastShortRawSection, EveryCoefficientComesBack) {
  const SparseCase c = GetParam();
  std::mt19937_64 rng(c.total * 31 + c.loud);
  std::uniform_int_distribution<int> value(-3000, 3000);
  // A short first band (adaptive), then the rest in two longer ones.
  const std::size_t first = std::min<std::size_t>(c.total / 4, 1500);
  std::vector<Band> bands{Band(first), Band((c.total - first) / 2), Band(c.total - first - (c.total - first) / 2)};
  std::uniform_int_distribution<std::size_t> where(0, c.total - 1);
  Band all(c.total, 0);
  for (std::size_t k = 0; k < c.loud; ++k) all[where(rng)] = static_cast<std::int16_t>(value(rng) | 1);
  std::size_t at = 0;
  for (auto& b : bands) {
    std::copy(all.begin() + static_cast<std::ptrdiff_t>(at), all.begin() + static_cast<std::ptrdiff_t>(at + b.size()),
              b.begin());
    at += b.size();
  }
  const auto lengths = lengths_of(bands);
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  Band out(c.total, 7);
  const auto done = decode_coeffs_into(stream, lengths, out);
  ASSERT_TRUE(done.has_value()) << static_cast<int>(done.error());
  EXPECT_EQ(out, all);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FastShortRawSection,
                         ::testing::Values(SparseCase{3000, 1}, SparseCase{3000, 40}, SparseCase{3000, 400},
                                           SparseCase{20000, 1}, SparseCase{20000, 30}, SparseCase{20000, 250},
                                           SparseCase{20000, 350}, SparseCase{20000, 700}, SparseCase{20000, 3000},
                                           SparseCase{70000, 500}, SparseCase{70000, 2500}));

// -32768 is the one magnitude of width 16 a coefficient can have: its raw
// bits are a set sign and fourteen zeros. Any one of them flipped makes a
// magnitude beyond 16 bits, which must be refused, on one lane and on four.
class FastOverlongMagnitude : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FastOverlongMagnitude, EveryFlippedRawBitIsRefused) {
  Band band(GetParam(), 0);
  band[GetParam() / 2] = -32768;
  const std::vector<Band> bands{band};
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  const RawSection raw = raw_section(stream, lengths_of(bands));
  ASSERT_EQ(raw.size, 2u);  // 15 bits
  Band out(band.size());
  ASSERT_TRUE(decode_coeffs_into(stream, lengths_of(bands), out).has_value());
  EXPECT_EQ(out, band);
  for (unsigned bit = 0; bit < 15; ++bit) {
    Bytes bad = stream;
    bad[raw.begin + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const auto done = decode_coeffs_into(bad, lengths_of(bands), out);
    ASSERT_FALSE(done.has_value()) << bit;
    EXPECT_EQ(done.error(), FastError::BadToken) << bit;
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, FastOverlongMagnitude, ::testing::Values(std::size_t{9}, std::size_t{20000}));

}  // namespace
}  // namespace quillmere::fast
