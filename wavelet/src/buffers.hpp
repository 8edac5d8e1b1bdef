// Allocation of the coefficient buffers every level returns.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "wavelet/executor.hpp"

namespace wavelet::detail {

// An empty vector with capacity for `count` floats (see Output), or
// AllocationFailed with the bytes requested.
TransformResult<std::vector<float>> reserved_floats(std::size_t count) noexcept;

// `count` zeros, or AllocationFailed.
TransformResult<std::vector<float>> zeroed_floats(std::size_t count) noexcept;

// `count` floats left uninitialised (working memory the caller overwrites
// before reading), or AllocationFailed.
TransformResult<std::unique_ptr<float[]>> scratch_floats(std::size_t count) noexcept;

// a + b, or SIZE_MAX if that overflows: length rules stay monotonic instead
// of wrapping around for absurd arguments.
constexpr std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
  return a + b < a ? static_cast<std::size_t>(-1) : a + b;
}

}  // namespace wavelet::detail
