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

}  // namespace quillmere
