// std::round (nearest integer, halves away from zero) without the library
// call: on the x86-64 baseline there is no instruction for it, and the
// corrections encoder rounds once per corrected sample.
#pragma once

#include <cmath>

namespace quillmere {

// Bit for bit std::round(v) for every double, NaN and infinities included.
// Below 2^52, adding and taking off 2^52 rounds |v| to the nearest integer
// with halves to even (the default rounding, exact in SSE arithmetic); a
// half that went down to even is put up. a - r is exact: both lie within a
// factor of two of each other, or r is 0. From 2^52 up every double is an
// integer already.
inline double round_half_away(double v) noexcept {
  const double a = std::fabs(v);
  if (!(a < 0x1p52)) return v;
  double r = (a + 0x1p52) - 0x1p52;
  if (a - r == 0.5) r += 1.0;
  return std::copysign(r, v);
}

}  // namespace quillmere
