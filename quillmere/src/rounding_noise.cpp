#include "rounding_noise.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <span>

namespace quillmere::search {
namespace {

// Bands longer than this are read at every kStride-th coefficient: the
// histogram steers a search within a grid step or two, and a quarter of a
// speech signal's coefficients places it as well as all of them.
constexpr std::size_t kDenseUpTo = 4096;
constexpr std::size_t kStride = 4;
// Halvings of the log2 interval in multiplier_for: 2^-40 of the interval.
constexpr int kHalvings = 40;

}  // namespace

int magnitude_class(float magnitude) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(magnitude) & 0x7fffffffu;
  return static_cast<int>(bits >> (23 - RoundingNoise::kMantissaBits));
}

double class_lower_edge(int k) noexcept {
  const int exponent = k / RoundingNoise::kSubBins;
  const int sub = k % RoundingNoise::kSubBins;
  // Exponent 0 holds the subnormals, which start at zero.
  if (exponent == 0) return sub == 0 ? 0.0 : std::ldexp(static_cast<double>(sub) / RoundingNoise::kSubBins, -126);
  return std::ldexp(1.0 + static_cast<double>(sub) / RoundingNoise::kSubBins, exponent - 127);
}

void RoundingNoise::Histogram::add(std::span<const float> band) {
  // Counts and squares per class first, totals below each class after.
  std::array<double, kBins> count{};
  std::array<double, kBins> sq{};
  const std::size_t stride = band.size() > kDenseUpTo ? kStride : 1;
  const auto weight = static_cast<double>(stride);
  for (std::size_t i = 0; i < band.size(); i += stride) {
    const int k = magnitude_class(band[i]);
    // Infinities and NaNs (exponent 255) say nothing about rounding.
    if (k >= 255 * kSubBins) continue;
    const double v = band[i];
    count[static_cast<std::size_t>(k)] += weight;
    sq[static_cast<std::size_t>(k)] += weight * v * v;
  }
  double c = 0.0, q = 0.0;
  for (std::size_t k = 0; k < kBins; ++k) {
    below_count[k] += c;
    below_sq[k] += q;
    c += count[k];
    q += sq[k];
  }
  below_count[kBins] += c;
  below_sq[kBins] += q;
}

double RoundingNoise::Histogram::squared_error(double m, double zero_below) const {
  const double step = 1.0 / m;
  const double t = zero_below * step;
  const int k = std::clamp(magnitude_class(static_cast<float>(std::min(t, 3.0e38))), 0, kBins - 1);
  const auto i = static_cast<std::size_t>(k);
  // The class holding t is split in proportion to where t lies in it.
  const double lo = class_lower_edge(k);
  const double hi = class_lower_edge(k + 1);
  const double f = hi > lo ? std::clamp((t - lo) / (hi - lo), 0.0, 1.0) : 0.0;
  const double zeroed_sq = below_sq[i] + f * (below_sq[i + 1] - below_sq[i]);
  const double zeroed = below_count[i] + f * (below_count[i + 1] - below_count[i]);
  return zeroed_sq + (below_count[kBins] - zeroed) * step * step / 12.0;
}

RoundingNoise::RoundingNoise(const stages::Decomposition& d) : h_(std::make_unique<Histograms>()) {
  for (const auto& band : d.details) h_->details.add(band);
  if (!d.approximation.empty()) h_->approximation.add(d.approximation.back());
  counted_ = h_->details.below_count[kBins] + h_->approximation.below_count[kBins];
}

double RoundingNoise::squared_error(double m, double zero_below) const {
  if (!usable() || !(m > 0.0)) return 0.0;
  return h_->details.squared_error(m, zero_below) + h_->approximation.squared_error(m, 0.5);
}

double RoundingNoise::multiplier_for(double target, double zero_below, double lo, double hi) const {
  double a = std::log2(lo), b = std::log2(hi);
  if (squared_error(lo, zero_below) <= target) return lo;
  if (squared_error(hi, zero_below) > target) return hi;
  for (int k = 0; k < kHalvings; ++k) {
    const double mid = 0.5 * (a + b);
    (squared_error(std::exp2(mid), zero_below) > target ? a : b) = mid;
  }
  return std::exp2(b);
}

}  // namespace quillmere::search
