// The raw-bit stage's versions (baseline, and the vector ones this machine
// runs) against each other on forged tokens and raw bits: the same
// coefficients, the same position after them and the same overflow mark,
// whatever mix of zero rows, lane patterns, row counts and widths.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fast_model.hpp"
#include "fast_raw_bits.hpp"

namespace quillmere::fast {
namespace {

struct Forged {
  std::vector<std::int16_t> tokens;  // four lanes of `seg` rows
  std::vector<std::uint8_t> raw;
};

enum class Mix { Dense, Widest, SparseLanes, QuietRows, Overlong };

// Tokens of n rows in four lanes `seg` apart, and enough random raw bytes
// for the unchecked reads. Tokens 30 and 31 (15 raw bits, the most) hold
// 32768 only with its sign and no low bit set: with random bits they are
// magnitudes past 16 bits, which the overflow mark must catch, so the
// other mixes stay below them.
Forged forge(Mix mix, std::size_t n, std::size_t seg, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Forged f;
  f.tokens.assign(4 * seg, 0);
  f.raw.resize(n * 4 * kMaxRawBits / 8 + 8);
  for (auto& b : f.raw) b = static_cast<std::uint8_t>(rng());
  for (std::size_t r = 0; r < n; ++r) {
    const bool quiet = mix == Mix::QuietRows && (r / 16) % 3 != 1;
    for (unsigned j = 0; j < 4; ++j) {
      unsigned t = rng() % (kTokens - 2);
      if (mix == Mix::Widest) t = kTokens - 3 - rng() % 2;
      if (mix == Mix::Overlong) t = kTokens - 1 - rng() % 2;
      if (mix == Mix::SparseLanes && (j == 1 || j == 2 || rng() % 4 != 0)) t = 0;
      if (quiet) t = 0;
      f.tokens[j * seg + r] = static_cast<std::int16_t>(t);
    }
  }
  return f;
}

struct Case {
  Mix mix;
  std::size_t rows;
};

class FastRawBitsVersions : public testing::TestWithParam<Case> {};

TEST_P(FastRawBitsVersions, AgreeWithTheBaseline) {
  const auto versions = finish_versions();
  ASSERT_FALSE(versions.empty());
  ASSERT_EQ(std::string(versions.front().name), "baseline");
  const auto [mix, n] = GetParam();
  const std::size_t seg = n + 5;  // lanes apart by more than the rows finished
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Forged f = forge(mix, n, seg, seed);
    std::vector<std::int16_t> want = f.tokens;
    // Start inside a byte, as a block after an odd number of bits does.
    RawBits want_raw{f.raw.data(), f.raw.size(), seed % 8};
    versions.front().finish(want.data(), seg, n, want_raw);
    for (const auto& v : versions.subspan(1)) {
      std::vector<std::int16_t> got = f.tokens;
      RawBits got_raw{f.raw.data(), f.raw.size(), seed % 8};
      v.finish(got.data(), seg, n, got_raw);
      ASSERT_EQ(got_raw.pos, want_raw.pos) << v.name << " seed " << seed;
      ASSERT_EQ(got_raw.over, want_raw.over) << v.name << " seed " << seed;
      if (want_raw.over < 0x8000) {
        ASSERT_EQ(got, want) << v.name << " seed " << seed;
      }
    }
    // What the mixes are for: an overlong magnitude is marked, the others
    // are not.
    ASSERT_EQ(want_raw.over >= 0x8000, mix == Mix::Overlong) << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, FastRawBitsVersions,
                         testing::Values(Case{Mix::Dense, 64}, Case{Mix::Dense, 37}, Case{Mix::Dense, 5},
                                         Case{Mix::Widest, 64}, Case{Mix::SparseLanes, 64},
                                         Case{Mix::SparseLanes, 23}, Case{Mix::QuietRows, 64},
                                         Case{Mix::Overlong, 48}));

// The baseline against finish() coefficient by coefficient, in decoding
// order, so that agreeing with it means agreeing with the stream's layout.
TEST(FastRawBits, BaselineFollowsTheDecodingOrder) {
  const std::size_t n = 64, seg = 70;
  const Forged f = forge(Mix::Dense, n, seg, 7);
  std::vector<std::int16_t> want = f.tokens;
  RawBits want_raw{f.raw.data(), f.raw.size(), 3};
  for (std::size_t r = 0; r < n; ++r) {
    for (unsigned j = 0; j < 4; ++j) finish<true>(want[j * seg + r], want_raw);
  }
  std::vector<std::int16_t> got = f.tokens;
  RawBits got_raw{f.raw.data(), f.raw.size(), 3};
  finish_versions().front().finish(got.data(), seg, n, got_raw);
  EXPECT_EQ(got, want);
  EXPECT_EQ(got_raw.pos, want_raw.pos);
}

}  // namespace
}  // namespace quillmere::fast
