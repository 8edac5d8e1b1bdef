#include "quillmere_tools/integer_prediction.hpp"

#include <algorithm>
#include <array>
#include <cmath>

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

void fixed_residuals(std::span<const std::int64_t> x, int order, IntegerRange range,
                     std::span<std::int64_t> residuals) noexcept {
  for (std::size_t i = static_cast<std::size_t>(order); i < x.size(); ++i) {
    residuals[i - static_cast<std::size_t>(order)] = x[i] - fixed_prediction(x.data(), i, order, range);
  }
}

void lpc_residuals(std::span<const std::int64_t> x, const LpcModel& model, IntegerRange range,
                   std::span<std::int64_t> residuals) noexcept {
  const std::size_t order = model.coefs.size();
  const std::int32_t* c = model.coefs.data();
  const std::int64_t* s = x.data();
  for (std::size_t i = order; i < x.size(); ++i) {
    std::int64_t sum = 0;
    for (std::size_t j = 0; j < order; ++j) sum += std::int64_t{c[j]} * s[i - 1 - j];
    residuals[i - order] = s[i] - range.clamp(sum >> model.shift);
  }
}

std::vector<LpcModel> lpc_candidates(std::span<const std::int64_t> x, std::size_t how_many) {
  const std::size_t n = x.size();
  const int max_order = static_cast<int>(std::min<std::size_t>(kMaxLpcOrder, n / 4));
  if (max_order < 1 || how_many == 0) return {};

  // Welch window: tapers the block's ends without a transcendental function.
  std::vector<double> w(n);
  const double middle = 0.5 * static_cast<double>(n - 1);
  const double half = 0.5 * static_cast<double>(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = (static_cast<double>(i) - middle) / half;
    w[i] = static_cast<double>(x[i]) * (1.0 - t * t);
  }
  // Every lag's sum runs over i in increasing order, as a plain loop per lag
  // would; with the lags inside, their sums are independent and run side by
  // side.
  std::array<double, kMaxLpcOrder + 1> r{};
  const auto lags = static_cast<std::size_t>(max_order);
  for (std::size_t i = 0; i < n; ++i) {
    const double wi = w[i];
    const std::size_t top = std::min(i, lags);
    for (std::size_t lag = 0; lag <= top; ++lag) r[lag] += wi * w[i - lag];
  }
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
  std::vector<LpcModel> out;
  for (std::size_t i = 0; i < ranked.size() && out.size() < how_many; ++i) {
    out.push_back(quantise(per_order[static_cast<std::size_t>(ranked[i].second)], kMaxLpcPrecision));
  }
  return out;
}

}  // namespace quillmere_tools
