// CDF 5/3 and CDF 9/7 as lifting schemes with whole-sample symmetric
// borders built into the steps; neither takes a border mode or holds state.
//
// A forward level splits x[0..n-1] into approximation s[0..ceil(n/2)-1]
// (sample positions 2i) and details d[0..floor(n/2)-1] (positions 2i + 1).
// Every value must come out the same to the bit on every machine, so the
// exact f32 operation order of each step is fixed: see the kernels in
// lifting_steps.hpp.
#pragma once

#include "wavelet/executor.hpp"

namespace wavelet {

namespace detail {
struct LiftingScheme;
}  // namespace detail

// Everything the two schemes share: the length rules, which depend only on
// the shortest input a scheme accepts, and the drivers. A scheme brings its
// kernels and those two lengths.
class LiftingDwtExecutor : public DwtExecutor {
 public:
  // For n below the scheme's minimum m, the sizes of an input of m.
  DwtSize dwt_size(std::size_t input_length) const noexcept final;
  // A + D, but at least the scheme's minimum.
  std::size_t idwt_size(std::size_t approximation_length,
                        std::size_t details_length) const noexcept final;
  TransformResult<void> execute_forward(std::span<const float> input,
                                        std::span<float> approximation,
                                        std::span<float> details) const noexcept final;
  TransformResult<void> execute_inverse(std::span<const float> approximation,
                                        std::span<const float> details,
                                        std::span<float> output) const noexcept final;
  std::size_t filter_length() const noexcept final;
  TransformResult<Dwt> dwt(std::span<const float> signal, std::size_t level) const noexcept final;
  TransformResult<MultiDwt> multi_dwt(std::span<const float> signal,
                                      std::size_t levels) const noexcept final;
  TransformResult<std::vector<float>> idwt(std::span<const float> approximation,
                                           std::span<const float> details) const noexcept final;
  TransformResult<std::vector<float>> multi_idwt(
      std::span<const std::span<const float>> details,
      std::span<const float> approximation) const noexcept final;

 private:
  virtual const detail::LiftingScheme& scheme() const noexcept = 0;
};

class Cdf53 final : public LiftingDwtExecutor {
 public:
  // The smallest level input the scheme accepts.
  static constexpr std::size_t kMinimumInput = 3;

 private:
  const detail::LiftingScheme& scheme() const noexcept override;
};

class Cdf97 final : public LiftingDwtExecutor {
 public:
  static constexpr std::size_t kMinimumInput = 4;

 private:
  const detail::LiftingScheme& scheme() const noexcept override;
};

}  // namespace wavelet
