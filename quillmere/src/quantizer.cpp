#include "quantizer.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "vector_clones.hpp"
#include "wide_clones.hpp"
#include "wavelet_choice.hpp"

namespace quillmere {
std::size_t filter_length(Method method) { return make_executor(method)->filter_length(); }

// Each level halves the approximation, so floor(log2(n / f)) levels leave
// it at least one filter length f long: deeper, the filter would wrap
// around a band shorter than itself. Eight levels already put 255/256 of
// the samples in detail bands; more gains little. Below 80 samples the
// quotient is too small to steer by, and a step of 20 samples per level is
// used instead. These numbers decide the level byte of every container, so
// they are kept exactly, including the step back from 4 levels at 79
// samples to 3 at 80 with Cdf97.
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

namespace {

// Work on v2 = 2v, which is exact. With t2 = trunc(v2), rounding half away
// from zero is (t2 + sign(t2)) / 2 in truncating integer division:
// floor(v + 1/2) = floor((floor(2v) + 1) / 2) for v >= 0, mirrored below 0.
// Clamping before rounding matches clamping after, since both limits are
// integers, and keeps the conversion in range; NaN fails `v2 < limit` and
// takes the upper limit. No calls and no branches, so loops over it stay in
// vector registers.
inline std::int32_t rounded(float v2) noexcept {
  const float hi = v2 < 65534.0f ? v2 : 65534.0f;
  const float w2 = hi > -65536.0f ? hi : -65536.0f;
  const auto t2 = static_cast<std::int32_t>(w2);
  return (t2 + ((t2 >> 31) | 1)) / 2;
}

}  // namespace

QUILLMERE_WIDE_CLONES
std::size_t quantise(std::span<const float> coefficients, float multiplier,
                     std::span<std::int16_t> out) noexcept {
  // Bands are under 2^32 long, so the counter cannot wrap.
  const std::size_t n = coefficients.size();
  const float* c = coefficients.data();
  std::int16_t* q = out.data();
  std::uint32_t inside = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const float v = c[i] * multiplier;
    const float v2 = v + v;
    inside += (v2 < 65535.0f) & (v2 > -65537.0f);  // round(v) within [-32768, 32767]
    q[i] = static_cast<std::int16_t>(rounded(v2));
  }
  return n - inside;
}

QUILLMERE_WIDE_CLONES
BandRange quantise_band(std::span<const float> coefficients, float multiplier,
                        std::uint16_t threshold, std::span<std::int16_t> out) noexcept {
  // Sixteen independent lanes keep the range off one compare chain.
  constexpr std::size_t kLanes = 16;
  float lo[kLanes], hi[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    lo[j] = std::numeric_limits<float>::infinity();
    hi[j] = -std::numeric_limits<float>::infinity();
  }
  const std::int32_t t = threshold;
  const float* c = coefficients.data();
  std::int16_t* q = out.data();
  const auto one = [&](std::size_t i, std::size_t j) {
    const float x = c[i];
    lo[j] = x < lo[j] ? x : lo[j];
    hi[j] = x > hi[j] ? x : hi[j];
    const float v = x * multiplier;
    const std::int32_t r = rounded(v + v);
    const std::int32_t mag = r < 0 ? -r : r;
    q[i] = static_cast<std::int16_t>(mag < t ? 0 : r);
  };
  const std::size_t n = coefficients.size();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) one(i + j, j);
  }
  for (std::size_t j = 0; i < n; ++i, ++j) one(i, j);
  BandRange range{lo[0], hi[0]};
  for (std::size_t j = 1; j < kLanes; ++j) {
    range.lo = lo[j] < range.lo ? lo[j] : range.lo;
    range.hi = hi[j] > range.hi ? hi[j] : range.hi;
  }
  return range;
}

namespace {

// One value of quantise_stepping_down from its coefficient and its
// neighbours': selects only, so that the loop runs in vector lanes. A
// neighbour counts as nonzero where |c| >= 1/(2m), about where plain
// rounding makes it nonzero, so no value depends on another's choice.
inline std::int16_t stepped(float before, float here, float after, float m, float half_step,
                            const StepDownLimits& l) noexcept {
  const float v = here * m;
  const float a = std::fabs(v);
  const std::int32_t r = rounded(v + v);
  const bool p = std::fabs(before) >= half_step, x = std::fabs(after) >= half_step;
  const float if_zero_before = x ? l.one[0][1] : l.one[0][0];
  const float if_nonzero_before = x ? l.one[1][1] : l.one[1][0];
  const float one = p ? if_nonzero_before : if_zero_before;
  const std::int32_t mag = r < 0 ? -r : r;
  float limit = 0.0f;
  limit = mag == 1 ? one : limit;
  limit = mag == 2 ? l.two : limit;
  limit = mag == 3 ? l.three : limit;
  const std::int32_t lower = a < limit ? 1 : 0;
  return static_cast<std::int16_t>(r - lower * ((r >> 31) | 1));
}

}  // namespace

QUILLMERE_VECTOR_CLONES
void quantise_stepping_down(std::span<const float> coefficients, float multiplier,
                            const StepDownLimits& limits, std::span<std::int16_t> out) noexcept {
  const std::size_t n = coefficients.size();
  if (n == 0) return;
  const float* c = coefficients.data();
  std::int16_t* q = out.data();
  const StepDownLimits l = limits;  // a local copy the loop keeps in registers
  const float m = multiplier;
  const float half_step = 0.5f / m;
  if (n == 1) {
    q[0] = stepped(0.0f, c[0], 0.0f, m, half_step, l);
    return;
  }
  q[0] = stepped(0.0f, c[0], c[1], m, half_step, l);
  for (std::size_t i = 1; i + 1 < n; ++i) q[i] = stepped(c[i - 1], c[i], c[i + 1], m, half_step, l);
  q[n - 1] = stepped(c[n - 2], c[n - 1], 0.0f, m, half_step, l);
}

std::uint16_t dead_zone_threshold(std::uint8_t scale, Cutoff cutoff) noexcept {
  // Coarser quantisation (a smaller scale) leaves fewer small values worth
  // zeroing. The table covers scales kMinScale to kMaxScale - 1; the top
  // scale and any byte outside the range take 3.
  static constexpr std::uint16_t kBase[kMaxScale - kMinScale] = {0, 0, 1, 1, 2, 2};
  const std::uint16_t base =
      (scale >= kMinScale && scale < kMaxScale) ? kBase[scale - kMinScale] : std::uint16_t{3};
  std::uint16_t factor = 1;  // Low, and any value outside the enumeration
  if (cutoff == Cutoff::High) factor = 7;
  if (cutoff == Cutoff::Medium) factor = 3;
  return static_cast<std::uint16_t>(base * factor);
}

QUILLMERE_VECTOR_CLONES
void apply_dead_zone(std::span<std::int16_t> details, std::uint16_t threshold) noexcept {
  if (threshold <= 1) return;  // |q| < 1 only holds for q = 0 already
  const std::int32_t t = threshold;
  for (auto& q : details) {
    const std::int32_t v = q;
    const std::int32_t mag = v < 0 ? -v : v;
    q = mag < t ? std::int16_t{0} : q;
  }
}

QUILLMERE_WIDE_CLONES
void dequantise(std::span<const std::int16_t> quantised, float multiplier,
                std::span<float> out) noexcept {
  const float r = 1.0f / multiplier;
  const std::size_t n = quantised.size();
  const std::int16_t* q = quantised.data();
  float* o = out.data();
  for (std::size_t i = 0; i < n; ++i) o[i] = r * static_cast<float>(q[i]);
}

}  // namespace quillmere
