// The fast decoder's raw-bit stage: each nonzero token's sign and low bits,
// read in decoding order from the raw section, turn the token left in the
// output into its coefficient. Internal to the codec library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "fast_model.hpp"

namespace quillmere::fast {

// What the raw bits of a token make: the mask that takes them (the sign,
// for nonzero tokens, and the low bits) and the magnitude they add to.
struct RawShape {
  std::uint32_t mask;
  std::uint32_t base;
};
constexpr std::array<RawShape, kTokens> make_raw_shapes() {
  std::array<RawShape, kTokens> r{};
  for (unsigned t = 1; t < kTokens; ++t) r[t] = {(2u << kShapes[t].extra_bits) - 1, kShapes[t].base};
  return r;
}
inline constexpr auto kRawShape = make_raw_shapes();
constexpr std::array<std::uint8_t, kTokens> make_raw_bits() {
  std::array<std::uint8_t, kTokens> t{};
  for (unsigned s = 1; s < kTokens; ++s) t[s] = static_cast<std::uint8_t>(1 + kShapes[s].extra_bits);
  return t;
}
inline constexpr auto kRawBits = make_raw_bits();
// No token takes more raw bits than this (the sign and 14 low bits at
// most; a bound with room to spare for the unchecked blocks).
inline constexpr std::size_t kMaxRawBits = 16;

struct RawBits {
  const std::uint8_t* data;
  std::size_t size;  // bytes
  std::size_t pos = 0;  // in bits
  // Bit 15 and up set: a magnitude beyond what 16 bits hold.
  std::uint32_t over = 0;
};

// Eight bytes from `byte` on, zeros past the end. The unchecked form is for
// blocks that cannot reach the end, the checked one for the rest.
inline std::uint64_t raw_word(const RawBits& r, std::size_t byte) noexcept {
  std::uint64_t v;
  std::memcpy(&v, r.data + byte, 8);
  return v;
}
inline std::uint64_t raw_word_checked(const RawBits& r, std::size_t byte) noexcept {
  if (byte + 8 <= r.size) return raw_word(r, byte);
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < 8 && byte + k < r.size; ++k) v |= std::uint64_t{r.data[byte + k]} << (8 * k);
  return v;
}

// The sign and low bits of the token held at `at`, and the coefficient.
template <bool Checked>
inline void finish(std::int16_t& at, RawBits& r) noexcept {
  const unsigned t = static_cast<unsigned>(at) & (kTokens - 1);
  const std::uint64_t bits = Checked ? raw_word_checked(r, r.pos >> 3) : raw_word(r, r.pos >> 3);
  const auto v = static_cast<std::uint32_t>(bits >> (r.pos & 7)) & kRawShape[t].mask;
  r.pos += kRawBits[t];
  const std::uint32_t sign = v & 1;
  const std::uint32_t m = kRawShape[t].base + (v >> 1);
  // m - sign stays below 2^15 for every magnitude a coefficient can have
  // (32768 only with its sign).
  r.over |= m - sign;
  at = static_cast<std::int16_t>(static_cast<std::uint16_t>((m ^ (0u - sign)) + sign));
}

// Finishes n rows of four lanes' tokens from o0 on, lanes `seg` apart, in
// decoding order (row by row, lane 0 to 3 within a row). The reads are
// unchecked: the section must hold n * 4 * kMaxRawBits / 8 + 8 bytes from
// raw.pos on (the vector versions read up to 128 bytes from the start of
// each group of 16 rows, which that bound covers).
// The fastest version of this machine runs.
void finish_four_lanes(std::int16_t* o0, std::size_t seg, std::size_t n, RawBits& raw) noexcept;

// Every version this build and machine can run, the baseline first and the
// one finish_four_lanes takes last; all give the same coefficients, raw.pos
// and raw.over. For the tests and the benchmarks.
using FinishFour = void (*)(std::int16_t*, std::size_t, std::size_t, RawBits&) noexcept;
struct FinishVersion {
  const char* name;
  FinishFour finish;
};
std::span<const FinishVersion> finish_versions() noexcept;

}  // namespace quillmere::fast
