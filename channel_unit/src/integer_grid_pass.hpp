// The integer unit's grid pass: every sample's integer on a grid and the
// measures of what its reader rebuilds from them (integer_unit.cpp codes
// the integers; the measures are the unit's report).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {

// Leaves the elements a vector grows by unset: the grid pass writes every
// integer, and zeroing them first was a pass over 8 bytes a sample.
template <class T>
struct UnsetOnGrowth : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UnsetOnGrowth<U>;
  };
  UnsetOnGrowth() = default;
  template <class U>
  UnsetOnGrowth(const UnsetOnGrowth<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

struct GridSamples {
  std::vector<std::int64_t, UnsetOnGrowth<std::int64_t>> k;
  std::int64_t k_lo = 0;
  std::int64_t k_hi = 0;
  UnitReport measures;
  double y_lo = 0.0;
  double y_hi = 0.0;
  double y_sum = 0.0;
  std::size_t finite = 0;
};

// Integers of every sample (a non-finite one repeats the integer before it,
// which costs the predictors nothing) and the measures of the reconstruction.
GridSamples on_grid(std::span<const float> x, const IntegerGrid& grid);
GridSamples on_grid(std::span<const double> x, const IntegerGrid& grid);

}  // namespace quillmere_tools
