// CDF 9/7: two predict/update pairs and a scaling, with the published
// lifting constants held to f32.
#include <algorithm>

#include "kernel_dispatch.hpp"
#include "lanes.hpp"
#include "lifting_scheme.hpp"
#include "lifting_steps.hpp"
#include "wavelet/lifting.hpp"

namespace wavelet {
namespace {

using detail::LevelShape;
using detail::Output;
using detail::Step;

constexpr float kAlpha = -1.5861343f;
constexpr float kBeta = -0.052980117f;
constexpr float kGamma = 0.88291109f;
constexpr float kDelta = 0.44350687f;
// Approximation and details gains; their product is 1, and a constant c
// comes out of the forward level as about sqrt(2) * c.
constexpr float kScaleApprox = 1.1496044f;
constexpr float kScaleDetails = 0.86986446f;

constexpr float kForwardSteps[2][2] = {{kAlpha, kBeta}, {kGamma, kDelta}};
// Unscaling swaps the gains; then the steps in reverse with negated constants.
constexpr float kInverseSteps[2][2] = {{-kDelta, -kGamma}, {-kBeta, -kAlpha}};

// The step pipeline over whole blocks, for levels too short for the fused
// loops below.
inline void forward_blocks(const float* x, Output s_out, Output d_out,
                           const LevelShape& sh) noexcept {
  float* const s = s_out.data();
  float* const d = d_out.data();
  Step predict1{}, update1{}, predict2{}, update2{}, scale_details{};
  for (std::size_t target = detail::kLiftBlock;; target += detail::kLiftBlock) {
    const std::size_t p1 = predict1.advance(std::min(target, sh.D), [&](auto lo, auto hi) {
      d_out.reach(hi);
      detail::predict_from_signal(x, d, lo, hi, sh, kAlpha);
    });
    // s[i] = x[2i] followed by the first update is the update read straight
    // from x: the same single rounding per value.
    const std::size_t u1 = update1.advance(detail::update_frontier(p1, sh), [&](auto lo, auto hi) {
      s_out.reach(hi);
      detail::update_from_signal(x, s, d, lo, hi, sh, kBeta);
    });
    const std::size_t p2 = predict2.advance(
        detail::predict_frontier(u1, sh),
        [&](auto lo, auto hi) { detail::predict_in_place(s, d, lo, hi, 0, sh, kGamma); });
    // Nothing reads s after the second update, so it is scaled at once; the
    // details are scaled only when both updates that read them are done.
    const std::size_t u2 = update2.advance(detail::update_frontier(p2, sh), [&](auto lo, auto hi) {
      detail::update_in_place<true>(s, d, lo, hi, 0, sh, kDelta, kScaleApprox);
    });
    const std::size_t sd = scale_details.advance(
        detail::predict_frontier(u2, sh),
        [&](auto lo, auto hi) { detail::scale_in_place(d, lo, hi, kScaleDetails); });
    if (sd == sh.D) return;
  }
}

#if WAVELET_HAS_LANES
using detail::kLanes;
using detail::Lanes;

// Levels from this many details on take the fused loops; shorter ones
// have no interior worth a loop.
constexpr std::size_t kFusedMinimum = 64;

// Rows the fused loops write between two growths of their outputs.
constexpr std::size_t kGrowRows = 256;

// How many rows ahead the fused loops ask for their inputs. The loops are
// dense enough that the hardware's own prefetching falls behind once the
// inputs come from memory: a large inverse level waits on its details.
constexpr std::size_t kPrefetchAhead = 256;

// Every step in one pass with the rows in registers: the step pipeline
// stores and reloads each intermediate row from L1 and splits x three
// times. Each lane evaluates the same expression as the steps, so the
// values are bit-identical. The second step pair works two rounds behind
// the first, on rows the previous round finished, so that a round holds
// two short chains of dependent operations instead of one long one that
// the processor cannot overlap with the next round.
//
// Final s[i] and d[i] for i in [lo, hi), an interior stretch: lo >= 8,
// hi + 24 <= D, hi - lo a multiple of 8; no value it uses comes from a
// border substitution. A round splits x rows [q, q+8) and finishes rows
// [q-24, q-16); the first three rounds only fill the registers.
inline void forward_fused(const float* x, Output s_out, Output d_out, std::size_t lo,
                          std::size_t hi) noexcept {
  float* const s = s_out.data();
  float* const d = d_out.data();
  const Lanes alpha = detail::splat(kAlpha), beta = detail::splat(kBeta);
  const Lanes gamma = detail::splat(kGamma), delta = detail::splat(kDelta);
  const Lanes scale_s = detail::splat(kScaleApprox), scale_d = detail::splat(kScaleDetails);
  Lanes even_1, odd_1;  // rows [q-8, q)
  detail::load_split(x + 2 * (lo - kLanes), even_1, odd_1);
  Lanes d1_1{}, d1_2{}, s1_1{}, s1_2{}, d2_1{};  // _k: rows [q-8k-8, q-8k)
  auto round = [&](std::size_t q, bool finish) {
    __builtin_prefetch(x + 2 * q + 2 * kPrefetchAhead);
    Lanes even, odd;
    detail::load_split(x + 2 * q, even, odd);
    // Rows [q-8, q).
    const Lanes d1 = odd_1 + (even_1 + detail::next_rows(even_1, even)) * alpha;
    const Lanes s1 = even_1 + beta * (detail::previous_rows(d1_1, d1) + d1);
    // Rows [q-24, q-16).
    const Lanes d2 = d1_2 + (s1_2 + detail::next_rows(s1_2, s1_1)) * gamma;
    const Lanes s2 = (s1_2 + delta * (detail::previous_rows(d2_1, d2) + d2)) * scale_s;
    if (finish) {
      detail::store(s + q - 3 * kLanes, s2);
      detail::store(d + q - 3 * kLanes, d2 * scale_d);
    }
    even_1 = even;
    odd_1 = odd;
    d1_2 = d1_1;
    d1_1 = d1;
    s1_2 = s1_1;
    s1_1 = s1;
    d2_1 = d2;
  };
  round(lo, false);
  round(lo + kLanes, false);
  round(lo + 2 * kLanes, false);
  // The outputs grow just ahead of the rows written (see Output), so a
  // zeroed line is still in L1 when its rows overwrite it. Zeroing far
  // ahead lets the lines leave the cache in between once the outputs no
  // longer fit there, and every value then goes out to memory twice.
  for (std::size_t b = lo; b < hi;) {
    const std::size_t e = std::min(b + kGrowRows, hi);
    s_out.reach(e);
    d_out.reach(e);
    for (std::size_t q = b + 3 * kLanes; q < e + 3 * kLanes; q += kLanes) round(q, true);
    b = e;
  }
}

// Output pairs [lo, hi) of an interior stretch: lo >= 16, hi + 24 <= D,
// hi - lo a multiple of 8. Approximation value g is at s[g - s_org] and
// output sample j goes to y[j - y_org]; the loop reads approximations
// [lo - 8, hi + 24) and details [lo - 16, hi + 24). A round loads rows
// [q, q+8) and writes the output pairs [q-24, q-16), its second step pair
// two rounds behind the first as in forward_fused; the first four rounds
// only fill the registers.
inline void inverse_fused(const float* s, std::size_t s_org, const float* d, Output y_out,
                          std::size_t y_org, std::size_t lo, std::size_t hi) noexcept {
  float* const y = y_out.data();
  const Lanes delta = detail::splat(-kDelta), gamma = detail::splat(-kGamma);
  const Lanes beta = detail::splat(-kBeta), alpha = detail::splat(-kAlpha);
  const Lanes scale_s = detail::splat(kScaleDetails), scale_d = detail::splat(kScaleApprox);
  const std::size_t first = lo - kLanes;
  Lanes d2_1 = detail::load(d + first - kLanes) * scale_d;  // _k: rows [q-8k, q-8k+8)
  Lanes s1_1{}, s1_2{}, d1_1{}, d1_2{}, even_2{};
  auto round = [&](std::size_t q, bool finish) {
    // Only the details: the approximations mostly come from a coarser
    // level's window in cache, and asking for them too measured slower.
    __builtin_prefetch(d + q + kPrefetchAhead);
    const Lanes s2 = detail::load(s + (q - s_org)) * scale_s;
    const Lanes d2 = detail::load(d + q) * scale_d;
    // The details one row back, unscaled again rather than shifted across
    // registers: the same product, and loads are cheaper than shuffles.
    const Lanes d2_back = detail::load(d + q - 1) * scale_d;
    // Rows [q, q+8), then [q-8, q).
    const Lanes s1 = s2 + delta * (d2_back + d2);
    const Lanes d1 = d2_1 + (s1_1 + detail::next_rows(s1_1, s1)) * gamma;
    // Rows [q-16, q-8), then [q-24, q-16).
    const Lanes even = s1_2 + beta * (detail::previous_rows(d1_2, d1_1) + d1_1);
    const Lanes odd = d1_2 + (even_2 + detail::next_rows(even_2, even)) * alpha;
    if (finish) detail::store_interleaved(y + (2 * (q - 3 * kLanes) - y_org), even_2, odd);
    d2_1 = d2;
    s1_2 = s1_1;
    s1_1 = s1;
    d1_2 = d1_1;
    d1_1 = d1;
    even_2 = even;
  };
  for (std::size_t q = first; q < first + 4 * kLanes; q += kLanes) round(q, false);
  for (std::size_t b = lo; b < hi;) {
    const std::size_t e = std::min(b + kGrowRows / 2, hi);
    y_out.reach(2 * e - y_org);
    for (std::size_t q = b + 3 * kLanes; q < e + 3 * kLanes; q += kLanes) round(q, true);
    b = e;
  }
}
#endif

// Output pairs [first, last) of a level, the interior through the fused
// loop and the stretches near the borders through windows of the steps.
inline void inverse_span(const float* s, std::size_t s_org, const float* d, Output y,
                         std::size_t y_org, const LevelShape& sh, std::size_t first,
                         std::size_t last) noexcept {
  // Windows of the steps over [b, e), the output grown to cover them first.
  auto windows = [&](std::size_t b, std::size_t e) {
    if (b == e) return;
    y.reach((e == sh.A ? sh.n : 2 * e) - y_org);
    detail::inverse_range<true>(s, s_org, d, y.data(), y_org, sh, b, e, kScaleDetails,
                                kScaleApprox, kInverseSteps);
  };
#if WAVELET_HAS_LANES
  if (sh.D >= kFusedMinimum) {
    constexpr std::size_t kFrom = 2 * kLanes;
    const std::size_t to = kFrom + (sh.D - 3 * kLanes - kFrom) / kLanes * kLanes;
    const std::size_t lo = std::clamp(first, kFrom, to);
    const std::size_t hi = lo + (std::clamp(last, kFrom, to) - lo) / kLanes * kLanes;
    if (hi > lo) {
      windows(first, lo);
      inverse_fused(s, s_org, d, y, y_org, lo, hi);
      windows(hi, last);
      return;
    }
  }
#endif
  windows(first, last);
}

WAVELET_HOT_KERNEL void forward(const float* x, Output s_out, Output d_out,
                                const LevelShape& sh) noexcept {
#if WAVELET_HAS_LANES
  if (sh.D >= kFusedMinimum) {
    float* const s = s_out.data();
    float* const d = d_out.data();
    constexpr std::size_t kFrom = kLanes;
    const std::size_t to = kFrom + (sh.D - 3 * kLanes - kFrom) / kLanes * kLanes;
    s_out.reach(kFrom);
    d_out.reach(kFrom);
    detail::forward_range<true>(x, s, d, sh, 0, kFrom, kScaleApprox, kScaleDetails,
                                kForwardSteps);
    forward_fused(x, s_out, d_out, kFrom, to);
    s_out.reach(sh.A);
    d_out.reach(sh.D);
    detail::forward_range<true>(x, s, d, sh, to, sh.A, kScaleApprox, kScaleDetails,
                                kForwardSteps);
    return;
  }
#endif
  forward_blocks(x, s_out, d_out, sh);
}

WAVELET_HOT_KERNEL void inverse(const float* s, const float* d, Output y,
                                const LevelShape& sh) noexcept {
  inverse_span(s, 0, d, y, 0, sh, 0, sh.A);
}

WAVELET_HOT_KERNEL void inverse_pairs(const float* s, std::size_t s_org, const float* d, Output y,
                                      std::size_t y_org, std::size_t n, std::size_t first,
                                      std::size_t last) noexcept {
  inverse_span(s, s_org, d, y, y_org, detail::shape_of(n), first, last);
}

constexpr detail::LiftingScheme kScheme{
    Cdf97::kMinimumInput, 10,
    detail::lifting_kernels<Cdf97::kMinimumInput, forward, inverse>(inverse_pairs)};

}  // namespace

const detail::LiftingScheme& Cdf97::scheme() const noexcept { return kScheme; }

}  // namespace wavelet
