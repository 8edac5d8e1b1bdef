#include "integer_grid_pass.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "integer_arithmetic.hpp"

namespace quillmere_tools {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// (v - offset) / step of each sample, as on_grid rounds it.
QUILLMERE_INTEGER_CLONES
void quotients_of(std::span<const float> x, const IntegerGrid& grid, double* out) noexcept {
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = (static_cast<double>(x[i]) - grid.offset) / grid.step;
}
QUILLMERE_INTEGER_CLONES
void quotients_of(std::span<const double> x, const IntegerGrid& grid, double* out) noexcept {
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = (x[i] - grid.offset) / grid.step;
}

// What a stretch of the grid pass finds besides its integers: the extremes
// the measures and the header need, and the measures' sums, carried on
// from those of the samples before the stretch.
struct StretchExtremes {
  std::int64_t k_lo, k_hi;
  double e_max, x_lo, x_hi, y_lo, y_hi;
  double sum_sq, sum_x2, y_sum;
};

// A stretch of finite samples whose quotients all lie below 2^51 (checked
// here; false leaves the stretch to the per-sample pass, which writes every
// integer again): their quotients, integers, reconstructions and errors
// four samples at a time, in one pass with the extremes and the sums. The
// integer is the bits of q + 1.5 * 2^52 less those of 1.5 * 2^52, the same
// value round_to_nearest's addition gives, and every other value is the
// same operation on the same operands as in the per-sample pass. The
// extremes keep four lanes of their own, met at the end: exact, and the
// same values in any order, since the grid pass makes no negative zero (its
// y are offset + step * k with a positive step, and |errors| and samples
// only feed differences). The sums are added one sample after another, in
// the samples' order, as the per-sample pass adds them: each is a chain of
// dependent additions, and the rest of a sample's work (a division, the
// rounding, the extremes) now runs beside the chain instead of in passes
// of its own before it.
template <class T>
inline bool finite_stretch_in(const T* x, std::size_t n, const IntegerGrid& grid, std::int64_t* k,
                              StretchExtremes& out) noexcept {
  using Quad = double __attribute__((vector_size(32)));
  using Words = std::int64_t __attribute__((vector_size(32)));
  using Floats = float __attribute__((vector_size(16)));
  constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
  constexpr double kExactBelow = 2251799813685248.0;  // 2^51
  constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kLeast = std::numeric_limits<std::int64_t>::min();
  const auto largest = static_cast<double>(std::numeric_limits<T>::max());
  const auto magic_bits = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(kMagic));
  const double offset = grid.offset, step = grid.step;
  const Quad magic4 = Quad{} + kMagic, offset4 = Quad{} + offset, step4 = Quad{} + step;
  const Quad largest4 = Quad{} + largest, exact4 = Quad{} + kExactBelow;
  const Words magic_bits4 = Words{} + magic_bits, magnitude4 = Words{} + kMost;
  Words bad4 = Words{};
  Words k_lo4 = Words{} + kMost, k_hi4 = Words{} + kLeast;
  Quad e_hi4 = Quad{}, x_lo4 = Quad{} + kInf, x_hi4 = Quad{} - kInf, y_lo4 = x_lo4, y_hi4 = x_hi4;
  double sum_sq = out.sum_sq, sum_x2 = out.sum_x2, y_sum = out.y_sum;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Quad d;
    if constexpr (std::is_same_v<T, float>) {
      Floats f;
      std::memcpy(&f, x + i, sizeof f);
      d = __builtin_convertvector(f, Quad);
    } else {
      std::memcpy(&d, x + i, sizeof d);
    }
    const Quad q = (d - offset4) / step4;
    const Quad d_size = reinterpret_cast<Quad>(reinterpret_cast<Words>(d) & magnitude4);
    const Quad q_size = reinterpret_cast<Quad>(reinterpret_cast<Words>(q) & magnitude4);
    bad4 |= ~(d_size <= largest4) | ~(q_size < exact4);
    const Quad rounded = q + magic4;
    const Words ki = reinterpret_cast<Words>(rounded) - magic_bits4;
    Quad y = offset4 + step4 * (rounded - magic4);
    if constexpr (std::is_same_v<T, float>) y = __builtin_convertvector(__builtin_convertvector(y, Floats), Quad);
    const Quad e = reinterpret_cast<Quad>(reinterpret_cast<Words>(y - d) & magnitude4);
    std::memcpy(k + i, &ki, sizeof ki);
    k_lo4 = ki < k_lo4 ? ki : k_lo4;
    k_hi4 = ki > k_hi4 ? ki : k_hi4;
    e_hi4 = e > e_hi4 ? e : e_hi4;
    x_lo4 = d < x_lo4 ? d : x_lo4;
    x_hi4 = d > x_hi4 ? d : x_hi4;
    y_lo4 = y < y_lo4 ? y : y_lo4;
    y_hi4 = y > y_hi4 ? y : y_hi4;
    const Quad ee = e * e, dd = d * d;
    for (int j = 0; j < 4; ++j) {
      sum_sq += ee[j];
      sum_x2 += dd[j];
      y_sum += y[j];
    }
  }
  std::int64_t k_lo = kMost, k_hi = kLeast;
  double e_max = 0.0, x_lo = kInf, x_hi = -kInf, y_lo = kInf, y_hi = -kInf;
  std::int64_t bad = 0;
  for (int j = 0; j < 4; ++j) {
    bad |= bad4[j];
    k_lo = k_lo4[j] < k_lo ? k_lo4[j] : k_lo;
    k_hi = k_hi4[j] > k_hi ? k_hi4[j] : k_hi;
    e_max = e_hi4[j] > e_max ? e_hi4[j] : e_max;
    x_lo = x_lo4[j] < x_lo ? x_lo4[j] : x_lo;
    x_hi = x_hi4[j] > x_hi ? x_hi4[j] : x_hi;
    y_lo = y_lo4[j] < y_lo ? y_lo4[j] : y_lo;
    y_hi = y_hi4[j] > y_hi ? y_hi4[j] : y_hi;
  }
  for (; i < n; ++i) {
    const double d = static_cast<double>(x[i]);
    const double q = (d - offset) / step;
    bad |= static_cast<std::int64_t>(!(std::fabs(d) <= largest) | !(std::fabs(q) < kExactBelow));
    const double rounded = q + kMagic;
    const std::int64_t ki = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(rounded)) - magic_bits;
    double y = offset + step * (rounded - kMagic);
    if constexpr (std::is_same_v<T, float>) y = static_cast<double>(static_cast<float>(y));
    const double e = std::fabs(y - d);
    k[i] = ki;
    k_lo = ki < k_lo ? ki : k_lo;
    k_hi = ki > k_hi ? ki : k_hi;
    e_max = e > e_max ? e : e_max;
    x_lo = d < x_lo ? d : x_lo;
    x_hi = d > x_hi ? d : x_hi;
    y_lo = y < y_lo ? y : y_lo;
    y_hi = y > y_hi ? y : y_hi;
    sum_sq += e * e;
    sum_x2 += d * d;
    y_sum += y;
  }
  if (bad != 0) return false;
  out = {k_lo, k_hi, e_max, x_lo, x_hi, y_lo, y_hi, sum_sq, sum_x2, y_sum};
  return true;
}

// Compiled for AVX2 beside the baseline: the same operations per sample.
QUILLMERE_INTEGER_CLONES
bool finite_stretch(const float* x, std::size_t n, const IntegerGrid& grid, std::int64_t* k,
                    StretchExtremes& out) noexcept {
  return finite_stretch_in(x, n, grid, k, out);
}
QUILLMERE_INTEGER_CLONES
bool finite_stretch(const double* x, std::size_t n, const IntegerGrid& grid, std::int64_t* k,
                    StretchExtremes& out) noexcept {
  return finite_stretch_in(x, n, grid, k, out);
}

// Integers of every sample (a non-finite one repeats the integer before it,
// which costs the predictors nothing) and the measures of the reconstruction.
template <class T>
GridSamples on_grid_of(std::span<const T> x, const IntegerGrid& grid) {
  GridSamples g;
  g.k.resize(x.size());
  std::int64_t previous = 0;
  double max_abs = 0.0, sum_sq = 0.0, sum_x2 = 0.0;
  double x_lo = kInf, x_hi = -kInf;
  g.y_lo = kInf;
  g.y_hi = -kInf;
  bool started = false;
  // After the first finite sample, a stretch of finite ones takes the
  // branch-free path (finite_stretch, which adds the sums in the samples'
  // order, as the per-sample pass adds them, so every measure is the same).
  // Elsewhere the quotients of a stretch come first, in a loop of their own
  // that runs the divisions side by side; the rest of the pass keeps its
  // order.
  constexpr std::size_t kStretch = 512;
  std::array<double, kStretch> quotients;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (i % kStretch == 0) {
      const std::size_t len = std::min(kStretch, x.size() - i);
      StretchExtremes r;
      r.sum_sq = sum_sq;
      r.sum_x2 = sum_x2;
      r.y_sum = g.y_sum;
      if (started && finite_stretch(x.data() + i, len, grid, g.k.data() + i, r)) {
        g.k_lo = std::min(g.k_lo, r.k_lo);
        g.k_hi = std::max(g.k_hi, r.k_hi);
        max_abs = std::max(max_abs, r.e_max);
        x_lo = std::min(x_lo, r.x_lo);
        x_hi = std::max(x_hi, r.x_hi);
        g.y_lo = std::min(g.y_lo, r.y_lo);
        g.y_hi = std::max(g.y_hi, r.y_hi);
        sum_sq = r.sum_sq;
        sum_x2 = r.sum_x2;
        g.y_sum = r.y_sum;
        g.finite += len;
        previous = g.k[i + len - 1];
        i += len - 1;
        continue;
      }
      quotients_of(x.subspan(i, len), grid, quotients.data());
    }
    if (!std::isfinite(x[i])) {
      g.k[i] = previous;
      continue;
    }
    const double v = static_cast<double>(x[i]);
    const auto k = static_cast<std::int64_t>(round_to_nearest(quotients[i % kStretch]));
    g.k[i] = previous = k;
    if (!started) {
      // Earlier non-finite samples take the first integer, as in a fill.
      std::fill(g.k.begin(), g.k.begin() + static_cast<std::ptrdiff_t>(i), k);
      g.k_lo = g.k_hi = k;
      started = true;
    }
    g.k_lo = std::min(g.k_lo, k);
    g.k_hi = std::max(g.k_hi, k);
    // The reader's reconstruction, narrowed as it narrows a float32 source.
    double y = grid.offset + grid.step * static_cast<double>(k);
    if constexpr (std::is_same_v<T, float>) y = static_cast<double>(static_cast<float>(y));
    const double e = std::fabs(y - v);
    max_abs = std::max(max_abs, e);
    sum_sq += e * e;
    sum_x2 += v * v;
    x_lo = std::min(x_lo, v);
    x_hi = std::max(x_hi, v);
    g.y_lo = std::min(g.y_lo, y);
    g.y_hi = std::max(g.y_hi, y);
    g.y_sum += y;
    ++g.finite;
  }
  UnitReport& m = g.measures;
  m.measured = true;
  if (g.finite == 0) {
    g.y_lo = g.y_hi = 0.0;
    return g;
  }
  if (sum_sq != sum_sq) sum_sq = kInf;
  m.max_error = max_abs;
  m.rmse = std::sqrt(sum_sq / static_cast<double>(g.finite));
  m.prd = sum_x2 == 0.0 ? (sum_sq == 0.0 ? 0.0 : kInf) : 100.0 * std::sqrt(sum_sq / sum_x2);
  const double range = x_hi - x_lo;
  m.psnr = m.rmse == 0.0 ? kInf : range == 0.0 ? -kInf : 20.0 * std::log10(range / m.rmse);
  return g;
}

}  // namespace

GridSamples on_grid(std::span<const float> x, const IntegerGrid& grid) { return on_grid_of(x, grid); }
GridSamples on_grid(std::span<const double> x, const IntegerGrid& grid) { return on_grid_of(x, grid); }

}  // namespace quillmere_tools
