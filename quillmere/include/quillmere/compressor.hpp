// Compression driver: f32 samples plus options to one complete container.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere {

// What compress_core hands to compress for the header.
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

// Returns the container bytes (52-byte header + payload).
Result<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                           const CodecOptions& options);

Result<EncodedSignal> compress_core(std::span<const float> samples, const CodecOptions& options,
                                    std::uint8_t levels);

}  // namespace quillmere
