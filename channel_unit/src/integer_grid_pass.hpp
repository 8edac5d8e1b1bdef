// The integer unit's grid pass: every sample's integer on a grid and the
// measures of what its reader rebuilds from them (integer_unit.cpp codes
// the integers; the measures are the unit's report).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "quillmere/unset_on_growth.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {

struct GridSamples {
  quillmere::UnsetVector<std::int64_t> k;  // the grid pass writes every integer
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
