// Completes an IncompleteDwtExecutor (a single-level filter bank) into a full
// DwtExecutor by adding the multi-level drivers on top of it, under the filter bank's length rules
// (as many details as approximation coefficients, the surplus sample of an
// odd level dropped).
#pragma once

#include <memory>

#include "wavelet/executor.hpp"

namespace wavelet {

namespace detail {
struct LevelRules;
}  // namespace detail

class CompletedDwtExecutor final : public DwtExecutor {
 public:
  // inner must not be null.
  explicit CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor> inner) noexcept;

  // The single-level operations are the inner executor's, unchanged.
  TransformResult<void> execute_forward(std::span<const float> input,
                                        std::span<float> approximation,
                                        std::span<float> details) const noexcept override;
  TransformResult<void> execute_forward_with_scratch(
      std::span<const float> input, std::span<float> approximation, std::span<float> details,
      std::span<float> scratch) const noexcept override;
  std::size_t required_scratch_size(std::size_t input_length) const noexcept override;
  DwtSize dwt_size(std::size_t input_length) const noexcept override;
  TransformResult<void> execute_inverse(std::span<const float> approximation,
                                        std::span<const float> details,
                                        std::span<float> output) const noexcept override;
  std::size_t idwt_size(std::size_t approximation_length,
                        std::size_t details_length) const noexcept override;
  // Read from the inner executor once, at construction.
  std::size_t filter_length() const noexcept override;

  // Every level input must hold at least filter_length() samples, except
  // that a single level leaves the check to the inner executor.
  TransformResult<Dwt> dwt(std::span<const float> signal,
                           std::size_t level) const noexcept override;
  TransformResult<MultiDwt> multi_dwt(std::span<const float> signal,
                                      std::size_t levels) const noexcept override;
  // Requires as many details as approximation coefficients.
  TransformResult<std::vector<float>> idwt(std::span<const float> approximation,
                                           std::span<const float> details) const noexcept override;
  // An odd-length level reconstructs one extra sample; it is dropped before
  // each finer level, so only the result may carry one (length n + 1).
  TransformResult<std::vector<float>> multi_idwt(
      std::span<const std::span<const float>> details,
      std::span<const float> approximation) const noexcept override;

 private:
  detail::LevelRules rules() const noexcept;

  std::shared_ptr<const IncompleteDwtExecutor> inner_;
  std::size_t filter_length_;
};

}  // namespace wavelet
