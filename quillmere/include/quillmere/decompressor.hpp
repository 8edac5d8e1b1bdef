// Decompression driver: one container back to f32 samples.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere {

// Returns exactly sample_count samples, or the first fault of the container.
Result<std::vector<float>> decompress(std::span<const std::uint8_t> container);

Result<std::vector<float>> decompress_core(std::span<const std::uint8_t> payload, Method method,
                                           float min, float max, float mean, float multiplier,
                                           std::uint8_t levels, std::uint32_t sample_count,
                                           std::uint8_t scale, std::uint8_t coder);

}  // namespace quillmere
