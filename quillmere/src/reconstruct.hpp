// The decoder's arithmetic after entropy decoding: dequantisation, the
// multi-level inverse transform, de-normalisation and the cut to length.
// decompress() runs it on decoded coefficients and the bounded search on
// candidate ones, so a search's judgement is the decoder's result bit for bit.
// Internal to the codec library.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "quillmere/error.hpp"
#include "wavelet_choice.hpp"

namespace quillmere::stages {

struct DequantisedBands {
  std::unique_ptr<float[]> data;
  std::size_t size = 0;
};

// Every coefficient times (1 / m), the reciprocal taken once in f32.
Result<DequantisedBands> dequantise_bands(std::span<const std::int16_t> coeffs, float multiplier);

struct Denormalisation {
  float min;
  float max;
  float mean;
  std::uint32_t sample_count;
};

// Inverse transform of dequantised bands in container order, then
// x = min + (max - min) * (y + mean) in f32, cut or zero-padded to
// sample_count.
Result<std::vector<float>> synthesise(const wavelet::DwtExecutor& executor,
                                      const DequantisedBands& bands, const BandLayout& layout,
                                      const Denormalisation& frame);
Result<std::vector<float>> synthesise(const wavelet::DwtExecutor& executor,
                                      std::span<const float> bands, const BandLayout& layout,
                                      const Denormalisation& frame);

}  // namespace quillmere::stages
