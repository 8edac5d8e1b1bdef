// Where a kernel writes one of its outputs.
//
// The public span API hands kernels memory that already exists. The
// multi-level drivers instead hand them a vector whose capacity covers the
// whole level but whose size grows block by block as the kernel writes:
// std::vector cannot hold uninitialised floats, and zero-filling a level
// up front costs a full extra pass over memory (a third of a large
// forward transform's traffic), while zero-filling one block just before
// overwriting it happens in L1.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace wavelet::detail {

class Output {
 public:
  explicit Output(std::span<float> fixed) noexcept : data_(fixed.data()), growing_(nullptr) {}
  // `growing` must have capacity for every value the kernel writes.
  explicit Output(std::vector<float>& growing) noexcept
      : data_(growing.data()), growing_(&growing) {}

  float* data() const noexcept { return data_; }

  // Makes values [0, size) exist before the kernel writes any of them; new
  // values are zeros, which matters to kernels that add into their output.
  // Within the reserved capacity resize never reallocates, so data() stays
  // valid and nothing can throw.
  void reach(std::size_t size) const noexcept {
    if (growing_ != nullptr && growing_->size() < size) growing_->resize(size);
  }

 private:
  float* data_;
  std::vector<float>* growing_;
};

}  // namespace wavelet::detail
