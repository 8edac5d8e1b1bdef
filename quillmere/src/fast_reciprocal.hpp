// The division of the fast coder's rANS encoder, s / f for a frequency
// f <= 4096 of a 12-bit table and a state s below f * 2^20, which is all
// the encoder divides (a state about to take a symbol of frequency f is
// below f * 2^20 once its word is out), by one 64-bit product.
// With m = ceil(2^44 / f) = (2^44 + e) / f, 0 <= e < f:
//   exact     s * m / 2^44 = s / f + s * e / (f * 2^44), and s * e < f^2 * 2^20
//             <= 2^44, so the excess stays below 1 / f and the floor is s / f;
//   no wrap   s * m <= 2^64 + e * 2^20 - (2^44 + e) / f < 2^64, as e * f < 2^24.
// One multiply and a shift on each lane's chain from one state to the
// next, where a 128-bit product needs a wide multiply and a double shift.
// Internal to the codec library.
#pragma once

#include <array>
#include <cstdint>

#include "fast_model.hpp"

namespace quillmere::fast {

struct Reciprocals {
  std::array<std::uint64_t, kTableTotal + 1> m{};
  constexpr Reciprocals() {
    for (std::uint64_t f = 1; f <= kTableTotal; ++f) m[f] = ((std::uint64_t{1} << 44) + f - 1) / f;
  }
};
inline constexpr Reciprocals kReciprocals;

// s / f, for 1 <= f <= 4096 and s < f * 2^20.
inline std::uint32_t divide_state(std::uint32_t s, std::uint32_t f) noexcept {
  return static_cast<std::uint32_t>((std::uint64_t{s} * kReciprocals.m[f]) >> 44);
}

}  // namespace quillmere::fast
