// What one lifting scheme brings to LiftingDwtExecutor: its two lengths and
// its kernels. Everything else, the length rules included, is shared.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "lifting_steps.hpp"
#include "multi_level.hpp"
#include "output.hpp"

namespace wavelet::detail {

struct LiftingScheme {
  std::size_t minimum_input;  // the shortest level input accepted
  std::size_t filter_length;
  LevelKernels kernels;
};

// The coefficient counts of a level of n samples, for n below the minimum
// those of the minimum: exactly the counts an inverse level accepts.
inline DwtSize lifting_size(std::size_t n, std::size_t minimum) noexcept {
  const LevelShape sh = shape_of(std::max(n, minimum));
  return {sh.A, sh.D};
}

// The length checks of an inverse level, in their fixed order: an output of
// A + D samples, for which lifting_size gives A and D.
TransformResult<void> check_lifting_inverse(std::size_t minimum, std::size_t approximation,
                                            std::size_t details, std::size_t output) noexcept;

// How a lifting scheme's hot kernels are called: one whole level of sh.n
// samples, lengths already checked.
using LiftingForward = void(const float* x, Output s, Output d, const LevelShape& sh) noexcept;
using LiftingInverse = void(const float* s, const float* d, Output y,
                            const LevelShape& sh) noexcept;

// The LevelKernels of a scheme with at least kMinimum samples a level.
template <std::size_t kMinimum, LiftingForward* kForward, LiftingInverse* kInverse>
constexpr LevelKernels lifting_kernels(decltype(LevelKernels::inverse_pairs) pairs) noexcept {
  return {
      [](const IncompleteDwtExecutor&, std::span<const float> x, Output s, Output d) noexcept {
        kForward(x.data(), s, d, shape_of(x.size()));
      },
      [](std::size_t a, std::size_t d, std::size_t m) noexcept {
        return check_lifting_inverse(kMinimum, a, d, m);
      },
      [](const IncompleteDwtExecutor&, std::span<const float> s, std::span<const float> d,
         Output y) noexcept { kInverse(s.data(), d.data(), y, shape_of(s.size() + d.size())); },
      pairs,
  };
}

}  // namespace wavelet::detail
