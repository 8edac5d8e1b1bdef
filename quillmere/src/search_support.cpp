#include "search_support.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

namespace quillmere::search {
namespace {

struct Sums {
  double max_abs = 0.0;
  double sum_sq = 0.0;
  double sum_x2 = 0.0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  std::size_t count = 0;

  void add(double x, double r) {
    const double e = x - r;
    const double a = std::fabs(e);
    // A NaN reconstruction must count as the worst error, not vanish.
    max_abs = (a > max_abs || a != a) ? (a != a ? std::numeric_limits<double>::infinity() : a)
                                      : max_abs;
    sum_sq += e * e;
    sum_x2 += x * x;
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
    ++count;
  }

  Distortion finish() const {
    Distortion d;
    if (count == 0) return d;
    d.max_error = max_abs;
    d.rmse = std::sqrt(sum_sq / static_cast<double>(count));
    if (sum_x2 == 0.0) {
      d.prd = sum_sq == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
    } else {
      d.prd = 100.0 * std::sqrt(sum_sq / sum_x2);
    }
    const double range = hi - lo;
    if (d.rmse == 0.0) {
      d.psnr = std::numeric_limits<double>::infinity();
    } else if (range == 0.0) {
      d.psnr = -std::numeric_limits<double>::infinity();
    } else {
      d.psnr = 20.0 * std::log10(range / d.rmse);
    }
    return d;
  }
};

}  // namespace

Distortion distortion_of(const Originals& originals, std::span<const float> decoded) {
  Sums s;
  if (originals.is_double()) {
    const auto x = originals.f64();
    const double offset = originals.offset();
    for (std::size_t i = 0; i < decoded.size(); ++i) {
      if (std::isfinite(x[i])) s.add(x[i], static_cast<double>(decoded[i]) + offset);
    }
  } else {
    const auto x = originals.f32();
    for (std::size_t i = 0; i < decoded.size(); ++i) {
      if (std::isfinite(x[i])) s.add(x[i], decoded[i]);
    }
  }
  return s.finish();
}

Distortion distortion_of(const Originals& originals, std::span<const double> reconstructed) {
  Sums s;
  for (std::size_t i = 0; i < reconstructed.size(); ++i) {
    const double x = originals.is_double() ? originals.f64()[i] : originals.f32()[i];
    if (std::isfinite(x)) s.add(x, reconstructed[i]);
  }
  return s.finish();
}

double estimate_payload_bytes(const stages::QuantisedBands& q) {
  // Magnitudes below 16 are their own class; larger ones share a class per
  // bit length and pay their lower bits raw, as an adaptive binary coder
  // roughly does; a nonzero value pays one bit of sign.
  constexpr std::size_t kDirect = 16;
  constexpr std::size_t kClasses = kDirect + 17;
  double bits = 0.0;
  for (const auto band : q.bands()) {
    std::array<std::uint32_t, kClasses> hist{};
    double raw = 0.0;
    for (const std::int16_t v : band) {
      const std::uint32_t mag = static_cast<std::uint32_t>(v < 0 ? -std::int32_t{v} : v);
      if (mag < kDirect) {
        ++hist[mag];
      } else {
        const int width = std::bit_width(mag);
        ++hist[kDirect + static_cast<std::size_t>(width)];
        raw += width - 1;
      }
      raw += mag != 0;
    }
    const double n = static_cast<double>(band.size());
    double h = 0.0;
    for (const std::uint32_t c : hist) {
      if (c) h -= c * std::log2(c / n);
    }
    bits += h + raw;
  }
  return bits / 8.0;
}

double excess(const Distortion& d, const Bounds& b, bool peak) {
  double worst = 0.0;
  const auto ratio = [&](double got, double want) {
    worst = std::max(worst, got / want);
    if (got != got) worst = std::numeric_limits<double>::infinity();
  };
  if (peak && b.max_error) ratio(d.max_error, *b.max_error);
  if (b.rmse) ratio(d.rmse, *b.rmse);
  if (b.prd) ratio(d.prd, *b.prd);
  // A PSNR floor is an RMSE ceiling: 10^((want - got) / 20) is rmse / allowed.
  if (b.psnr) ratio(std::pow(10.0, (*b.psnr - d.psnr) / 20.0), 1.0);
  return worst;
}

}  // namespace quillmere::search
