// Rate-aware rounding of the detail bands: a value rounded to magnitude n
// goes one step toward zero where the bits that saves, priced by the band's
// own magnitude statistics, outweigh the squared error it adds in the
// signal, weighed by the band's synthesis gain. The decoder reads any 16-bit
// values, so this is the encoder's choice alone; the bounded search uses it
// for RMS-type bounds, where it then needs a slightly finer multiplier and
// still codes smaller. Internal to the codec library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "compress_stages.hpp"
#include "quantizer.hpp"
#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere::rate_aware {

// Magnitudes below this have a lowering threshold of their own; larger ones
// keep plain rounding. Pricing magnitudes up to 15 as well saved another
// 0.05 % on the repository's signals, and cost a table look-up per value
// that keeps the quantising loop out of vector lanes.
inline constexpr std::size_t kPriced = 4;

// The limits of quantise_stepping_down (quantizer.hpp) for one band.
using Thresholds = StepDownLimits;

// The trade, in the units of one quantisation step: lowering a value of
// magnitude n costs gain * (2 * (|c m| - n) + 1) of squared error and saves
// the bits the band's statistics price the two values at, and is kept
// where lambda * saved bits exceeds the error added. The prices come from
// the band's plain rounding at m, read on a spread of its values.
Thresholds thresholds_for(std::span<const float> coefficients, float m, double gain, double lambda);

// The squared-error gain of the detail band of each level 1 to `depth`
// ([k - 1] for level k): the energy in the samples of a unit coefficient in
// the band's middle, synthesised by the decoder's inverse transform on a
// short stand-in signal. A level's gain does not depend on the depth coded.
Result<std::vector<double>> detail_gains(const wavelet::DwtExecutor& executor,
                                         std::size_t transform_len, std::uint8_t depth);

// The lambda, in squared steps per bit: tuned once on the repository's
// signals, then left alone (the method is taken so that each wavelet may
// have its own once measured).
double lambda_for(Method method) noexcept;

// stages::quantise_at_depth with each detail band stepped down by its own
// thresholds (plain rounding when lambda is 0); the approximation keeps
// plain rounding. `gains` as detail_gains gives them for `depth` levels or more.
void quantise_at_depth(const wavelet::DwtExecutor& executor, const stages::Decomposition& d,
                       std::uint8_t depth, float m, std::span<const double> gains,
                       double lambda, stages::QuantisedBands& out);

}  // namespace quillmere::rate_aware
