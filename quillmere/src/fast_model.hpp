// The fast coder's pieces below the lane loops: the token of a coefficient,
// bit-packed reading and writing, and the per-band models (their choice from
// counts, their bit-packed form and their checked reading). Internal to the
// codec library.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "fast_coder.hpp"
#include "lsb_bit_writer.hpp"

namespace quillmere::fast {

// Magnitudes 0..3 are tokens 0..3; a magnitude of bit width w >= 3 is token
// 4 + 2(w - 3) + the bit below its leading one, with w - 2 low bits raw.
// Width 16 is only ever 32768 (of -32768), so tokens stop at 31.
constexpr unsigned kTokens = 32;
constexpr unsigned kContexts = 32;
constexpr unsigned kTableBits = 12;
constexpr std::uint32_t kTableTotal = 1u << kTableBits;
constexpr unsigned kLanes = 4;
constexpr std::uint32_t kStateLow = 1u << 16;  // states live in [2^16, 2^32)
constexpr std::size_t kMaxBands = 127;  // the count's byte keeps bit 7 for a flag

struct Token {
  std::uint8_t token;
  std::uint8_t extra_bits;  // low bits after the leading two
  std::uint16_t extra;
};

inline Token token_of(std::uint32_t magnitude) noexcept {
  if (magnitude < 4) return {static_cast<std::uint8_t>(magnitude), 0, 0};
  const unsigned w = static_cast<unsigned>(std::bit_width(magnitude));
  const unsigned below = (magnitude >> (w - 2)) & 1u;
  return {static_cast<std::uint8_t>(4 + 2 * (w - 3) + below), static_cast<std::uint8_t>(w - 2),
          static_cast<std::uint16_t>(magnitude & ((1u << (w - 2)) - 1))};
}

// Raw low-bit count and the leading part of the magnitude of a token.
struct TokenShape {
  std::uint8_t extra_bits;
  std::uint8_t width;  // bit width of the magnitude, for the context
  std::uint32_t base;
};

constexpr std::array<TokenShape, kTokens> make_shapes() {
  std::array<TokenShape, kTokens> s{};
  for (unsigned t = 0; t < 4; ++t) {
    s[t] = {0, static_cast<std::uint8_t>(std::bit_width(t)), t};
  }
  for (unsigned t = 4; t < kTokens; ++t) {
    const unsigned w = 3 + (t - 4) / 2;
    s[t] = {static_cast<std::uint8_t>(w - 2), static_cast<std::uint8_t>(w),
            (1u << (w - 1)) | (((t - 4) & 1u) << (w - 2))};
  }
  return s;
}
inline constexpr std::array<TokenShape, kTokens> kShapes = make_shapes();

// The context of a coefficient comes from its lane's recent bit widths in
// the band: a level from the last one plus three times a running mean that
// forgets with weight 1/16 (so about four widths in all, in quarters of a
// bit), and whether the last width lies above that mean. The levels are
// finer where most coefficients are (small widths) and reach widths of 13
// for loud passages; the rise tells a coefficient on the way up an envelope
// (a sweep entering a band) from one on the way down, which one level
// alone mixes.
constexpr unsigned kMaxWeighted = 64;
constexpr unsigned kLevels = kContexts / 2;
constexpr std::array<std::uint8_t, kMaxWeighted + 1> make_context_classes() {
  constexpr unsigned kFrom[kLevels - 1] = {1, 2, 3, 4, 6, 8, 11, 14, 18, 23, 28, 34, 40, 46, 52};
  std::array<std::uint8_t, kMaxWeighted + 1> t{};
  for (unsigned q = 0; q <= kMaxWeighted; ++q) {
    unsigned c = 0;
    while (c < kLevels - 1 && q >= kFrom[c]) ++c;
    t[q] = static_cast<std::uint8_t>(c);
  }
  return t;
}
inline constexpr auto kContextOfWeighted = make_context_classes();

struct ContextState {
  unsigned last = 0;  // bit width of the previous coefficient
  int mean = 0;       // running mean of the widths, in 1/256
  unsigned context() const noexcept {
    const unsigned level = kContextOfWeighted[last + ((3 * static_cast<unsigned>(mean) + 128) >> 8)];
    return 2 * level + (static_cast<int>(last << 8) > mean);
  }
  void push(unsigned width) noexcept {
    last = width;
    mean += ((static_cast<int>(width) << 8) - mean) >> 4;  // arithmetic shift: floor
  }
};

using lsb::BitWriter;
using lsb::put_gamma;

class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> in) : p_(in.data()), end_(in.data() + in.size()) {}
  // n <= 32. Reading past the end yields zeros and sets overrun().
  std::uint32_t get(unsigned n) noexcept {
    if (fill_ < n) refill();
    if (fill_ < n) {
      overrun_ = true;
      fill_ = n;
    }
    const auto v = static_cast<std::uint32_t>(acc_ & ((std::uint64_t{1} << n) - 1));
    acc_ >>= n;
    fill_ -= n;
    return v;
  }
  bool overrun() const noexcept { return overrun_; }
  // Bytes touched so far (a partly read byte counts).
  std::size_t bytes_used(std::span<const std::uint8_t> in) const noexcept {
    return static_cast<std::size_t>(p_ - in.data()) - fill_ / 8;
  }
  // Whether every bit still held is zero padding of the last byte read.
  bool rest_of_byte_is_zero() const noexcept { return (acc_ & ((std::uint64_t{1} << (fill_ % 8)) - 1)) == 0; }

 private:
  void refill() noexcept {
    while (fill_ <= 56 && p_ < end_) {
      acc_ |= std::uint64_t{*p_++} << fill_;
      fill_ += 8;
    }
  }
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  std::uint64_t acc_ = 0;
  unsigned fill_ = 0;
  bool overrun_ = false;
};

// One static table at 12 bits: frequency and cumulative start per token,
// and the token of every slot for decoding.
struct Table {
  std::array<std::uint16_t, kTokens> freq{};
  std::array<std::uint16_t, kTokens> start{};
  std::uint8_t tokens = 0;  // entries in use
};

enum class BandMode : std::uint8_t { Zero = 0, Single = 1, PerContext = 2, Adaptive = 3 };

// A band's model: all zero (nothing coded), one table, one per group of
// contexts (table index per context; kNoTable where the context's group
// never occurred), or adaptive (no tables).
constexpr std::uint16_t kNoTable = 0xFFFF;
struct BandModel {
  BandMode mode = BandMode::Zero;
  std::uint8_t tokens = 1;  // tokens 0 .. tokens - 1 may occur
  std::array<std::uint16_t, kContexts> table_of = no_tables();

  static constexpr std::array<std::uint16_t, kContexts> no_tables() {
    std::array<std::uint16_t, kContexts> t{};
    t.fill(kNoTable);
    return t;
  }
};

struct Models {
  std::vector<BandModel> bands;
  std::vector<Table> tables;
};

// Counts of every token per context of one band.
using BandCounts = std::array<std::array<std::uint32_t, kTokens>, kContexts>;

// Picks each band's model from its counts and, for short bands, its tokens
// (bits 0-4 of each symbol word, in band order): the smallest estimated size,
// tables included. Writes the models bit-packed to `out`.
//
// With `adaptive_codes` (as long as all bands together), a band that takes
// the adaptive model leaves there, at its offset among the bands laid end
// to end, the code of each of its symbols in band order (start | frequency
// << 16, before the model moves on): what the trial of the model computed
// anyway, and the codes an encoder needs when the band lies in one lane.
// Other bands leave their part unspecified.
Models choose_and_write_models(std::span<const BandCounts> counts,
                               std::span<const std::span<const std::uint32_t>> band_symbols,
                               std::vector<std::uint8_t>& out, std::uint32_t* adaptive_codes = nullptr);

// Reads K band models; band i must code lengths[i] coefficients.
std::expected<Models, FastError> read_models(BitReader& in, std::span<const std::size_t> lengths);

// Short signals use one lane: each lane's final state costs four bytes,
// which a few thousand coefficients notice and barely gain speed for.
inline constexpr std::size_t kMinForLanes = 4096;

inline unsigned lane_count(std::size_t total) { return total >= kMinForLanes ? kLanes : 1; }

// Without a coded symbol (every band empty or all zeros) no states are
// stored: they could only be the initial ones.
inline bool codes_symbols(const Models& models) {
  return std::any_of(models.bands.begin(), models.bands.end(),
                     [](const BandModel& b) { return b.mode != BandMode::Zero; });
}

// Lane j covers [j * seg, min((j + 1) * seg, total)).
struct Segments {
  unsigned lanes;
  std::size_t seg;
  std::size_t total;
  std::size_t begin(unsigned j) const { return std::min(total, j * seg); }
  std::size_t end(unsigned j) const { return std::min(total, (j + 1) * seg); }
};

inline Segments segments(std::size_t total) {
  const unsigned lanes = lane_count(total);
  return {lanes, (total + lanes - 1) / lanes, total};
}

// Saturating, so that hostile lengths cannot wrap around to a small total.
inline std::size_t total_length(std::span<const std::size_t> lengths) {
  std::size_t sum = 0;
  for (const std::size_t n : lengths) sum = n > SIZE_MAX - sum ? SIZE_MAX : sum + n;
  return sum;
}

}  // namespace quillmere::fast
