// Channel units of integer sources: samples that are integers times a step
// (PCM audio, ADC counts, integer arrays), coded losslessly by the integer
// coder instead of the wavelet layer. When a bound is at or below one step,
// exactness is the cheapest way to meet it.
//
// The unit is a container whose header carries coder id 4, which the
// quillmere module refuses ("Unknown entropy coder 4"), levels 0, the sample
// count, and the decoded samples' min, max and normalised mean; then a side
// block when the unit needs one (float64 precision, non-finite runs, a
// trailing run), exactly as for wavelet units.
//
// Payload (little-endian):
//   0  u8  flags       bit 0: a side block follows the container
//                      bit 1: the integers are indices into a palette
//                      bit 2: blocks may code their residuals with rANS
//                             (the streams are IntegerResiduals::RiceOrRans)
//   1  u8  width       bits of the integers, 1 to 33
//   2  u8  block_log2  the integer coder's block length, 2^4 to 2^16
//   3  u8  reserved    0
//   4  f64 step        finite, > 0
//  12  f64 offset      finite
//  20  the integer coder's stream (integer_coder.hpp) of the integers
//      (width bits each); or with a palette: u32 count, u32 byte length of
//      the palette's stream, the palette's stream (its distinct integers,
//      strictly increasing, width bits), then the stream of each sample's
//      index into it (in as few bits as count - 1 needs, signed).
// Sample i decodes as offset + step * k[i] in float64, rounded to float32
// for a float32 source: one multiply and one add, the same on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_coder.hpp"

namespace quillmere_tools {

inline constexpr std::uint8_t kCoderInteger = 4;
// The highest coder id a channel unit's header may carry.
inline constexpr std::uint8_t kLastUnitCoder = kCoderInteger;
inline constexpr std::size_t kIntegerPayloadHeaderLen = 20;

struct IntegerGrid {
  double step = 1.0;
  double offset = 0.0;
  // The coarsest spacing the samples are known to respect: the step, or
  // infinity for a signal with no nonzero finite sample on a found grid.
  double spacing = 1.0;
};

// The grid the finite samples of `x` lie on. With `step` (a format that
// stores integer codes) that step, anchored at the first finite sample;
// otherwise the coarsest power of two that divides every finite sample,
// anchored at zero. nullopt when the integers would need more than 33 bits,
// or a step is not a positive finite number.
std::optional<IntegerGrid> find_grid(SignalView x, std::optional<double> step);

// The unit of `x` on `grid`, its report measured against `x` (non-finite
// samples left out, as for every bound). `tail`, when given, is the trailing
// run already cut from `x`, restored from the side block. `effort` is the
// integer coder's (integer_coder.hpp).
UnitResult<EncodedUnit> encode_integer_unit(SignalView x, const IntegerGrid& grid,
                                            std::optional<TrailingRun> tail,
                                            IntegerEffort effort = IntegerEffort::Full);

// `unit` is one unit whose header (already read) carries kCoderInteger.
UnitResult<DecodedUnit> decode_integer_unit(std::span<const std::uint8_t> unit,
                                            const quillmere::QuillmereHeader& header);

// Whether the container says a side block follows it; nullopt when it makes
// no claim (coders other than fast and integer, or a payload too short).
std::optional<bool> unit_side_block_claim(std::span<const std::uint8_t> container);

}  // namespace quillmere_tools
