// Quantised values of one step zeroed where a point-wise bound leaves room.
//
// Under a max_error bound the wavelet layer's RMS error is far below the
// bound, so many values of magnitude one carry less than the slack of every
// sample they touch: without them the layer would still keep those samples
// within the bound (or an outlier within the correction it needs anyway),
// and each zero saves the bits of a significant value. Each value's share
// of the decoded signal is its band's impulse response, measured once per
// band through the decoder's own synthesis and shifted; the kept result is
// still judged through the decoder's arithmetic by the caller, so a response
// that is only nearly shift-invariant costs bytes, never the bound.
// Internal to the codec library.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bound_refinement.hpp"

namespace quillmere::refine {

// Zeroes, finest band first, every magnitude-one detail value whose removal
// leaves the corrections the samples it touches need no dearer, judged from
// `decoded` (the decoder's samples for `q`) and updated as values go.
// Returns how many values it zeroed; `q` is changed in place. Out of memory
// or a transform failure zeroes nothing.
std::size_t sparsen(const Problem& p, std::span<const float> decoded,
                    stages::QuantisedBands& q);

// What the zeroing weighs, in the units of a correction's bits: 0 within
// `bound`, else a flag and the Elias-gamma length of the multiple of twice
// the bound a correction would add. Exposed for the tests.
int correction_cost(double error, double bound);

// correction_cost with the bound fixed, multiplying by the reciprocal of
// twice the bound rather than dividing: the zeroing prices every sample a
// value would leave outside, and a division per sample was the larger part
// of its time. The product and the quotient differ by a few units in the
// last place at most, so they round to different multiples only next to a
// tie; there it divides, and the price is correction_cost's to the bit.
// Exposed for the tests.
class Pricer {
 public:
  explicit Pricer(double bound);

  int operator()(double error) const {
    const double a = std::fabs(error);
    if (!(a > inside_)) return 0;
    double k = 0.0;
    if (exact_) {
      k = divided(a);
    } else {
      // Past 4e9 every multiple costs the same; the cap keeps infinities out.
      const double q = std::min(a * per_multiple_, 1e15);
      k = round_half_even(q);
      if (std::fabs(std::fabs(q - k) - 0.5) <= q * 0x1p-40) k = divided(a);
    }
    const auto v = static_cast<std::uint64_t>(std::min(k, 4e9)) + 1;
    return kCorrectionFlag + 2 * (std::bit_width(v) - 1) + 1 + (k != 0.0 ? 1 : 0);
  }

  // std::nearbyint for a non-negative x in the default rounding mode,
  // without the library call the baseline ISA needs for it: adding and
  // removing 2^52 leaves no bits below the unit, rounded half to even. From
  // 2^52 on every double is whole already; NaN passes through.
  static double round_half_even(double x) {
    constexpr double kWhole = 4503599627370496.0;  // 2^52
    return x < kWhole ? (x + kWhole) - kWhole : x;
  }

  // A correction's weight beside its multiple's code: the gap to the
  // previous corrected sample, a few bits where outliers are dense.
  static constexpr int kCorrectionFlag = 3;

 private:
  // The multiple as correction_cost rounds it.
  double divided(double a) const;

  double bound_, inside_, per_multiple_;
  bool exact_;
};

}  // namespace quillmere::refine
