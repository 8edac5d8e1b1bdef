#include "quillmere_tools/integer_prediction.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "integer_arithmetic.hpp"
#include "integer_stream_format.hpp"

namespace quillmere_tools {
namespace {

// A base-2 logarithm good enough to rank models, from frexp alone (exact on
// every machine, unlike a library log2 that may differ in its last bit).
double rough_log2(double v) noexcept {
  if (!(v > 0.0)) return -1100.0;
  int exponent = 0;
  const double mantissa = std::frexp(v, &exponent);  // in [0.5, 1)
  return static_cast<double>(exponent) + 2.0 * mantissa - 2.0;
}

// Coefficients quantised to `precision` signed bits and one right shift,
// each carrying the previous one's rounding error forward.
LpcModel quantise(std::span<const double> lpc, int precision) {
  LpcModel model;
  model.precision = precision;
  double largest = 0.0;
  for (double c : lpc) largest = std::max(largest, std::fabs(c));
  int exponent = 0;
  std::frexp(largest, &exponent);  // largest < 2^exponent
  model.shift = std::clamp(precision - 1 - exponent, 0, kMaxLpcShift);
  const double scale = std::ldexp(1.0, model.shift);
  const std::int64_t top = (std::int64_t{1} << (precision - 1)) - 1;
  double carried = 0.0;
  model.coefs.resize(lpc.size());
  for (std::size_t j = 0; j < lpc.size(); ++j) {
    const double wanted = lpc[j] * scale + carried;
    const auto q = static_cast<std::int64_t>(std::floor(wanted + 0.5));
    const std::int64_t kept = std::clamp(q, -top - 1, top);
    carried = wanted - static_cast<double>(kept);
    model.coefs[j] = static_cast<std::int32_t>(kept);
  }
  return model;
}

}  // namespace

std::int64_t fixed_prediction(const std::int64_t* x, std::size_t i, int order, IntegerRange range) noexcept {
  std::int64_t p = 0;
  switch (order) {
    case 0: return 0;
    case 1: p = x[i - 1]; break;
    case 2: p = 2 * x[i - 1] - x[i - 2]; break;
    case 3: p = 3 * x[i - 1] - 3 * x[i - 2] + x[i - 3]; break;
    default: p = 4 * x[i - 1] - 6 * x[i - 2] + 4 * x[i - 3] - x[i - 4]; break;
  }
  return range.clamp(p);
}

std::int64_t lpc_prediction(const std::int64_t* x, std::size_t i, const LpcModel& model,
                            IntegerRange range) noexcept {
  std::int64_t sum = 0;
  const std::size_t order = model.coefs.size();
  for (std::size_t j = 0; j < order; ++j) sum += std::int64_t{model.coefs[j]} * x[i - 1 - j];
  return range.clamp(sum >> model.shift);
}

namespace {

// One order's residuals with the order known to the compiler, so that the
// loop runs over samples side by side.
template <int kOrder>
inline void fixed_residuals_of(const std::int64_t* x, std::size_t n, IntegerRange range,
                               std::int64_t* residuals) noexcept {
  for (std::size_t i = kOrder; i < n; ++i) {
    std::int64_t p = 0;
    if constexpr (kOrder == 1) p = x[i - 1];
    if constexpr (kOrder == 2) p = 2 * x[i - 1] - x[i - 2];
    if constexpr (kOrder == 3) p = 3 * x[i - 1] - 3 * x[i - 2] + x[i - 3];
    if constexpr (kOrder == 4) p = 4 * x[i - 1] - 6 * x[i - 2] + 4 * x[i - 3] - x[i - 4];
    // Order 0 predicts zero, unclamped, as fixed_prediction does.
    if constexpr (kOrder > 0) p = p < range.lo ? range.lo : p > range.hi ? range.hi : p;
    residuals[i - kOrder] = x[i] - p;
  }
}

}  // namespace

QUILLMERE_INTEGER_CLONES
void fixed_residuals(std::span<const std::int64_t> x, int order, IntegerRange range,
                     std::span<std::int64_t> residuals) noexcept {
  const std::int64_t* s = x.data();
  std::int64_t* r = residuals.data();
  switch (order) {
    case 0: fixed_residuals_of<0>(s, x.size(), range, r); break;
    case 1: fixed_residuals_of<1>(s, x.size(), range, r); break;
    case 2: fixed_residuals_of<2>(s, x.size(), range, r); break;
    case 3: fixed_residuals_of<3>(s, x.size(), range, r); break;
    default: fixed_residuals_of<4>(s, x.size(), range, r); break;
  }
}

namespace {

// Integers within 33 bits as doubles, by adding each to the bits of
// 1.5 * 2^52 and subtracting that (exact below 2^51): the same values as a
// plain conversion, which does not run side by side without AVX-512.
inline void exact_doubles(std::span<const std::int64_t> x, double* out) noexcept {
  constexpr double kMagic = 6755399441055744.0;
  const auto magic_bits = std::bit_cast<std::uint64_t>(kMagic);
  const std::int64_t* in = x.data();
  for (std::size_t i = 0; i < x.size(); ++i) {
    out[i] = std::bit_cast<double>(magic_bits + static_cast<std::uint64_t>(in[i])) - kMagic;
  }
}

// The block's samples tapered by a Welch window, compiled for AVX2 beside
// the baseline. The window's factors depend on the length alone: each
// thread keeps those of the last length (every whole block's), so the
// division per sample runs once per length, not once per block; the
// factors and products are the same values either way.
QUILLMERE_INTEGER_CLONES
void welch_window(std::span<const std::int64_t> x, double* w) {
  const std::size_t n = x.size();
  thread_local std::vector<double> factors;
  if (factors.size() != n) {
    factors.resize(n);
    const double middle = 0.5 * static_cast<double>(n - 1);
    const double half = 0.5 * static_cast<double>(n + 1);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = (static_cast<double>(i) - middle) / half;
      factors[i] = 1.0 - t * t;
    }
  }
  exact_doubles(x, w);
  const double* f = factors.data();
  for (std::size_t i = 0; i < n; ++i) w[i] = w[i] * f[i];
}

}  // namespace

// The predictions in doubles, sixteen samples at a time in four vectors of
// four, each coefficient's products added in turn while the sums stay in
// registers: a coefficient (15 bits) times a sample within 33 bits, and the
// sum of 32 such products, stay below 2^53, so every partial sum is an exact
// integer whatever the order of the additions and the total equals
// lpc_prediction's. The shift and clamp in doubles too, which run side by
// side where int64 shifts and conversions do not: sum * 2^-shift is exact,
// and clamping it to the width's integer bounds before taking its floor
// gives the floor clamped (the bounds are integers); within 33 bits, the
// floor is its rounding to nearest by the addition of 1.5 * 2^52, less one
// where that rounded up, and the bits of that sum less those of 1.5 * 2^52
// are the prediction as an integer: lpc_prediction's arithmetic shift and
// clamp.
namespace {

using Quad = double __attribute__((vector_size(32)));
using Words = std::int64_t __attribute__((vector_size(32)));
constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52

inline std::int64_t clamped_floor(double sum, double scale, double lo, double hi) noexcept {
  const auto magic_bits = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(kMagic));
  double p = std::floor(sum * scale);
  p = p < lo ? lo : p;
  p = p > hi ? hi : p;
  return static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(p + kMagic)) - magic_bits;
}

__attribute__((always_inline)) inline void lpc_residuals_in(const double* samples, const std::int64_t* later, std::size_t order,
                             std::size_t count, const LpcModel& model, IntegerRange range,
                             std::int64_t* r) noexcept {
  constexpr std::size_t kWide = 16;
  const std::int32_t* coefs = model.coefs.data();
  const double scale = std::ldexp(1.0, -model.shift);
  const auto lo = static_cast<double>(range.lo), hi = static_cast<double>(range.hi);
  const Quad scale4 = Quad{} + scale, lo4 = Quad{} + lo, hi4 = Quad{} + hi, magic4 = Quad{} + kMagic;
  const Quad one4 = Quad{} + 1.0;
  const Words magic_bits4 = Words{} + static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(kMagic));
  std::size_t i = 0;
  for (; i + kWide <= count; i += kWide) {
    Quad acc[4] = {};
    for (std::size_t j = 0; j < order; ++j) {
      const Quad c = Quad{} + static_cast<double>(coefs[j]);
      const double* s = samples + (order - 1 - j) + i;
      for (int v = 0; v < 4; ++v) {
        Quad lagged;
        std::memcpy(&lagged, s + 4 * v, sizeof lagged);
        acc[v] += c * lagged;
      }
    }
    for (int v = 0; v < 4; ++v) {
      Quad p = acc[v] * scale4;
      p = p < lo4 ? lo4 : p;
      p = p > hi4 ? hi4 : p;
      Quad nearest = (p + magic4) - magic4;
      nearest = nearest > p ? nearest - one4 : nearest;
      const Words prediction = reinterpret_cast<Words>(nearest + magic4) - magic_bits4;
      Words x4;
      std::memcpy(&x4, later + i + 4 * static_cast<std::size_t>(v), sizeof x4);
      const Words residual = x4 - prediction;
      std::memcpy(r + i + 4 * static_cast<std::size_t>(v), &residual, sizeof residual);
    }
  }
  for (; i < count; ++i) {
    double t = 0.0;
    for (std::size_t j = 0; j < order; ++j) t += static_cast<double>(coefs[j]) * samples[order - 1 - j + i];
    r[i] = later[i] - clamped_floor(t, scale, lo, hi);
  }
}

}  // namespace

QUILLMERE_INTEGER_CLONES
void lpc_residuals(std::span<const std::int64_t> x, const LpcModel& model, IntegerRange range,
                   std::span<std::int64_t> residuals) {
  const std::size_t order = model.coefs.size();
  const std::size_t n = x.size();
  if (n <= order) return;
  // Kept from call to call on each thread: a block's worth, allocated once.
  thread_local std::vector<double> samples;
  samples.resize(n);
  exact_doubles(x, samples.data());
  lpc_residuals_in(samples.data(), x.data() + order, order, n - order, model, range, residuals.data());
}

// The fixed orders' residual sums in doubles, so that the loop runs over
// samples side by side: samples within 33 bits, predictions before their
// clamp (at most 15 times a sample) within 37, zig-zagged residuals within
// 34 and their sum over a block of 2^16 samples within 2^50 are all exact
// integers, whatever the order of the additions. A sample becomes a double by adding it to the bits of
// 1.5 * 2^52 and subtracting that (exact below 2^51), which vectorises
// where the plain conversion does not.
QUILLMERE_INTEGER_CLONES
void fixed_residual_sums(std::span<const std::int64_t> x, IntegerRange range,
                         std::span<std::uint64_t, kMaxFixedOrder + 1> sums) noexcept {
  for (std::uint64_t& s : sums) s = 0;
  const std::size_t n = x.size();
  const std::int64_t* s = x.data();
  // The first samples, where only the lower orders have their history.
  std::size_t i = 1;
  for (; i < n && i < static_cast<std::size_t>(kMaxFixedOrder); ++i) {
    for (int order = 1; order <= static_cast<int>(i); ++order) {
      sums[static_cast<std::size_t>(order)] += integer_format::zigzag(s[i] - fixed_prediction(s, i, order, range));
    }
  }
  // Four samples a step, each lane summing its own: exact, so the lanes'
  // totals add up to the same sums.
  using Quad = double __attribute__((vector_size(32)));
  using Words = std::uint64_t __attribute__((vector_size(32)));
  constexpr double kMagic = 6755399441055744.0;
  const Words magic_bits = Words{} + std::bit_cast<std::uint64_t>(kMagic);
  const Quad magic = Quad{} + kMagic;
  const Quad zero = Quad{}, minus_one = zero - 1.0, two = zero + 2.0, three = zero + 3.0, four = zero + 4.0,
             six = zero + 6.0;
  const Quad lo = zero + static_cast<double>(range.lo), hi = zero + static_cast<double>(range.hi);
  Quad q1 = zero, q2 = zero, q3 = zero, q4 = zero;
  Quad h[5];  // the samples at i - 4 .. i, as doubles
  for (; i + 4 <= n; i += 4) {
    for (int back = 0; back <= 4; ++back) {
      Words w;
      std::memcpy(&w, s + i - static_cast<std::size_t>(back), sizeof w);
      h[back] = reinterpret_cast<Quad>(w + magic_bits) - magic;
    }
    const Quad v = h[0], a = h[1], b = h[2], c = h[3], d = h[4];
    Quad p[4] = {a, two * a - b, three * a - three * b + c, four * a - six * b + four * c - d};
    Quad z[4];
    for (int m = 0; m < 4; ++m) {
      p[m] = p[m] < lo ? lo : p[m];
      p[m] = p[m] > hi ? hi : p[m];
      // The zig-zag value 2|r| - (r < 0) is the larger of 2r and -2r - 1
      // (r = +0 gives +0, never -0), in three operations.
      const Quad r = v - p[m];
      const Quad twice = r + r;
      const Quad folded = minus_one - twice;
      z[m] = twice > folded ? twice : folded;
    }
    q1 += z[0];
    q2 += z[1];
    q3 += z[2];
    q4 += z[3];
  }
  double s1 = q1[0] + q1[1] + q1[2] + q1[3], s2 = q2[0] + q2[1] + q2[2] + q2[3];
  double s3 = q3[0] + q3[1] + q3[2] + q3[3], s4 = q4[0] + q4[1] + q4[2] + q4[3];
  for (; i < n; ++i) {
    for (int order = 1; order <= kMaxFixedOrder; ++order) {
      const std::uint64_t z = integer_format::zigzag(s[i] - fixed_prediction(s, i, order, range));
      (order == 1 ? s1 : order == 2 ? s2 : order == 3 ? s3 : s4) += static_cast<double>(z);
    }
  }
  sums[1] += static_cast<std::uint64_t>(s1);
  sums[2] += static_cast<std::uint64_t>(s2);
  sums[3] += static_cast<std::uint64_t>(s3);
  sums[4] += static_cast<std::uint64_t>(s4);
}

namespace {

// r[lag] for lag in [first, first + 4 * kVectors): each lag's sum runs over
// i in increasing order, as a plain loop per lag would, the lags side by
// side. `reversed` holds the windowed samples last first, then zeros, so
// that w[i - lag] for the group's lags lies ascending at n - 1 - i + lag,
// and is zero where i < lag (adding a zero product leaves a sum as it was:
// a sum that starts at +0 never becomes -0).
using Quad = double __attribute__((vector_size(32)));

template <int kVectors>
void lag_group(const double* w, const double* reversed, std::size_t n, std::size_t first, double* r) noexcept {
  Quad acc[kVectors];
  for (int v = 0; v < kVectors; ++v) acc[v] = Quad{0.0, 0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w[i];
    const Quad scale = {wi, wi, wi, wi};
    const double* at = reversed + (n - 1 - i + first);
    for (int v = 0; v < kVectors; ++v) {
      Quad lagged;
      std::memcpy(&lagged, at + 4 * v, sizeof lagged);
      acc[v] += scale * lagged;
    }
  }
  for (int v = 0; v < kVectors; ++v) std::memcpy(r + first + 4 * static_cast<std::size_t>(v), &acc[v], sizeof(Quad));
}

QUILLMERE_INTEGER_CLONES
void autocorrelation(const double* w, std::size_t n, std::size_t lags, double* r) {
  constexpr std::size_t kWide = 16;
  // Room for whole groups past the last lag, read as zeros.
  std::vector<double> reversed(n + lags + kWide, 0.0);
  for (std::size_t i = 0; i < n; ++i) reversed[n - 1 - i] = w[i];
  std::size_t first = 0;
  for (; first + kWide <= lags + 1; first += kWide) lag_group<4>(w, reversed.data(), n, first, r);
  // More than two groups of four left (a low order's 9 to 16 lags): one wide
  // pass over the block rather than three or four narrow ones. Each lag's
  // sum runs in the same order either way.
  const std::size_t left = lags + 1 - first;
  if (left > 12) {
    lag_group<4>(w, reversed.data(), n, first, r);
    return;
  }
  if (left > 8) {
    lag_group<3>(w, reversed.data(), n, first, r);
    return;
  }
  for (; first <= lags; first += 4) lag_group<1>(w, reversed.data(), n, first, r);
}

}  // namespace

std::vector<LpcModel> lpc_candidates(std::span<const std::int64_t> x, std::size_t how_many, int highest,
                                     LpcOutlook* outlook) {
  const std::size_t n = x.size();
  const int max_order = static_cast<int>(
      std::min<std::size_t>(static_cast<std::size_t>(std::clamp(highest, 0, kMaxLpcOrder)), n / 4));
  if (max_order < 1 || how_many == 0) return {};

  // Welch window: tapers the block's ends without a transcendental function.
  thread_local std::vector<double> w;
  w.resize(n);
  welch_window(x, w.data());
  // Room for the last group of lags, which may pass max_order.
  std::array<double, kMaxLpcOrder + 16> r{};
  autocorrelation(w.data(), n, static_cast<std::size_t>(max_order), r.data());
  if (!(r[0] > 0.0)) return {};

  // Levinson-Durbin: the coefficients and the expected error at every order.
  std::vector<std::vector<double>> per_order(static_cast<std::size_t>(max_order) + 1);
  std::array<double, kMaxLpcOrder + 1> error{};
  std::vector<double> a(static_cast<std::size_t>(max_order) + 1, 0.0), next(a.size(), 0.0);
  double e = r[0];
  int reached = 0;
  for (int m = 1; m <= max_order; ++m) {
    double acc = r[static_cast<std::size_t>(m)];
    for (int j = 1; j < m; ++j) acc -= a[static_cast<std::size_t>(j)] * r[static_cast<std::size_t>(m - j)];
    const double k = acc / e;
    if (!std::isfinite(k) || std::fabs(k) >= 1.0) break;
    next = a;
    next[static_cast<std::size_t>(m)] = k;
    for (int j = 1; j < m; ++j) {
      next[static_cast<std::size_t>(j)] = a[static_cast<std::size_t>(j)] - k * a[static_cast<std::size_t>(m - j)];
    }
    a.swap(next);
    e *= 1.0 - k * k;
    if (!(e > 0.0)) break;
    per_order[static_cast<std::size_t>(m)].assign(a.begin() + 1, a.begin() + m + 1);
    error[static_cast<std::size_t>(m)] = e;
    reached = m;
  }
  if (reached == 0) return {};

  // Expected bits of each order: residual bits plus the coefficients'.
  std::vector<std::pair<double, int>> ranked;
  const double samples = static_cast<double>(n);
  for (int m = 1; m <= reached; ++m) {
    const double residual_bits =
        0.5 * rough_log2(error[static_cast<std::size_t>(m)] / r[0]) * samples;
    ranked.emplace_back(residual_bits + static_cast<double>(m * kMaxLpcPrecision), m);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& p, const auto& q) { return p.first < q.first; });
  if (outlook && max_order >= kMaxFixedOrder) {
    outlook->lpc_share = error[static_cast<std::size_t>(ranked.front().second)] / r[0];
    const double s1 = 2.0 * r[0] - 2.0 * r[1];
    const double s2 = 6.0 * r[0] - 8.0 * r[1] + 2.0 * r[2];
    const double s3 = 20.0 * r[0] - 30.0 * r[1] + 12.0 * r[2] - 2.0 * r[3];
    const double s4 = 70.0 * r[0] - 112.0 * r[1] + 56.0 * r[2] - 16.0 * r[3] + 2.0 * r[4];
    outlook->fixed_share = std::min({s1, s2, s3, s4}) / r[0];
    outlook->known = true;
  }
  std::vector<LpcModel> out;
  for (std::size_t i = 0; i < ranked.size() && out.size() < how_many; ++i) {
    out.push_back(quantise(per_order[static_cast<std::size_t>(ranked[i].second)], kMaxLpcPrecision));
  }
  return out;
}

}  // namespace quillmere_tools
