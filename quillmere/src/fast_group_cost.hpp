// What a table of one's own would cost a set of token counts, estimated
// without building it: their entropy, and a description of each frequency
// at the precision the counts support. The grouping of a band's contexts
// compares many candidate groups and needs only this; the tables of the
// groups it settles on are built exactly. Integer arithmetic throughout, in
// 1/65536 bits, so the same counts give the same choice everywhere.
// Internal to the codec library.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "fast_model.hpp"

namespace quillmere::fast {

inline constexpr unsigned kPrecisionField = 4;

// log2(x) in 1/65536 bits for x = 1 .. 4096, by repeated squaring, so no
// floating point decides a table.
constexpr std::uint32_t log2_fixed(std::uint32_t x) {
  unsigned k = 0;
  while ((x >> (k + 1)) != 0) ++k;
  std::uint64_t y = std::uint64_t{x} << (31 - k);  // in [2^31, 2^32)
  std::uint32_t result = k << 16;
  for (int bit = 15; bit >= 0; --bit) {
    y = (y * y) >> 31;
    if (y >= (std::uint64_t{1} << 32)) {
      y >>= 1;
      result |= 1u << bit;
    }
  }
  return result;
}

constexpr std::array<std::uint32_t, kTableTotal + 1> make_log2() {
  std::array<std::uint32_t, kTableTotal + 1> t{};
  for (std::uint32_t x = 1; x <= kTableTotal; ++x) t[x] = log2_fixed(x);
  return t;
}
inline constexpr auto kLog2 = make_log2();

constexpr unsigned gamma_length(std::uint32_t v) {  // v >= 1
  return 2 * static_cast<unsigned>(std::bit_width(v)) - 1;
}

// log2(x) in 1/65536 bits for any x >= 1: the table's value of its top 12
// bits plus the bits cut off (a slight underestimate, the same everywhere).
// Without a branch; log2_any(0) is 0.
inline std::uint32_t log2_any(std::uint64_t x) {
  const auto cut = static_cast<unsigned>(std::max(0, static_cast<int>(std::bit_width(x)) - static_cast<int>(kTableBits)));
  return kLog2[x >> cut] + (cut << 16);
}

// The estimate written out token by token: entropy n * log2(n) - sum of
// c * log2(c), an absent token's frequency described in one bit and a
// present one's in its gamma code, at precision p = min(12, width + 1)
// where width = bit_width(n). Every count of any n goes through here.
template <typename CountOf>
std::uint64_t estimated_cost_by_token(std::uint64_t n, unsigned tokens, CountOf count_of) {
  if (n == 0) return 0;
  const unsigned width = static_cast<unsigned>(std::bit_width(n));
  const unsigned p = std::min(kTableBits, width + 1);
  const std::uint64_t log_n = log2_any(n);
  std::uint64_t coded = 0;
  std::uint64_t bits = kPrecisionField + tokens;
  for (unsigned t = 0; t < tokens; ++t) {
    const std::uint64_t c = count_of(t);
    coded += c * (log_n - log2_any(c));  // zero for an absent token
    const std::uint64_t f = std::max<std::uint64_t>(1, (c << p) >> width);
    const unsigned present = c != 0;
    bits += (gamma_length(static_cast<std::uint32_t>(f + 1)) - 1) * present;
  }
  return (bits << 16) + coded;
}

// Below 4096 counts the estimate is one table entry per token. There every
// count c <= n is its own log (no bits cut), and the precision is width + 1
// (a frequency of 2c) or, at width 12, 12 itself (a frequency of c), so a
// token's whole share, c * log2(c) less its description, depends on c and
// the width alone. The sum of the counts is n, so the entropy is
// n * log2(n) less the table entries. The true estimate stays below 2^32
// (n * log2(n) < 4096 * 12 * 2^16 plus at most 804 description bits), so
// sums that wrap in 32 bits still end on it.
inline constexpr std::uint64_t kTabledCounts = 4096;

template <unsigned Shift>
constexpr std::array<std::uint32_t, kTabledCounts> make_token_shares() {
  std::array<std::uint32_t, kTabledCounts> t{};
  for (std::uint32_t c = 1; c < kTabledCounts; ++c) {
    const std::uint32_t f = std::max<std::uint32_t>(1, c << Shift);
    t[c] = c * kLog2[c] - ((gamma_length(f + 1) - 1) << 16);
  }
  return t;
}
inline constexpr auto kTokenShareDoubled = make_token_shares<1>();  // widths up to 11
inline constexpr auto kTokenShareSame = make_token_shares<0>();     // width 12

// The estimate, equal to estimated_cost_by_token's for every input.
// `count_of(t)` gives the counts (of one group or the sum of two, so that a
// candidate merge needs no summed copy) and `n` their total, which the
// groups keep rather than add up again.
template <typename CountOf>
std::uint64_t estimated_cost(std::uint64_t n, unsigned tokens, CountOf count_of) {
  if (n >= kTabledCounts) return estimated_cost_by_token(n, tokens, count_of);
  if (n == 0) return 0;
  const std::uint32_t* share =
      std::bit_width(n) <= kTableBits - 1 ? kTokenShareDoubled.data() : kTokenShareSame.data();
  auto cost = static_cast<std::uint32_t>(((kPrecisionField + tokens) << 16) + n * kLog2[n]);
  for (unsigned t = 0; t < tokens; ++t) cost -= share[count_of(t)];
  return cost;
}

}  // namespace quillmere::fast
