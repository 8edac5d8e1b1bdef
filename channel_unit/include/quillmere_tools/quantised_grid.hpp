// Lossy integer units: a signal rounded to a uniform grid coarse enough that
// every sample stays within a max-error bound, then coded losslessly by the
// integer coder (integer_unit.hpp). The unit is an ordinary integer unit
// whose step and offset happen to be this grid's, so every reader of integer
// units decodes it.
//
// At tight bounds the grid's integers carry several bits per sample and a
// predictor plus Rice codes spend close to their entropy; the wavelet layer
// needs point-wise corrections there, and those dominate its bytes. At loose
// bounds it is the other way round, so the tools weigh the two by a
// prediction before coding either (see predict_integer_bits).
#pragma once

#include <cstddef>
#include <optional>

#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {

// A grid on which every finite sample of `x`, rounded to its nearest grid
// point and decoded exactly as the integer unit's reader does (offset +
// step * k in float64, narrowed to float32 for a float32 source), lies
// within `max_error` of itself. Checked sample by sample. `exact` is the
// grid the samples already lie on, if any: a step that is an odd multiple of
// its spacing is tried as well, since on such a source it bounds the error by
// whole spacings. nullopt when no grid coarser than the samples' own is
// found, or when the integers would need more than 33 bits (a bound near the
// samples' floating-point resolution): the candidate is then skipped.
std::optional<IntegerGrid> quantised_grid(SignalView x, double max_error, std::optional<IntegerGrid> exact);

// The first grid quantised_grid tries, unchecked: the one it returns
// whenever that grid holds, which is nearly always (a miss takes samples
// whose float32 resolution is a sizeable share of the bound). Its integers
// stay within 33 bits; a caller must measure the error of what it codes
// (the integer unit's report does) and fall back to quantised_grid on a
// miss. nullopt where quantised_grid would find none at the first try, or
// where the quotients could exceed 33 bits.
std::optional<IntegerGrid> first_quantised_grid(SignalView x, double max_error, std::optional<IntegerGrid> exact);

// The integer coder's expected bits per sample for `x` on `grid`, from the
// residuals of the best of fixed predictors of orders 0 to 2 on up to
// `stretches` stretches of 256 samples spread evenly over the signal. The
// coder's own search (LPC up to order 32, runs, partitions) does no worse,
// so this leans high. The more stretches, the closer and the slower.
inline constexpr std::size_t kFewStretches = 16;
inline constexpr std::size_t kManyStretches = 128;
double predict_integer_bits(SignalView x, const IntegerGrid& grid, std::size_t stretches);

}  // namespace quillmere_tools
