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

// The same for the tools' formats, which may also hold the fast coder
// (coder id 3); decompress() keeps refusing that id as unknown. A cmodel
// payload must end exactly where its stream does: a unit goes on after its
// container, and a damaged payload length must not take those bytes in.
Result<std::vector<float>> decompress_tools(std::span<const std::uint8_t> container);

}  // namespace quillmere
