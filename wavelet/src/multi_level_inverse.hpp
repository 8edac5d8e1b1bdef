// The three ways multi_idwt rebuilds a signal, each in a file of its own;
// multi_idwt (multi_level.cpp) picks one. All three give the same values:
// they differ in the memory they take and the order they report errors in.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "multi_level.hpp"

namespace wavelet::detail {

// One idwt per level, coarsest first, each into a fresh buffer: the
// reference order of checks, for lengths that do not fit together, so the
// error arises at the level that says so.
TransformResult<std::vector<float>> multi_idwt_level_by_level(
    const IncompleteDwtExecutor& kernel, LevelRules rules,
    std::span<const std::span<const float>> details,
    std::span<const float> approximation) noexcept;

struct InversePlan {
  std::size_t output = 0;  // length of the finest level, the result
  // Longest level rebuilt in each buffer. Consistent layouts shrink towards
  // the coarse end, but lengths recomputed from a too-short signal can grow
  // there (the 8-tap dwt_size of 0 is 3, of 3 is 5), so the buffers are
  // sized for their longest level, not for the result.
  std::size_t output_capacity = 0;
  std::size_t scratch = 0;
};

// The buffer lengths multi_idwt_in_two_buffers needs; nullopt where the
// lengths of the levels cannot fit together.
std::optional<InversePlan> plan_inverse(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                        std::span<const std::span<const float>> details,
                                        std::span<const float> approximation) noexcept;

// Level after level, alternating between the result and one scratch
// buffer. Lengths that passed plan_inverse, which gave `plan`.
TransformResult<std::vector<float>> multi_idwt_in_two_buffers(
    const IncompleteDwtExecutor& kernel, LevelRules rules,
    std::span<const std::span<const float>> details, std::span<const float> approximation,
    const InversePlan& plan) noexcept;

// All levels together, block by block, the coarser ones in small windows.
// Lifting kernels with inverse_pairs only; at most kDeepestPossible levels,
// whose lengths passed plan_inverse; output_length is the plan's.
TransformResult<std::vector<float>> multi_idwt_streamed(
    const LevelKernels& kernels, std::span<const std::span<const float>> details,
    std::span<const float> approximation, std::size_t output_length) noexcept;

}  // namespace wavelet::detail
