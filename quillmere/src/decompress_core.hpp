// Everything the decoder does once the container's header has been read:
// the decoding limits, the band layout, the payload, dequantisation, the
// inverse transform and the undoing of the normalisation. Not part of the
// codec's interface: decompress() reads and checks the header and hands the
// fields over; the step is reachable here so tests can drive its limits
// without forging a container for each.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cmodel.hpp"
#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere::detail {

// `multiplier` is the one the coefficients were quantised with (decompress()
// takes the header's when it is positive and finite, else 2^scale). The
// limits are checked in this order: sample_count, levels, scale; then the
// coder (0 deflate, 1 arans, 2 cmodel, and 3 fast when last_coder allows).
Result<std::vector<float>> decompress_core(std::span<const std::uint8_t> payload, Method method,
                                           float min, float max, float mean, float multiplier,
                                           std::uint8_t levels, std::uint32_t sample_count,
                                           std::uint8_t scale, std::uint8_t coder,
                                           std::uint8_t last_coder = kLastModuleCoder,
                                           StreamEnding ending = StreamEnding::Open);

}  // namespace quillmere::detail
