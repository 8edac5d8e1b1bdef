// Whether a channel takes the integer path (see IntegerUse in
// channel_unit.hpp), and with which grid.
#pragma once

#include <cstddef>
#include <optional>

#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {

struct IntegerPlan {
  IntegerGrid grid;
  bool compare = false;  // weigh it against the wavelet unit by size
  bool only = false;     // no wavelet unit: the integer unit or an error
  // Quick for a grid coarser than the samples' own (a lossy unit), Lean
  // there when the request's effort is fast.
  IntegerEffort effort = IntegerEffort::Full;
};

// nullopt: the wavelet layer alone. An error when the integer coder was
// asked for and the samples lie on no grid it can code.
UnitResult<std::optional<IntegerPlan>> plan_integer(SignalView x, const UnitRequest& request);

// Whether a measured unit of `bytes` bytes meets every bound; a size budget
// counts `unit_samples` samples.
bool meets_bounds(const UnitReport& report, const UnitBounds& bounds, std::size_t bytes,
                  std::size_t unit_samples);

// The sentence a missed bound reads as, for the integer coder asked for alone.
std::string integer_miss(const UnitReport& report, const UnitBounds& bounds, std::size_t bytes,
                         std::size_t unit_samples);

}  // namespace quillmere_tools
