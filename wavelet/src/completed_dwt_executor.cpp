#include "wavelet/completed_dwt_executor.hpp"

#include <utility>

#include "multi_level.hpp"

namespace wavelet {

CompletedDwtExecutor::CompletedDwtExecutor(
    std::shared_ptr<const IncompleteDwtExecutor> inner) noexcept
    : inner_(std::move(inner)), filter_length_(inner_->filter_length()) {}

detail::LevelRules CompletedDwtExecutor::rules() const noexcept {
  return {detail::LevelStyle::FilterBank, filter_length_, inner_->level_kernels()};
}

TransformResult<void> CompletedDwtExecutor::execute_forward(
    std::span<const float> input, std::span<float> approximation,
    std::span<float> details) const noexcept {
  return inner_->execute_forward(input, approximation, details);
}

TransformResult<void> CompletedDwtExecutor::execute_forward_with_scratch(
    std::span<const float> input, std::span<float> approximation, std::span<float> details,
    std::span<float> scratch) const noexcept {
  return inner_->execute_forward_with_scratch(input, approximation, details, scratch);
}

std::size_t CompletedDwtExecutor::required_scratch_size(std::size_t input_length) const noexcept {
  return inner_->required_scratch_size(input_length);
}

DwtSize CompletedDwtExecutor::dwt_size(std::size_t input_length) const noexcept {
  return inner_->dwt_size(input_length);
}

TransformResult<void> CompletedDwtExecutor::execute_inverse(
    std::span<const float> approximation, std::span<const float> details,
    std::span<float> output) const noexcept {
  return inner_->execute_inverse(approximation, details, output);
}

std::size_t CompletedDwtExecutor::idwt_size(std::size_t approximation_length,
                                            std::size_t details_length) const noexcept {
  return inner_->idwt_size(approximation_length, details_length);
}

std::size_t CompletedDwtExecutor::filter_length() const noexcept { return filter_length_; }

TransformResult<Dwt> CompletedDwtExecutor::dwt(std::span<const float> signal,
                                               std::size_t level) const noexcept {
  return detail::dwt(*inner_, rules(), signal, level);
}

TransformResult<MultiDwt> CompletedDwtExecutor::multi_dwt(std::span<const float> signal,
                                                          std::size_t levels) const noexcept {
  return detail::multi_dwt(*inner_, rules(), signal, levels);
}

TransformResult<std::vector<float>> CompletedDwtExecutor::idwt(
    std::span<const float> approximation, std::span<const float> details) const noexcept {
  return detail::idwt(*inner_, rules(), approximation, details);
}

TransformResult<std::vector<float>> CompletedDwtExecutor::multi_idwt(
    std::span<const std::span<const float>> details,
    std::span<const float> approximation) const noexcept {
  return detail::multi_idwt(*inner_, rules(), details, approximation);
}

}  // namespace wavelet
