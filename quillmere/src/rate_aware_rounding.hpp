// Rate-aware rounding of the detail bands: a value rounded to magnitude n
// goes one step toward zero where the bits that saves, priced by the band's
// own magnitude statistics, outweigh the squared error it adds in the
// signal, weighed by the band's synthesis gain. The decoder reads any 16-bit
// values, so this is the encoder's choice alone; the bounded search uses it
// for RMS-type bounds, where it then needs a slightly finer multiplier and
// still codes smaller. Internal to the codec library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "compress_stages.hpp"
#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere::rate_aware {

// Magnitudes below this have a lowering threshold of their own; larger ones
// keep plain rounding. Pricing magnitudes up to 15 as well saved another
// 0.1 % on the repository's signals, and cost a table look-up per value
// that keeps the lowering pass out of vector lanes.
inline constexpr std::size_t kPriced = 4;

// below[n]: a value that rounds to magnitude n (2 <= n < kPriced) takes
// n - 1 when |c * m| < below[n]; below[0] and below[1] are unused. A one
// takes zero below one[p][z], p whether the value before it and z whether
// the one after it round to nonzero: the coefficient coder prices a zero
// flag by the value before.
struct Thresholds {
  std::array<float, kPriced> below{};
  float one[2][2] = {{0.0f, 0.0f}, {0.0f, 0.0f}};
};

// The trade, in the units of one quantisation step: lowering costs
// gain * (2 * (|c m| - n) + 1) of squared error and saves the bits the
// band's statistics price the two values at, and is kept where
// lambda * saved bits exceeds the error added. `plain` are the band's
// plain-rounded values, which give the prices.
Thresholds thresholds_for(std::span<const std::int16_t> plain, double gain, double lambda);

// Moves the plain-rounded values `q` of `coefficients` (quantised at m)
// toward zero where the thresholds say so.
void lower_where_cheaper(std::span<const float> coefficients, float m, const Thresholds& t,
                         std::span<std::int16_t> q) noexcept;

// The squared-error gain of the detail band of each level 1 to `depth`
// ([k - 1] for level k): the energy in the samples of a unit coefficient in
// the band's middle, synthesised by the decoder's inverse transform on a
// short stand-in signal. A level's gain does not depend on the depth coded.
Result<std::vector<double>> detail_gains(const wavelet::DwtExecutor& executor,
                                         std::size_t transform_len, std::uint8_t depth);

// The lambda per method, in squared steps per bit: tuned once on the
// repository's signals for each wavelet, then left alone.
double lambda_for(Method method) noexcept;

// quantise_at_depth with plain rounding, then each detail band lowered by
// its own thresholds; the approximation keeps plain rounding. `gains` as
// detail_gains gives them for `depth` levels or more.
void quantise_at_depth(const wavelet::DwtExecutor& executor, const stages::Decomposition& d,
                       std::uint8_t depth, float m, std::span<const double> gains,
                       double lambda, stages::QuantisedBands& out);

}  // namespace quillmere::rate_aware
