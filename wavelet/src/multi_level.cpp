#include "multi_level.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "buffers.hpp"
#include "multi_level_inverse.hpp"

namespace wavelet::detail {
namespace {

TransformResult<Dwt> one_level(const IncompleteDwtExecutor& kernel, LevelRules rules,
                               std::span<const float> input) noexcept {
  const DwtSize size = kernel.dwt_size(input.size());
  if (rules.kernels != nullptr && input.size() >= rules.level_minimum) {
    auto approximation = reserved_floats(size.approximation, true);
    if (!approximation) return std::unexpected(approximation.error());
    auto details = reserved_floats(size.details, true);
    if (!details) return std::unexpected(details.error());
    rules.kernels->forward(kernel, input, Output(*approximation), Output(*details));
    return Dwt{std::move(*approximation), std::move(*details)};
  }
  auto approximation = zeroed_floats(size.approximation);
  if (!approximation) return std::unexpected(approximation.error());
  auto details = zeroed_floats(size.details);
  if (!details) return std::unexpected(details.error());
  if (auto done = kernel.execute_forward(input, *approximation, *details); !done) {
    return std::unexpected(done.error());
  }
  return Dwt{std::move(*approximation), std::move(*details)};
}

}  // namespace

TransformResult<MultiDwt> multi_dwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                    std::span<const float> signal, std::size_t levels) noexcept {
  if (rules.style == LevelStyle::Lifting && signal.size() < rules.level_minimum) {
    return std::unexpected(TransformError::level_too_deep());
  }
  // Reserving the deepest possible count keeps the level records from
  // moving while they are built.
  MultiDwt out;
  const std::size_t slots = std::clamp<std::size_t>(levels, 1, kDeepestPossible);
  try {
    out.levels.reserve(slots);
  } catch (const std::bad_alloc&) {
    return std::unexpected(TransformError::allocation_failed(slots * sizeof(Dwt)));
  }

  if (levels <= 1) {
    // A single level leaves the length check to the kernel, so a short
    // signal reports the kernel's own InputTooShort.
    auto level = one_level(kernel, rules, signal);
    if (!level) return std::unexpected(level.error());
    out.levels.push_back(std::move(*level));
    return out;
  }

  // Each level reads the previous level's approximation where it lies: the
  // kernel never writes its input, so no working copy is needed.
  std::span<const float> input = signal;
  for (std::size_t k = 0; k < levels; ++k) {
    if (input.size() < rules.level_minimum)
      return std::unexpected(TransformError::level_too_deep());
    auto level = one_level(kernel, rules, input);
    if (!level) return std::unexpected(level.error());
    try {
      out.levels.push_back(std::move(*level));
    } catch (const std::bad_alloc&) {
      return std::unexpected(
          TransformError::allocation_failed((out.levels.size() + 1) * sizeof(Dwt)));
    }
    input = out.levels.back().approximation;
  }
  return out;
}

TransformResult<Dwt> dwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                         std::span<const float> signal, std::size_t level) noexcept {
  auto all = multi_dwt(kernel, rules, signal, level);
  if (!all) return std::unexpected(all.error());
  return std::move(all->levels.back());
}

TransformResult<std::vector<float>> idwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                         std::span<const float> approximation,
                                         std::span<const float> details) noexcept {
  std::size_t length;
  if (rules.style == LevelStyle::FilterBank) {
    if (approximation.size() != details.size()) {
      return std::unexpected(
          TransformError::approx_details_mismatch(approximation.size(), details.size()));
    }
    length = kernel.idwt_size(approximation.size(), details.size());
  } else {
    length = approximation.size() + details.size();
  }
  auto output = zeroed_floats(length);
  if (!output) return output;
  if (auto done = kernel.execute_inverse(approximation, details, *output); !done) {
    return std::unexpected(done.error());
  }
  return output;
}

TransformResult<std::vector<float>> multi_idwt(const IncompleteDwtExecutor& kernel,
                                               LevelRules rules,
                                               std::span<const std::span<const float>> details,
                                               std::span<const float> approximation) noexcept {
  if (details.empty() || approximation.empty()) {
    return std::unexpected(TransformError::zero_sized_input());
  }
  const auto plan = plan_inverse(kernel, rules, details, approximation);
  if (!plan) return multi_idwt_level_by_level(kernel, rules, details, approximation);
  if (rules.style == LevelStyle::Lifting && rules.kernels != nullptr &&
      rules.kernels->inverse_pairs != nullptr && details.size() <= kDeepestPossible) {
    return multi_idwt_streamed(*rules.kernels, details, approximation, plan->output);
  }
  return multi_idwt_in_two_buffers(kernel, rules, details, approximation, *plan);
}

}  // namespace wavelet::detail

