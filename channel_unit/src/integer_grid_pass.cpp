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
// the measures and the header need.
struct StretchExtremes {
  std::int64_t k_lo, k_hi;
  double e_max, x_lo, x_hi, y_lo, y_hi;
  // The measures' sums, carried on from those of the samples before.
  double sum_sq, sum_x2, y_sum;
};

// The greatest error and the least and greatest sample and reconstruction
// of a stretch (none of them NaN), in one pass: four lanes of their own for
// each, met at the end. Exact, and the same values in any order, since the
// grid pass makes no negative zero (its y are offset + step * k with a
// positive step, and |errors| and samples only feed differences). The
// measures' sums in the same pass, one sample after another in the
// samples' order, as the per-sample pass adds them: each is a chain of
// dependent additions, which the extremes' work runs beside.
[[gnu::always_inline]] inline void stretch_extremes(const double* e, const double* v, const double* y, std::size_t n,
                             StretchExtremes& out) noexcept {
  using Quad = double __attribute__((vector_size(32)));
  Quad e_hi4 = Quad{} + out.e_max;
  Quad x_lo4 = Quad{} + out.x_lo, x_hi4 = Quad{} + out.x_hi;
  Quad y_lo4 = Quad{} + out.y_lo, y_hi4 = Quad{} + out.y_hi;
  double sum_sq = out.sum_sq, sum_x2 = out.sum_x2, y_sum = out.y_sum;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Quad de, dv, dy;
    std::memcpy(&de, e + i, sizeof de);
    std::memcpy(&dv, v + i, sizeof dv);
    std::memcpy(&dy, y + i, sizeof dy);
    e_hi4 = de > e_hi4 ? de : e_hi4;
    x_lo4 = dv < x_lo4 ? dv : x_lo4;
    x_hi4 = dv > x_hi4 ? dv : x_hi4;
    y_lo4 = dy < y_lo4 ? dy : y_lo4;
    y_hi4 = dy > y_hi4 ? dy : y_hi4;
    const Quad ee = de * de, vv = dv * dv;
    for (int j = 0; j < 4; ++j) {
      sum_sq += ee[j];
      sum_x2 += vv[j];
      y_sum += dy[j];
    }
  }
  for (std::size_t t = i; t < n; ++t) {
    sum_sq += e[t] * e[t];
    sum_x2 += v[t] * v[t];
    y_sum += y[t];
  }
  out.sum_sq = sum_sq;
  out.sum_x2 = sum_x2;
  out.y_sum = y_sum;
  const auto meet = [&](const double* at, Quad lo4, Quad hi4, double& lo, double& hi) {
    for (int j = 0; j < 4; ++j) {
      lo = lo4[j] < lo ? lo4[j] : lo;
      hi = hi4[j] > hi ? hi4[j] : hi;
    }
    for (std::size_t t = i; t < n; ++t) {
      lo = at[t] < lo ? at[t] : lo;
      hi = at[t] > hi ? at[t] : hi;
    }
  };
  double e_lo = 0.0;
  meet(e, Quad{} + e_lo, e_hi4, e_lo, out.e_max);
  meet(v, x_lo4, x_hi4, out.x_lo, out.x_hi);
  meet(y, y_lo4, y_hi4, out.y_lo, out.y_hi);
}

// A stretch of finite samples whose quotients all lie below 2^51 (checked
// here; false leaves the stretch to the per-sample pass, which writes every
// integer again): their integers, reconstructions and errors in loops
// without a branch, which run the samples side by side. The integer is the
// bits of q + 1.5 * 2^52 less those of 1.5 * 2^52, the same value
// round_to_nearest's addition gives. The check, the integers' extremes and
// the rest share one pass, and the extremes of the doubles another: each
// pass over the stretch reloads what the last one stored.
template <class T>
[[gnu::always_inline]] inline bool finite_stretch_in(const T* x, const double* q, std::size_t n, const IntegerGrid& grid,
                              std::int64_t* k, double* v, double* y, double* e, StretchExtremes& out) noexcept {
  constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
  constexpr double kExactBelow = 2251799813685248.0;  // 2^51
  const auto largest = static_cast<double>(std::numeric_limits<T>::max());
  const auto magic_bits = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(kMagic));
  const double offset = grid.offset, step = grid.step;
  std::uint32_t bad = 0;
  std::int64_t k_lo = std::numeric_limits<std::int64_t>::max(), k_hi = std::numeric_limits<std::int64_t>::min();
  for (std::size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(x[i]);
    bad |= static_cast<std::uint32_t>(!(std::fabs(d) <= largest) | !(std::fabs(q[i]) < kExactBelow));
    const double rounded = q[i] + kMagic;
    const std::int64_t ki = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(rounded)) - magic_bits;
    double yi = offset + step * (rounded - kMagic);
    if constexpr (std::is_same_v<T, float>) yi = static_cast<double>(static_cast<float>(yi));
    k[i] = ki;
    v[i] = d;
    y[i] = yi;
    e[i] = std::fabs(yi - d);
    k_lo = ki < k_lo ? ki : k_lo;
    k_hi = ki > k_hi ? ki : k_hi;
  }
  if (bad != 0) return false;
  out.k_lo = k_lo;
  out.k_hi = k_hi;
  out.e_max = 0.0;
  out.x_lo = out.y_lo = kInf;
  out.x_hi = out.y_hi = -kInf;
  stretch_extremes(e, v, y, n, out);
  return true;
}

// Compiled for AVX2 beside the baseline: the same operations per sample.
QUILLMERE_INTEGER_CLONES
bool finite_stretch(const float* x, const double* q, std::size_t n, const IntegerGrid& grid, std::int64_t* k,
                    double* v, double* y, double* e, StretchExtremes& out) noexcept {
  return finite_stretch_in(x, q, n, grid, k, v, y, e, out);
}
QUILLMERE_INTEGER_CLONES
bool finite_stretch(const double* x, const double* q, std::size_t n, const IntegerGrid& grid, std::int64_t* k,
                    double* v, double* y, double* e, StretchExtremes& out) noexcept {
  return finite_stretch_in(x, q, n, grid, k, v, y, e, out);
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
  // The quotients of a stretch first, in a loop of their own that runs the
  // divisions side by side; the rest of the pass keeps its order.
  constexpr std::size_t kStretch = 512;
  std::array<double, kStretch> quotients, vs, ys, es;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (i % kStretch == 0) {
      const std::size_t len = std::min(kStretch, x.size() - i);
      quotients_of(x.subspan(i, len), grid, quotients.data());
      // After the first finite sample, a stretch of finite ones takes the
      // branch-free path; its sums are added here in the samples' order, as
      // the per-sample pass adds them, so every measure is the same.
      StretchExtremes r;
      r.sum_sq = sum_sq;
      r.sum_x2 = sum_x2;
      r.y_sum = g.y_sum;
      if (started && finite_stretch(x.data() + i, quotients.data(), len, grid, g.k.data() + i, vs.data(),
                                    ys.data(), es.data(), r)) {
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
