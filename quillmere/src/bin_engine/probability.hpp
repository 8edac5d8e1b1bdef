// Probabilities of the bit engine and their adaptation: the part that
// modelling (encoder side) and decoding share. See bin_engine.hpp first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillmere::bin_engine {

inline constexpr std::uint32_t kProbBits = 12;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;  // 4096
inline constexpr std::uint16_t kProbInit = kProbScale / 2;
inline constexpr std::uint32_t kStateLow = 1u << 16;  // L

// One adaptation step, rate 1/16. Starting from 2048 the result never leaves
// [15, 4081]: at 4081 the upward step (4096 - p) >> 4 is 0, at 15 the
// downward step p >> 4 is 0, and both maps are monotone in p. The clamp to
// [1, 4095] that a general adaptive coder needs can therefore never fire and
// is left out; the bit-engine tests check the closure exhaustively.
//
// Branch-free form, as bits are often unpredictable: bit 1 is p - floor(p / 16);
// bit 0 is p + floor((4096 - p) / 16) = p - ceil((p - 4096) / 16)
// = p - floor((p - 4081) / 16), with an arithmetic shift for the floor.
constexpr std::uint16_t adapt(std::uint32_t p, unsigned bit) noexcept {
  const std::int32_t offset = static_cast<std::int32_t>(bit - 1) & -std::int32_t{kProbScale - 15};
  return static_cast<std::uint16_t>(static_cast<std::int32_t>(p) - ((static_cast<std::int32_t>(p) + offset) >> 4));
}

// The queued form of a bit modelled under probability p: p | bit << 12,
// which is the coded symbol (freq, start) in two bytes: bit 0 is (p, 0),
// bit 1 is (4096 - p, p).
constexpr std::uint16_t symbol(std::uint32_t p, unsigned bit) noexcept {
  return static_cast<std::uint16_t>(p | (bit << kProbBits));
}

// adapt() by the queued symbol: kAdapted[symbol(p, bit)] == adapt(p, bit).
// The encoders' modelling loops are bound by instruction throughput, not by
// latency, and one load replaces five operations there.
inline constexpr std::array<std::uint16_t, 2 * kProbScale> kAdapted = [] {
  std::array<std::uint16_t, 2 * kProbScale> t{};
  for (std::uint32_t p = 0; p < kProbScale; ++p) {
    t[symbol(p, 0)] = adapt(p, 0);
    t[symbol(p, 1)] = adapt(p, 1);
  }
  return t;
}();

// `if_one` when bit is 1, else `if_zero`, by a conditional move. The bit
// decoders choose the next state and the next node's probability with it:
// coded magnitudes end in bits close to random, where a branch mispredicts
// about half the time, and a mispredicted branch costs more than the
// whole bit; the move costs one cycle and no prediction. GCC does not
// reliably emit the move for the plain conditional, hence the assembly.
inline std::uint32_t select_by_bit(unsigned bit, std::uint32_t if_one,
                                   std::uint32_t if_zero) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("test %[bit], %[bit]\n\tcmovnz %[one], %[out]"
      : [out] "+r"(if_zero)
      : [bit] "r"(bit), [one] "r"(if_one)
      : "cc");
  return if_zero;
#else
  return bit ? if_one : if_zero;
#endif
}

}  // namespace quillmere::bin_engine
