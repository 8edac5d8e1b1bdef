#include "multi_level_inverse.hpp"

namespace wavelet::detail {

TransformResult<std::vector<float>> multi_idwt_level_by_level(
    const IncompleteDwtExecutor& kernel, LevelRules rules,
    std::span<const std::span<const float>> details,
    std::span<const float> approximation) noexcept {
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
