// The multi-level drivers shared by the lifting executors and
// CompletedDwtExecutor: one algorithm over any single-level kernel, with
// the few places the two kinds differ chosen by LevelRules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wavelet/executor.hpp"

namespace wavelet::detail {

enum class LevelStyle : std::uint8_t {
  // Exact split (A + D = n); idwt sizes its output as A + D and leaves the
  // length checks to the kernel; nothing is trimmed between levels.
  Lifting,
  // A = D = floor((n + 7) / 2); idwt insists on A == D and sizes its output
  // with idwt_size; the surplus sample of an odd level is dropped.
  FilterBank,
};

struct LevelRules {
  LevelStyle style;
  std::size_t level_minimum;  // shortest input any level accepts
};

TransformResult<MultiDwt> multi_dwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                    std::span<const float> signal, std::size_t levels) noexcept;
TransformResult<Dwt> dwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                         std::span<const float> signal, std::size_t level) noexcept;
TransformResult<std::vector<float>> idwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                         std::span<const float> approximation,
                                         std::span<const float> details) noexcept;
TransformResult<std::vector<float>> multi_idwt(const IncompleteDwtExecutor& kernel,
                                               LevelRules rules,
                                               std::span<const std::span<const float>> details,
                                               std::span<const float> approximation) noexcept;

}  // namespace wavelet::detail
