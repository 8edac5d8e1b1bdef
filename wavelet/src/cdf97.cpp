// CDF 9/7: two predict/update pairs and a scaling, with the published
// lifting constants held to f32.
#include <algorithm>

#include "buffers.hpp"
#include "kernel_dispatch.hpp"
#include "lifting_steps.hpp"
#include "multi_level.hpp"
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

WAVELET_HOT_KERNEL void forward(const float* x, Output s_out, Output d_out,
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

WAVELET_HOT_KERNEL void inverse(const float* s, const float* d, Output y,
                                const LevelShape& sh) noexcept {
  // Unscaling swaps the gains; then the steps in reverse with negated constants.
  static constexpr float kSteps[2][2] = {{-kDelta, -kGamma}, {-kBeta, -kAlpha}};
  detail::inverse_blocks<true>(s, d, y, sh, kScaleDetails, kScaleApprox, kSteps);
}

TransformResult<void> check_inverse(std::size_t a, std::size_t d, std::size_t m) noexcept {
  if (m != a + d) return std::unexpected(TransformError::output_size_mismatch(a + d, m));
  const std::size_t want_a = std::max<std::size_t>(m / 2 + m % 2, 2);
  if (a != want_a) return std::unexpected(TransformError::approximate_size_mismatch(a, want_a));
  const std::size_t want_d = std::max<std::size_t>(m / 2, 2);
  if (d != want_d) return std::unexpected(TransformError::details_size_mismatch(d, want_d));
  // What passes has m >= 4, a = ceil(m/2) and d = floor(m/2).
  return {};
}

void forward_level(const IncompleteDwtExecutor&, std::span<const float> x, Output s,
                   Output d) noexcept {
  forward(x.data(), s, d, detail::shape_of(x.size()));
}

void inverse_level(const IncompleteDwtExecutor&, std::span<const float> s, std::span<const float> d,
                   Output y) noexcept {
  inverse(s.data(), d.data(), y, detail::shape_of(s.size() + d.size()));
}

constexpr detail::LevelKernels kKernels{forward_level, check_inverse, inverse_level};
constexpr detail::LevelRules kRules{detail::LevelStyle::Lifting, Cdf97::kMinimumInput, &kKernels};

}  // namespace

TransformResult<void> Cdf97::execute_forward(std::span<const float> input,
                                             std::span<float> approximation,
                                             std::span<float> details) const noexcept {
  const auto sh =
      detail::check_split(input.size(), kMinimumInput, approximation.size(), details.size());
  if (!sh) return std::unexpected(sh.error());
  forward(input.data(), Output(approximation), Output(details), *sh);
  return {};
}

TransformResult<void> Cdf97::execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximation,
                                                          std::span<float> details,
                                                          std::span<float>) const noexcept {
  return execute_forward(input, approximation, details);
}

std::size_t Cdf97::required_scratch_size(std::size_t) const noexcept { return 0; }

DwtSize Cdf97::dwt_size(std::size_t n) const noexcept {
  return {std::max<std::size_t>(n / 2 + n % 2, 2), std::max<std::size_t>(n / 2, 2)};
}

TransformResult<void> Cdf97::execute_inverse(std::span<const float> approximation,
                                             std::span<const float> details,
                                             std::span<float> output) const noexcept {
  if (auto fits = check_inverse(approximation.size(), details.size(), output.size()); !fits)
    return fits;
  inverse_level(*this, approximation, details, Output(output));
  return {};
}

std::size_t Cdf97::idwt_size(std::size_t a, std::size_t d) const noexcept {
  return std::max<std::size_t>(detail::saturating_add(a, d), 4);
}

std::size_t Cdf97::filter_length() const noexcept { return 10; }

TransformResult<Dwt> Cdf97::dwt(std::span<const float> signal, std::size_t level) const noexcept {
  return detail::dwt(*this, kRules, signal, level);
}

TransformResult<MultiDwt> Cdf97::multi_dwt(std::span<const float> signal,
                                           std::size_t levels) const noexcept {
  return detail::multi_dwt(*this, kRules, signal, levels);
}

TransformResult<std::vector<float>> Cdf97::idwt(std::span<const float> approximation,
                                                std::span<const float> details) const noexcept {
  return detail::idwt(*this, kRules, approximation, details);
}

TransformResult<std::vector<float>> Cdf97::multi_idwt(
    std::span<const std::span<const float>> details,
    std::span<const float> approximation) const noexcept {
  return detail::multi_idwt(*this, kRules, details, approximation);
}

}  // namespace wavelet
