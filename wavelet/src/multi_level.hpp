// The multi-level drivers shared by the lifting executors and
// CompletedDwtExecutor: one algorithm over any single-level kernel, with the
// few places the two kinds differ chosen by LevelRules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output.hpp"
#include "wavelet/executor.hpp"

namespace wavelet::detail {

// Every accepted level shortens its input (to about half), and no span
// holds more than 2^62 floats, so no decomposition can go deeper than this.
inline constexpr std::size_t kDeepestPossible = 64;

enum class LevelStyle : std::uint8_t {
  // Exact split (A + D = n); idwt sizes its output as A + D and leaves the
  // length checks to the kernel; nothing is trimmed between levels.
  Lifting,
  // A = D = floor((n + 7) / 2); idwt insists on A == D and sizes its output
  // with idwt_size; the surplus sample of an odd level is dropped.
  FilterBank,
};

// The unchecked single-level kernels behind an executor's execute_forward
// and execute_inverse, for drivers that write into growing vectors. The
// same code serves both, so the values cannot differ.
struct LevelKernels {
  // Input of at least the level minimum; outputs sized by dwt_size.
  void (*forward)(const IncompleteDwtExecutor& self, std::span<const float> input,
                  Output approximation, Output details) noexcept;
  // The length checks of execute_inverse, with the same errors.
  TransformResult<void> (*check_inverse)(std::size_t approximation, std::size_t details,
                                         std::size_t output) noexcept;
  // Lengths that passed check_inverse. Adds into the output when
  // LevelStyle::FilterBank, overwrites it otherwise.
  void (*inverse)(const IncompleteDwtExecutor& self, std::span<const float> approximation,
                  std::span<const float> details, Output output) noexcept;
  // Lifting kernels only, null otherwise: the output pairs [first, last) of
  // one inverse level of `length` samples, for drivers that keep the input
  // and output of a level in sliding windows. Approximation value g is read
  // from approximation[g - approximation_origin] and output sample j
  // written to output.data()[j - output_origin], which the kernel grows as
  // it goes. Lengths that passed check_inverse.
  void (*inverse_pairs)(const float* approximation, std::size_t approximation_origin,
                        const float* details, Output output, std::size_t output_origin,
                        std::size_t length, std::size_t first, std::size_t last) noexcept;
};

struct LevelRules {
  LevelStyle style;
  std::size_t level_minimum;  // shortest input any level accepts
  // Null for a kernel known only through its interface: the drivers then
  // use execute_forward and execute_inverse on zero-filled buffers.
  const LevelKernels* kernels;
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
