// The numeric rules shared by both drivers: level choice, 16-bit quantisation,
// the dead zone and dequantisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "quillmere/options.hpp"

namespace quillmere {

// Nominal filter length of a method's wavelet (what short signals are padded to).
std::size_t filter_length(Method method);

std::uint8_t pick_levels(std::size_t sample_count, Method method);

// 2^scale as f32, the multiplier used when the caller gives none.
inline float scale_multiplier(std::uint8_t scale) noexcept {
  return static_cast<float>(std::uint32_t{1} << (scale & 31));
}

// Quantises c * m, halves away from zero, saturating to [-32768, 32767]
// (NaN products become 32767). Returns how many products lay outside the
// 16-bit range, so the caller can tell when saturation distorted the signal.
std::size_t quantise(std::span<const float> coefficients, float multiplier,
                     std::span<std::int16_t> out) noexcept;

std::uint16_t dead_zone_threshold(std::uint8_t scale, Cutoff cutoff) noexcept;

// The smallest and largest value of a band (+inf and -inf when it is empty).
struct BandRange {
  float lo;
  float hi;
};

// quantise() followed by apply_dead_zone() (a threshold of 0 or 1 zeroes
// nothing), returning the band's range as well: one read of the band where
// the compressor made three, the range being what its saturation rule needs.
// Values are never NaN here; the range's numbers are those of any scan, at
// most the sign of a zero extreme may differ.
BandRange quantise_band(std::span<const float> coefficients, float multiplier,
                        std::uint16_t threshold, std::span<std::int16_t> out) noexcept;

// Limits below which a detail value that rounds to magnitude 1, 2 or 3
// goes one step toward zero (the bounded search's rate-aware rounding
// decides them): a value of magnitude n whose |c * m| lies below the limit
// takes n - 1. A one reads one[p][x], p and x whether the coefficients
// before and after it are at least 1/(2m) in magnitude (those round to
// nonzero, give or take the product's last bit).
struct StepDownLimits {
  float one[2][2] = {{0.0f, 0.0f}, {0.0f, 0.0f}};
  float two = 0.0f;
  float three = 0.0f;
};

// quantise() with values stepped down by the limits; the neighbours of the
// band's first and last value outside it count as zero. For bands that do
// not saturate at the multiplier (the search keeps to those).
void quantise_stepping_down(std::span<const float> coefficients, float multiplier,
                            const StepDownLimits& limits, std::span<std::int16_t> out) noexcept;

// Zeroes every value whose magnitude is below the threshold.
void apply_dead_zone(std::span<std::int16_t> details, std::uint16_t threshold) noexcept;

// out[i] = (1 / m) * q[i]: the reciprocal is taken once, as the format demands.
void dequantise(std::span<const std::int16_t> quantised, float multiplier,
                std::span<float> out) noexcept;

}  // namespace quillmere
