#include "quillmere_tools/quantised_grid.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include "integer_arithmetic.hpp"

namespace quillmere_tools {
namespace {

// Integers of at most 33 bits, as the integer unit codes: |k| < 2^32.
constexpr double kLargestInteger = 4294967296.0;
// A step just under twice the bound: rounding leaves at most half a step, and
// the margin absorbs the float32 narrowing of the decoded value, which can add
// up to half an ulp of the sample.
constexpr double kStepShare = 2.0 * (1.0 - 1.0 / 1024.0);
// When a sample still lands outside the bound (a value whose ulp is a
// sizeable share of the bound), the step shrinks by this much and the check
// runs again, a few times at most before the candidate is given up.
constexpr double kShrink = 1.0 - 1.0 / 64.0;
constexpr int kAttempts = 4;

// The grid check: the integer unit's own rounding (integer_grid_pass.cpp)
// and its reader's reconstruction, sample by sample. Without a branch per
// sample, so that the samples run side by side, a stretch at a time: the
// rounding adds and subtracts 1.5 * 2^52 (round_to_nearest's, exact below
// 2^51; a larger quotient fails the 33-bit test either way), and a
// non-finite sample is left out by its mask.
template <class T>
inline bool holds_in(std::span<const T> x, const IntegerGrid& grid, double max_error) noexcept {
  constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
  constexpr double kExactBelow = 2251799813685248.0;  // 2^51
  constexpr std::size_t kStretch = 1024;
  const double offset = grid.offset, step = grid.step;
  const auto largest = static_cast<double>(std::numeric_limits<T>::max());
  const T* samples = x.data();
  for (std::size_t start = 0; start < x.size(); start += kStretch) {
    const std::size_t end = std::min(x.size(), start + kStretch);
    std::uint32_t bad = 0;
    for (std::size_t i = start; i < end; ++i) {
      const double d = static_cast<double>(samples[i]);
      const bool finite = std::fabs(d) <= largest;
      const double raw = (d - offset) / step;
      const double q = (raw + kMagic) - kMagic;
      double y = offset + step * q;
      if constexpr (std::is_same_v<T, float>) y = static_cast<double>(static_cast<float>(y));
      const bool fits = (std::fabs(raw) < kExactBelow) & (std::fabs(q) < kLargestInteger) &
                        (std::fabs(y - d) <= max_error);
      bad |= static_cast<std::uint32_t>(finite & !fits);
    }
    if (bad != 0) return false;
  }
  return true;
}

QUILLMERE_INTEGER_CLONES
bool holds(std::span<const float> x, const IntegerGrid& grid, double max_error) noexcept {
  return holds_in(x, grid, max_error);
}
QUILLMERE_INTEGER_CLONES
bool holds(std::span<const double> x, const IntegerGrid& grid, double max_error) noexcept {
  return holds_in(x, grid, max_error);
}

// The least and greatest finite sample (inf and -inf when there is none),
// without a branch per sample so that the samples run side by side; only
// their magnitudes are used, so which zero a tie keeps does not matter.
template <class T>
inline std::pair<double, double> finite_range_in(std::span<const T> x) noexcept {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const auto largest = static_cast<double>(std::numeric_limits<T>::max());
  const T* samples = x.data();
  // Four lanes of their own (the compiler does not reorder a floating-point
  // minimum by itself), met at the end.
  using Quad = double __attribute__((vector_size(32)));
  const Quad inf = Quad{} + kInf, top = Quad{} + largest;
  Quad lo4 = inf, hi4 = -inf;
  std::size_t i = 0;
  for (; i + 4 <= x.size(); i += 4) {
    const Quad d = {static_cast<double>(samples[i]), static_cast<double>(samples[i + 1]),
                    static_cast<double>(samples[i + 2]), static_cast<double>(samples[i + 3])};
    const Quad magnitude = d < Quad{} ? -d : d;
    const auto finite = magnitude <= top;
    const Quad low = finite ? d : inf, high = finite ? d : -inf;
    lo4 = low < lo4 ? low : lo4;
    hi4 = high > hi4 ? high : hi4;
  }
  double lo = kInf, hi = -kInf;
  for (int j = 0; j < 4; ++j) {
    lo = lo4[j] < lo ? lo4[j] : lo;
    hi = hi4[j] > hi ? hi4[j] : hi;
  }
  for (; i < x.size(); ++i) {
    const double d = static_cast<double>(samples[i]);
    if (!(std::fabs(d) <= largest)) continue;
    lo = d < lo ? d : lo;
    hi = d > hi ? d : hi;
  }
  return {lo, hi};
}

QUILLMERE_INTEGER_CLONES
std::pair<double, double> finite_range(std::span<const float> x) noexcept { return finite_range_in(x); }
QUILLMERE_INTEGER_CLONES
std::pair<double, double> finite_range(std::span<const double> x) noexcept { return finite_range_in(x); }

// The grids quantised_grid tries in turn, each checked against the samples.
// With `checked` false the first is returned as it stands, where its
// quotients are known to stay within 33 bits whatever the samples (their
// range about a middle offset, or an odd multiple of the source's own grid).
template <class T>
std::optional<IntegerGrid> quantised_grid_of(std::span<const T> x, double max_error,
                                             std::optional<IntegerGrid> exact, bool checked) {
  if (!std::isfinite(max_error) || !(max_error > 0.0)) return std::nullopt;
  double step = kStepShare * max_error;
  // Mid-tread about zero, so that a signal resting at zero (silence, a
  // baseline) keeps integer zero, which the coder's runs code in almost
  // nothing; unless the samples sit so far from zero that their integers
  // would overflow 33 bits: then about the middle of their range.
  const auto [lo, hi] = finite_range(x);
  const bool near_zero = !(lo <= hi) || std::max(std::fabs(lo), std::fabs(hi)) / step < kLargestInteger / 2.0;
  const double offset = near_zero ? 0.0 : lo + (hi - lo) / 2.0;
  if (exact && std::isfinite(exact->spacing)) {
    // No coarser than the source's own grid: then exactness costs less.
    if (max_error < exact->spacing) return std::nullopt;
    // An odd multiple m of the spacing, anchored on the source's grid, puts
    // every sample within (m - 1) / 2 spacings of a grid point, so the whole
    // bound is usable; take it when it is the coarser step.
    const double m = 2.0 * std::floor(max_error / exact->spacing) + 1.0;
    if (m * exact->spacing > step) {
      const IntegerGrid odd{m * exact->step, exact->offset, m * exact->step};
      if (!checked || holds(x, odd, max_error)) return odd;
    }
  }
  if (!checked) {
    // Near zero the largest quotient is under 2^31; about the middle, half
    // the range over the step must be as well.
    const bool bounded = near_zero || (hi - lo) / 2.0 / step < kLargestInteger / 2.0;
    if (!bounded || !std::isfinite(step) || !(step > 0.0) || (exact && step <= exact->spacing)) return std::nullopt;
    return IntegerGrid{step, offset, step};
  }
  for (int attempt = 0; attempt < kAttempts; ++attempt, step *= kShrink) {
    if (!std::isfinite(step) || !(step > 0.0)) return std::nullopt;
    // A step at the samples' own resolution quantises nothing.
    if (exact && step <= exact->spacing) return std::nullopt;
    const IntegerGrid grid{step, offset, step};
    if (holds(x, grid, max_error)) return grid;
  }
  return std::nullopt;
}

// Expected bits of a stretch's Rice code given the mean of its zig-zagged
// residuals: the best parameter k costs k + 1 + mean / 2^k per residual.
double rice_bits(double mean_u) noexcept {
  if (!(mean_u > 0.0)) return 1.0;
  double best = std::numeric_limits<double>::infinity();
  const int top = std::clamp(static_cast<int>(std::log2(mean_u)) + 1, 0, 34);
  for (int k = std::max(0, top - 2); k <= top; ++k) {
    best = std::min(best, k + 1.0 + mean_u / std::ldexp(1.0, k));
  }
  return best;
}

// Stretches of this many samples are judged on their own (as the coder's
// partitions are): speech is loud in some and silent in others.
constexpr std::size_t kStretch = 256;

// A sample's integer on the grid, near enough for a prediction (a multiply
// and a truncation rather than the exact division and rounding to nearest,
// which cost a library call a sample); non-finite samples count as zero.
// The half added takes the quotient's sign by copysign rather than by a
// branch (for -0 it is -0.5, which truncates to the same zero).
inline std::int64_t rounded(double v, double offset, double inverse) noexcept {
  constexpr double kReach = 4.0e18;  // well inside int64
  const double q = (v - offset) * inverse;
  if (!(std::fabs(q) < kReach)) return std::isnan(q) ? 0 : static_cast<std::int64_t>(std::copysign(kReach, q));
  return static_cast<std::int64_t>(q + std::copysign(0.5, q));
}

constexpr double kVectorQuotients = 1125899906842624.0;  // 2^50

// Integers below this in magnitude have differences, and sums of a
// stretch's differences, that double arithmetic holds exactly: summing them
// as integers, in any order, gives the very doubles a sum in order would.
constexpr std::int64_t kExactSums = std::int64_t{1} << 40;

// Inlined into each clone below, so that each has code for its own
// instruction set.
template <class T>
[[gnu::always_inline]] inline double predict_bits_in(std::span<const T> x, const IntegerGrid& grid,
                                                     std::size_t judged_at_most) {
  const std::size_t n = x.size();
  if (n < 3) return 0.0;
  const std::size_t stretches = (n + kStretch - 1) / kStretch;
  const std::size_t at_most = std::max<std::size_t>(judged_at_most, 1);
  const std::size_t every = (stretches + at_most - 1) / at_most;
  double bits = 0.0;
  std::size_t judged = 0;
  const double inverse = 1.0 / grid.step;
  std::array<std::int64_t, kStretch> k{};
  std::array<double, kStretch> q;
  for (std::size_t start = 0; start + 2 < n; start += kStretch * every) {
    const std::size_t count = std::min(n - start, kStretch);
    if (count < 3) continue;
    const T* xs = x.data() + start;
    // Quotients below 2^50 (every one but on a grid far too fine for its
    // samples) take rounded()'s integers in loops that run as vectors
    // (rounded_half_away).
    std::uint32_t wide = 0;
    for (std::size_t i = 0; i < count; ++i) {
      q[i] = (static_cast<double>(xs[i]) - grid.offset) * inverse;
      wide |= static_cast<std::uint32_t>(!(std::fabs(q[i]) < kVectorQuotients));
    }
    if (wide == 0) {
      rounded_half_away_run(q.data(), count, k.data());
    } else {
      for (std::size_t i = 0; i < count; ++i) k[i] = rounded(static_cast<double>(xs[i]), grid.offset, inverse);
    }
    // The extremes in a pass of their own, which the compiler runs as
    // vectors: in the rounding loop they were two compare chains a sample.
    std::int64_t lo_k = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi_k = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = 0; i < count; ++i) {
      lo_k = k[i] < lo_k ? k[i] : lo_k;
      hi_k = k[i] > hi_k ? k[i] : hi_k;
    }
    // Order 0 predicts the middle of the stretch's range, as the coder's
    // does; orders 1 and 2 the last value and the last slope. Zig-zag of a
    // residual r is about 2|r|.
    const double lo = static_cast<double>(lo_k), hi = static_cast<double>(hi_k);
    const double middle = std::floor(lo + (hi - lo) / 2.0);
    double sum0 = 0.0, sum1 = 0.0, sum2 = 0.0;
    if (std::max(-lo_k, hi_k) < kExactSums) {
      const auto mid = static_cast<std::int64_t>(middle);
      std::int64_t s0 = 0, s1 = 0, s2 = 0;
      for (std::size_t j = 2; j < count; ++j) {
        const std::int64_t r1 = k[j] - k[j - 1];
        const std::int64_t r2 = r1 - (k[j - 1] - k[j - 2]);
        const std::int64_t d0 = k[j] - mid;
        s0 += d0 < 0 ? -d0 : d0;
        s1 += r1 < 0 ? -r1 : r1;
        s2 += r2 < 0 ? -r2 : r2;
      }
      sum0 = static_cast<double>(s0), sum1 = static_cast<double>(s1), sum2 = static_cast<double>(s2);
    } else {
      for (std::size_t j = 2; j < count; ++j) {
        const double kj = static_cast<double>(k[j]), k1 = static_cast<double>(k[j - 1]);
        const double r1 = kj - k1;
        sum0 += std::fabs(kj - middle);
        sum1 += std::fabs(r1);
        sum2 += std::fabs(r1 - (k1 - static_cast<double>(k[j - 2])));
      }
    }
    const std::size_t residuals = count - 2;
    const double mean_u = 2.0 * std::min({sum0, sum1, sum2}) / static_cast<double>(residuals);
    bits += static_cast<double>(residuals) * rice_bits(mean_u);
    judged += residuals;
  }
  return judged == 0 ? 0.0 : bits / static_cast<double>(judged);
}

QUILLMERE_INTEGER_CLONES
double predict_bits_of(std::span<const float> x, const IntegerGrid& grid, std::size_t judged_at_most) {
  return predict_bits_in(x, grid, judged_at_most);
}
QUILLMERE_INTEGER_CLONES
double predict_bits_of(std::span<const double> x, const IntegerGrid& grid, std::size_t judged_at_most) {
  return predict_bits_in(x, grid, judged_at_most);
}

}  // namespace

std::optional<IntegerGrid> quantised_grid(SignalView x, double max_error, std::optional<IntegerGrid> exact) {
  return std::visit([&](auto s) { return quantised_grid_of(s, max_error, exact, true); }, x);
}

std::optional<IntegerGrid> first_quantised_grid(SignalView x, double max_error, std::optional<IntegerGrid> exact) {
  return std::visit([&](auto s) { return quantised_grid_of(s, max_error, exact, false); }, x);
}

double predict_integer_bits(SignalView x, const IntegerGrid& grid, std::size_t stretches) {
  return std::visit([&](auto s) { return predict_bits_of(s, grid, stretches); }, x);
}

}  // namespace quillmere_tools
