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
  // The grid is the first one quantised_grid would try, not checked against
  // the samples beforehand (a fast effort's plan): the unit's measured error
  // tells whether it holds, and on a miss the caller plans again with
  // GridCheck::Before, which ends where the checked search would have.
  bool unchecked = false;
};

enum class GridCheck : std::uint8_t { AfterWhenFast, Before };

// nullopt: the wavelet layer alone. An error when the integer coder was
// asked for and the samples lie on no grid it can code.
UnitResult<std::optional<IntegerPlan>> plan_integer(SignalView x, const UnitRequest& request,
                                                    GridCheck check = GridCheck::AfterWhenFast);

// Whether a measured unit of `bytes` bytes meets every bound; a size budget
// counts `unit_samples` samples.
bool meets_bounds(const UnitReport& report, const UnitBounds& bounds, std::size_t bytes,
                  std::size_t unit_samples);

// The sentence a missed bound reads as, for the integer coder asked for alone.
std::string integer_miss(const UnitReport& report, const UnitBounds& bounds, std::size_t bytes,
                         std::size_t unit_samples);

}  // namespace quillmere_tools
