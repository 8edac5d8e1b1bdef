// Allocation of the coefficient buffers every level returns.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "wavelet/executor.hpp"

namespace wavelet::detail {

// An empty vector with capacity for `count` floats (see Output), or
// AllocationFailed with the bytes requested. With whole_huge_pages a large
// buffer gets more capacity, up to the end of its last 2 MiB page (see
// buffers.cpp): the forward levels, many buffers per call, take far fewer
// page faults on fresh memory that way. A single large result gains
// nothing measurable from it, and its larger size changed where the
// allocator put it, at times onto fresh memory it did not need.
TransformResult<std::vector<float>> reserved_floats(std::size_t count,
                                                   bool whole_huge_pages = false) noexcept;

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
