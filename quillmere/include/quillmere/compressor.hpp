// Compression driver: f32 samples plus options to one complete container.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere {

// Returns the container bytes (52-byte header + payload).
Result<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                           const CodecOptions& options);

// The smallest and largest of samples that are all finite.
struct FiniteRange {
  float lo = 0.0f;
  float hi = 0.0f;
};

// compress() for a caller that has scanned the samples already (the tools
// look for non-finite samples and take the range in one pass): the same
// bytes, without the codec's own pass for the extremes. Every sample must
// be finite and `range` their exact smallest and largest value; the sign of
// a zero extreme does not matter, the codec settles it as compress() does.
Result<std::vector<std::uint8_t>> compress_in_range(std::span<const float> samples,
                                                    const CodecOptions& options, FiniteRange range);

}  // namespace quillmere
