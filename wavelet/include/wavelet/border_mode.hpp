// How a convolution executor extends a signal x[0..n-1] beyond its ends.
// The values are stored nowhere but are part of the interface; keep them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace wavelet {

// For x = a b c d (n = 4):
//   Clamp      a a a | a b c d | d d d
//   Wrap       b c d | a b c d | a b c     x_ext[i] = x[i mod n]
//   Symmetric  c b a | a b c d | d c b     mirrored about the half sample
//   Reflect    d c b | a b c d | c b a     mirrored about the end sample
//   Zeros      0 0 0 | a b c d | 0 0 0
enum class BorderMode : std::uint8_t { Clamp = 0, Wrap = 1, Symmetric = 2, Reflect = 3, Zeros = 4 };

// x_ext[i] for any i; x must not be empty. Meant for the few samples next
// to the borders: it is the only place the mode is looked at.
float extended_sample(std::span<const float> x, std::ptrdiff_t i, BorderMode mode) noexcept;

}  // namespace wavelet
