#include "quillmere/quantizer.hpp"

#include <bit>

#include "quillmere/wavelet_choice.hpp"

namespace quillmere {
std::size_t filter_length(Method method) { return make_executor(method)->filter_length(); }

std::uint8_t pick_levels(std::size_t n, Method method) {
  if (n < 20) return 1;
  if (n < 40) return 2;
  if (n < 60) return 3;
  if (n < 80) return 4;
  const std::size_t q = n / filter_length(method);
  if (q == 0) return 1;
  const auto log2q = static_cast<std::size_t>(std::bit_width(q) - 1);
  if (log2q < 1) return 1;
  return static_cast<std::uint8_t>(log2q > 8 ? 8 : log2q);
}

std::size_t quantise(std::span<const float> coefficients, float multiplier,
                     std::span<std::int16_t> out) noexcept {
  // Clamping before rounding gives the same result as rounding first because
  // both limits are integers; it also keeps the int conversion in range. The
  // fractional part v - trunc(v) is exact for |v| < 2^24, so the half-away
  // rounding below is exact, and the loop has no calls or branches.
  std::size_t saturated = 0;
  const std::size_t n = coefficients.size();
  const float* c = coefficients.data();
  std::int16_t* q = out.data();
  for (std::size_t i = 0; i < n; ++i) {
    float v = c[i] * multiplier;
    saturated += !(v < 32767.5f && v > -32768.5f);
    v = v <= 32767.0f ? v : 32767.0f;  // NaN takes the upper limit here
    v = v >= -32768.0f ? v : -32768.0f;
    const auto t = static_cast<std::int32_t>(v);
    const float frac = v - static_cast<float>(t);
    const std::int32_t r = t + (frac >= 0.5f) - (frac <= -0.5f);
    q[i] = static_cast<std::int16_t>(r > 32767 ? 32767 : r);
  }
  return saturated;
}

std::uint16_t dead_zone_threshold(std::uint8_t scale, Cutoff cutoff) noexcept {
  static constexpr std::uint16_t kBase[6] = {0, 0, 1, 1, 2, 2};  // scales 6..11
  const std::uint16_t base = (scale >= 6 && scale <= 11) ? kBase[scale - 6] : std::uint16_t{3};
  std::uint16_t factor = 1;
  if (static_cast<std::uint8_t>(cutoff) == 2) factor = 7;
  if (static_cast<std::uint8_t>(cutoff) == 1) factor = 3;
  return static_cast<std::uint16_t>(base * factor);
}

void apply_dead_zone(std::span<std::int16_t> details, std::uint16_t threshold) noexcept {
  if (threshold <= 1) return;  // |q| < 1 only holds for q = 0 already
  const std::int32_t t = threshold;
  for (auto& q : details) {
    const std::int32_t v = q;
    const std::int32_t mag = v < 0 ? -v : v;
    q = mag < t ? std::int16_t{0} : q;
  }
}

void dequantise(std::span<const std::int16_t> quantised, float multiplier,
                std::span<float> out) noexcept {
  const float r = 1.0f / multiplier;
  const std::size_t n = quantised.size();
  const std::int16_t* q = quantised.data();
  float* o = out.data();
  for (std::size_t i = 0; i < n; ++i) o[i] = r * static_cast<float>(q[i]);
}

}  // namespace quillmere
