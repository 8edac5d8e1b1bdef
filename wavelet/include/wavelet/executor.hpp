// The executor interfaces every wavelet implements, and the records a
// decomposition is returned in.
//
// DwtForwardExecutor and DwtInverseExecutor are one level each way;
// IncompleteDwtExecutor is both plus filter_length; DwtExecutor adds the
// one-level and multi-level drivers on top. Executors are immutable, so one
// handle may be shared by any number of threads; every operation owns its
// buffers.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "wavelet/error.hpp"

namespace wavelet {

namespace detail {
struct LevelKernels;
}  // namespace detail

// Coefficient counts of one level.
struct DwtSize {
  std::size_t approximation;
  std::size_t details;

  friend bool operator==(const DwtSize&, const DwtSize&) = default;
};

// One level of a decomposition.
struct Dwt {
  std::vector<float> approximation;
  std::vector<float> details;
};

// All levels, finest first: levels[0] comes from the signal, levels[k] from
// levels[k - 1].approximation.
struct MultiDwt {
  std::vector<Dwt> levels;
};

template <class T>
using TransformResult = std::expected<T, TransformError>;

class DwtForwardExecutor {
 public:
  virtual ~DwtForwardExecutor() = default;

  // One analysis level: approximation and details must have exactly the
  // lengths dwt_size(input.size()) gives for an accepted input; on error
  // neither output is touched. No two of the three spans may overlap.
  [[nodiscard]] virtual TransformResult<void> execute_forward(
      std::span<const float> input, std::span<float> approximation,
      std::span<float> details) const noexcept = 0;
  // The interface keeps a slot for executors that need working memory beyond
  // their outputs; none of the four wavelets does, so by default the scratch
  // is ignored, none is required, and the result is execute_forward's.
  [[nodiscard]] virtual TransformResult<void> execute_forward_with_scratch(
      std::span<const float> input, std::span<float> approximation, std::span<float> details,
      std::span<float> /*scratch*/) const noexcept {
    return execute_forward(input, approximation, details);
  }
  virtual std::size_t required_scratch_size(std::size_t /*input_length*/) const noexcept {
    return 0;
  }
  virtual DwtSize dwt_size(std::size_t input_length) const noexcept = 0;
};

class DwtInverseExecutor {
 public:
  virtual ~DwtInverseExecutor() = default;

  // One synthesis level into output, whose length must be the one the
  // executor requires for these coefficient counts; output may not overlap
  // the coefficients.
  [[nodiscard]] virtual TransformResult<void> execute_inverse(
      std::span<const float> approximation, std::span<const float> details,
      std::span<float> output) const noexcept = 0;
  virtual std::size_t idwt_size(std::size_t approximation_length,
                                std::size_t details_length) const noexcept = 0;
};

// One level each way and the nominal filter length, without the multi-level
// operations (CompletedDwtExecutor adds them to any such executor).
class IncompleteDwtExecutor : public DwtForwardExecutor, public DwtInverseExecutor {
 public:
  // The longer analysis filter's length, rounded up to even: 6 for CDF
  // 5/3, 10 for CDF 9/7, the tap count for a filter bank. The lifting
  // schemes accept shorter inputs than this; a filter bank does not.
  virtual std::size_t filter_length() const noexcept = 0;

 private:
  friend class CompletedDwtExecutor;
  // Unchecked kernels that let CompletedDwtExecutor's drivers write levels
  // into buffers that grow as they are written instead of zero-filled ones. The
  // default, none, drives the executor through execute_forward and
  // execute_inverse, which gives the same values.
  virtual const detail::LevelKernels* level_kernels() const noexcept { return nullptr; }
};

class DwtExecutor : public IncompleteDwtExecutor {
 public:
  // The deepest level of a `level`-deep decomposition (0 and 1 mean one).
  [[nodiscard]] virtual TransformResult<Dwt> dwt(std::span<const float> signal,
                                                 std::size_t level) const noexcept = 0;
  // `levels` levels (0 and 1 mean one), finest first.
  [[nodiscard]] virtual TransformResult<MultiDwt> multi_dwt(std::span<const float> signal,
                                                            std::size_t levels) const noexcept = 0;
  // One level of reconstruction into a fresh buffer.
  [[nodiscard]] virtual TransformResult<std::vector<float>> idwt(
      std::span<const float> approximation, std::span<const float> details) const noexcept = 0;
  // The whole reconstruction from the details of every level (finest first)
  // and the coarsest approximation.
  [[nodiscard]] virtual TransformResult<std::vector<float>> multi_idwt(
      std::span<const std::span<const float>> details,
      std::span<const float> approximation) const noexcept = 0;
};

// std::shared_ptr counts references atomically, which is what lets one
// executor serve several threads.
using DwtHandle = std::shared_ptr<const DwtExecutor>;

}  // namespace wavelet
