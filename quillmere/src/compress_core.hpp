// One compression pass at a given level count, without the container
// around it. Not part of the codec's interface: compress() owns the choice
// of levels; the pass is reachable here so tests can pin what one level
// more or less does to saturation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere::detail {

// What one pass hands to compress() for the header.
struct EncodedSignal {
  std::vector<std::uint8_t> payload;
  float min = 0.0f;
  float max = 0.0f;
  float mean = 0.0f;
  float multiplier = 0.0f;
  std::uint8_t scale = 0;
  std::uint8_t coder_id = 0;
  std::uint8_t levels = 0;   // levels the transform produced
  bool saturated = false;    // some coefficient hit the 16-bit limits
};

Result<EncodedSignal> compress_core(std::span<const float> samples, const CodecOptions& options,
                                    std::uint8_t levels);

}  // namespace quillmere::detail
