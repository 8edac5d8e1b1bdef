#include "multi_level.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "buffers.hpp"

namespace wavelet::detail {
namespace {

// Every accepted level shortens its input (to about half), and no span
// holds more than 2^62 floats, so no decomposition can go deeper than this;
// reserving it keeps the level records from moving while they are built.
constexpr std::size_t kDeepestPossible = 64;

TransformResult<Dwt> one_level(const IncompleteDwtExecutor& kernel,
                               std::span<const float> input) noexcept {
  const DwtSize size = kernel.dwt_size(input.size());
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
    auto level = one_level(kernel, signal);
    if (!level) return std::unexpected(level.error());
    out.levels.push_back(std::move(*level));
    return out;
  }

  // Each level reads the previous level's approximation where it lies: the
  // kernel never writes its input, so no working copy is needed.
  std::span<const float> input = signal;
  for (std::size_t k = 0; k < levels; ++k) {
    if (input.size() < rules.level_minimum) return std::unexpected(TransformError::level_too_deep());
    auto level = one_level(kernel, input);
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
  auto current = idwt(kernel, rules, approximation, details.back());
  for (std::size_t i = details.size() - 1; current && i-- > 0;) {
    if (rules.style == LevelStyle::FilterBank) {
      // An odd-length level reconstructs one sample too many (the border
      // extension); the finer level's details say how many are real.
      if (current->size() < details[i].size()) {
        return std::unexpected(
            TransformError::approx_details_mismatch(current->size(), details[i].size()));
      }
      current->resize(details[i].size());
    }
    current = idwt(kernel, rules, *current, details[i]);
  }
  return current;
}

}  // namespace wavelet::detail
