// A block's residuals coded with static rANS tables instead of Rice codes:
// what both the integer coder's writer and its reader see of it.
//
// Each residual's zig-zag value u is one token and raw low bits:
//   u < 4                 token u
//   bit width w of 3..16  token 4 + 2(w - 3) + the bit below the leading
//                         one, then the w - 2 bits below that, raw
//   w of 17 or more       token 32 (the escape), 5 bits w - 17 and the w - 1
//                         bits below the leading one, raw
// A residual's context comes from the tokens before it in its lane's
// segment (below): a running mean of their widths (in sixteenths of a bit,
// each new one weighing a quarter; token t counts as (t + 2) / 2 bits, near
// enough its width and one add away from it), taken in half bits as a level
// 0..127; up to three thresholds on the level split it into one to four
// contexts, each with its own table. The lanes' chains of contexts are
// independent, so the reader decodes them side by side, and come from
// tokens alone, so that it reads the raw bits in a pass of their own.
//
// Layout, after the 4-bit code kRansResiduals in the block's bits:
//   2 bits  contexts - 1
//   7 bits  per threshold, strictly increasing (level >= threshold j puts
//           a residual past context j)
//   a table per context: 6 bits T (tokens 0 .. T - 1 may occur, 1 to 33),
//           then for tokens 0 .. T - 2 a 4-bit code c (0: frequency 0;
//           otherwise a frequency of c bits, 1 to 13, its c - 1 low bits
//           raw); token T - 1 has what is left of 4096, at least one
//   the raw low bits of every residual, in order
//   padding to a byte
// then the rANS words, which fill the block to its end: states in
// [2^16, 2^32), tables of 12 bits, 16-bit renormalisation. L = 4 lanes from
// kMinForLanes residuals on (one below); lane j owns the segment [j * s,
// min((j + 1) * s, count)) with s = ceil(count / L), and the reader takes
// the residuals in the order: k = 0, 1, ...: for each lane j whose segment
// holds position j * s + k, that residual. The encoder runs that order
// backwards and appends each word as it goes, then the final states (lane
// L - 1 first), all little-endian; the reader starts at the block's end and
// walks back. The bits and the words must meet exactly,
// and every state must end where the encoder started it (2^16).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quillmere_tools/bit_stream.hpp"

namespace quillmere_tools::integer_rans {

constexpr unsigned kTokens = 33;
constexpr unsigned kEscape = 32;
constexpr int kLargestDirectWidth = 16;
constexpr int kEscapeWidthBits = 5;
constexpr unsigned kTableBits = 12;
constexpr std::uint32_t kTableTotal = 1u << kTableBits;
constexpr unsigned kMaxContexts = 4;
constexpr int kThresholdBits = 7;
constexpr unsigned kLevelCount = 1u << kThresholdBits;
constexpr std::uint32_t kStateLow = 1u << 16;
constexpr unsigned kLanes = 4;
constexpr std::size_t kMinForLanes = 1024;

inline unsigned lanes_for(std::size_t count) noexcept { return count >= kMinForLanes ? kLanes : 1; }

// The leading part of a token's values, their bit width and the raw bits
// after it (the escape's are read separately).
struct TokenShape {
  std::uint32_t base;
  std::uint8_t width;
  std::uint8_t extra_bits;
};

constexpr std::array<TokenShape, kTokens> make_shapes() {
  std::array<TokenShape, kTokens> s{};
  for (std::uint32_t t = 0; t < 4; ++t) s[t] = {t, static_cast<std::uint8_t>(t == 0 ? 0 : t == 1 ? 1 : 2), 0};
  for (std::uint32_t t = 4; t < kEscape; ++t) {
    const std::uint32_t w = 3 + (t - 4) / 2;
    s[t] = {(1u << (w - 1)) | (((t - 4) & 1u) << (w - 2)), static_cast<std::uint8_t>(w),
            static_cast<std::uint8_t>(w - 2)};
  }
  s[kEscape] = {0, static_cast<std::uint8_t>(kLargestDirectWidth + 1), 0};
  return s;
}
inline constexpr std::array<TokenShape, kTokens> kShapes = make_shapes();

// The width a token adds to its lane's mean.
constexpr int context_width(unsigned token) noexcept { return static_cast<int>(token + 2) >> 1; }

// Lane j's segment of a block's residuals.
struct Segments {
  std::size_t count;
  unsigned lanes;
  std::size_t size;  // ceil(count / lanes); the last segment may be shorter
  explicit Segments(std::size_t n) noexcept : count(n), lanes(lanes_for(n)), size((n + lanes - 1) / lanes) {}
  std::size_t begin(unsigned j) const noexcept { return std::min(count, j * size); }
  // The length of the last lane's segment: every lane holds that many.
  std::size_t shortest() const noexcept { return count - begin(lanes - 1); }
};

// The running mean of widths behind the contexts.
struct WidthMean {
  int mean = 0;  // sixteenths of a bit
  unsigned level() const noexcept { return static_cast<unsigned>(mean) >> 3; }
  void push(int width) noexcept { mean += ((width << 4) - mean) >> 2; }  // arithmetic shift: floor
};

// One context's table: the frequency and cumulative start of every token.
struct Table {
  std::array<std::uint16_t, kTokens> freq{};
  std::array<std::uint16_t, kTokens> start{};
};

// The model a block's residuals are coded with, and its estimated size.
struct RansModel {
  unsigned contexts = 1;
  std::array<std::uint8_t, kMaxContexts - 1> thresholds{};
  std::array<Table, kMaxContexts> tables{};
  std::uint64_t bits = 0;  // everything after the 4-bit code, padding aside
};

// The size of these zig-zag residuals (each below 2^34) coded with one
// table, as plan_rans counts it: a quick look at whether contexts are worth
// planning.
std::uint64_t single_table_bits(std::span<const std::uint64_t> u);

// The best model for these zig-zag residuals (each below 2^34).
RansModel plan_rans(std::span<const std::uint64_t> u);

// Writes the model and the raw bits to `bits` and returns the rANS words and
// states: the bytes that follow the block's padded bits.
std::vector<std::uint8_t> write_rans(BitWriter& bits, std::span<const std::uint64_t> u, const RansModel& model);

// What makes a block's rANS residuals unreadable.
enum class RansFault : std::uint8_t { None, BadThresholds, BadTable, WideResidual, Mismatch };

// Tables and slot lookups of the reader, kept from block to block.
struct RansScratch {
  std::array<std::array<std::uint8_t, kTableTotal>, kMaxContexts> token_of{};
  std::array<std::array<std::uint32_t, kTokens>, kMaxContexts> entry{};  // freq | start << 16
  std::vector<std::uint8_t> tokens;
};

// Reads `count` residuals into r (signed) from a block whose bits `in` has
// read up to the code, the block being `block`; residuals wider than
// width + 1 bits are refused. On success the bits and the words met.
RansFault read_rans(BitReader& in, std::span<const std::uint8_t> block, std::int64_t* r, std::size_t count,
                    int width, RansScratch& scratch);

}  // namespace quillmere_tools::integer_rans
