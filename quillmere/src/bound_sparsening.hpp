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

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bound_refinement.hpp"

namespace quillmere::refine {

// How far the zeroing may go. By default only values of magnitude one are
// zeroed, and only where the corrections stay no dearer. With a payload
// weight every detail value up to `largest` may step once towards zero
// wherever the corrections it adds cost less than the payload
// bits the step saves (from the band's frequencies) times the weight: the
// corrections' bits a payload bit is worth.
struct Shrinking {
  double payload_weight = 0.0;
  int largest = 1;
};

// What the zeroing did: steps taken, the correction bits they added (the
// prices below; negative where they removed more) and the payload bits
// they were estimated to save.
struct Shrunk {
  std::size_t moved = 0;
  long added = 0;
  double saved = 0.0;
};

// Moves, finest band first, the detail values `how` allows one step towards
// zero, judged from `decoded` (the decoder's samples for `q`) and updated
// as values go. `q` is changed in place. Out of memory or a transform
// failure moves nothing.
Shrunk sparsen(const Problem& p, std::span<const float> decoded, stages::QuantisedBands& q,
               const Shrinking& how = {});

// What the zeroing weighs, in the units of a correction's bits: 0 within
// `bound`, else a flag and the Elias-gamma length of the multiple of twice
// the bound a correction would add. Exposed for the tests.
int correction_cost(double error, double bound);

// correction_cost with the bound fixed, by comparisons instead of a
// division and a rounding per sample: the zeroing prices every sample a
// value would move, and that pricing was most of its time. The price only
// steps where the rounded multiple of twice the bound reaches 1, 3, 7, 15
// (the Elias-gamma length grows), so it is the sum of a few steps at
// magnitudes found once, each the largest double correction_cost still
// prices below the step; far outside, and for bounds too close to the ends
// of the double range to search, it asks correction_cost itself. Exposed
// for the tests.
class Pricer {
 public:
  explicit Pricer(double bound);

  // The least a correction costs: a sample just outside the bound.
  static constexpr int kLeast = 4;

  // The errors e[t] + sign * shift[t] priced and summed over `span`
  // samples, in one pass without a branch per sample. Equal to the sum of
  // operator() over them, whatever the order (the prices are integers),
  // where that is at most `limit`; else some number above `limit`, the
  // pass cut short.
  long shifted_sum(const double* e, const double* shift, double sign, std::size_t span,
                   double limit = HUGE_VAL) const;
  // operator() of each of n errors into out, the same way: in one pass,
  // then the few far ones again.
  void price_all(const double* e, std::uint8_t* out, std::size_t n) const;

  int operator()(double error) const {
    const double a = std::fabs(error);
    if (a > beyond_) [[unlikely]] return exact(a);
    // NaN fails every comparison and costs nothing.
    return kLeast * (a > inside_) + 3 * (a > step_[0]) + 2 * (a > step_[1]) + 2 * (a > step_[2]) +
           2 * (a > step_[3]);
  }

 private:
  int exact(double magnitude) const;

  double bound_;
  double inside_;
  std::array<double, 4> step_{};
  double beyond_;
};

// std::nearbyint for a non-negative x in the default rounding mode, without
// the library call the baseline ISA needs for it: adding and removing 2^52
// leaves no bits below the unit, rounded half to even. From 2^52 on every
// double is whole already; NaN passes through.
inline double round_half_even(double x) {
  constexpr double kWhole = 4503599627370496.0;  // 2^52
  return x < kWhole ? (x + kWhole) - kWhole : x;
}

}  // namespace quillmere::refine
