// One level of an orthogonal 8-tap filter bank (db4, sym4).
//
// Analysis correlates the border-extended signal with lo and hi at every
// second position and keeps floor((n + 7) / 2) coefficients of each, so the
// borders lose nothing; synthesis is the exact transpose of analysis,
// cropped to 2A - 6 samples. Because the pair is orthonormal and the
// coefficient count is complete, synthesis restores every input sample
// whatever the border mode was.
#pragma once

#include <array>

#include "wavelet/border_mode.hpp"
#include "wavelet/executor.hpp"

namespace wavelet {

class Wavelet8Taps final : public IncompleteDwtExecutor {
 public:
  static constexpr std::size_t kTaps = 8;

  // hi is derived from lo by low_pass_to_high.
  Wavelet8Taps(BorderMode border, const std::array<float, kTaps>& low_pass) noexcept;

  TransformResult<void> execute_forward(std::span<const float> input,
                                        std::span<float> approximation,
                                        std::span<float> details) const noexcept override;
  DwtSize dwt_size(std::size_t input_length) const noexcept override;
  // Adds into output (callers pass zeros) rather than overwriting it.
  TransformResult<void> execute_inverse(std::span<const float> approximation,
                                        std::span<const float> details,
                                        std::span<float> output) const noexcept override;
  // 2A - 6 (details unused), or 0 when A < 3.
  std::size_t idwt_size(std::size_t approximation_length,
                        std::size_t details_length) const noexcept override;
  std::size_t filter_length() const noexcept override;

  BorderMode border_mode() const noexcept { return border_; }
  const std::array<float, kTaps>& low_pass() const noexcept { return lo_; }
  const std::array<float, kTaps>& high_pass() const noexcept { return hi_; }

 private:
  const detail::LevelKernels* level_kernels() const noexcept override;

  BorderMode border_;
  std::array<float, kTaps> lo_;
  std::array<float, kTaps> hi_;
};

}  // namespace wavelet
