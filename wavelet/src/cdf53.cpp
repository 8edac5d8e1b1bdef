// CDF 5/3 (LeGall): one predict and one update, no scaling, so a constant
// signal keeps its value in the approximation.
#include <algorithm>

#include "kernel_dispatch.hpp"
#include "lifting_scheme.hpp"
#include "lifting_steps.hpp"
#include "wavelet/lifting.hpp"

namespace wavelet {
namespace {

using detail::LevelShape;
using detail::Output;
using detail::Step;

constexpr float kPredict = -0.5f;
constexpr float kUpdate = 0.25f;

WAVELET_HOT_KERNEL void forward(const float* x, Output s_out, Output d_out,
                                const LevelShape& sh) noexcept {
  float* const s = s_out.data();
  float* const d = d_out.data();
  Step predict{}, update{};
  for (std::size_t target = detail::kLiftBlock;; target += detail::kLiftBlock) {
    const std::size_t p = predict.advance(std::min(target, sh.D), [&](auto lo, auto hi) {
      d_out.reach(hi);
      detail::predict_from_signal(x, d, lo, hi, sh, kPredict);
    });
    const std::size_t u = update.advance(detail::update_frontier(p, sh), [&](auto lo, auto hi) {
      s_out.reach(hi);
      detail::update_from_signal(x, s, d, lo, hi, sh, kUpdate);
    });
    if (u == sh.A) return;
  }
}

constexpr float kInverseSteps[1][2] = {{-kUpdate, -kPredict}};

WAVELET_HOT_KERNEL void inverse(const float* s, const float* d, Output y,
                                const LevelShape& sh) noexcept {
  detail::inverse_blocks<false>(s, d, y, sh, 1.0f, 1.0f, kInverseSteps);
}

// No streamed inverse (no inverse_pairs). Streaming saves writing every
// coarser level out and reading it back, and pays for that with the
// windows' copies and many short kernel calls; one cheap step pair does too
// little arithmetic per sample for the saving to outweigh that: level after
// level measured as fast, on fresh memory too. Re-measure with
// wavelet_bench before adding one.
constexpr detail::LiftingScheme kScheme{
    Cdf53::kMinimumInput, 6,
    detail::lifting_kernels<Cdf53::kMinimumInput, forward, inverse>(nullptr)};

}  // namespace

const detail::LiftingScheme& Cdf53::scheme() const noexcept { return kScheme; }

}  // namespace wavelet
