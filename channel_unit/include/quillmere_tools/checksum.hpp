// The CRC-32 (zlib's) every tools' format proves its bytes with: side
// blocks, blocked-unit indexes and the HDF5 plugin's chunk frames.
#pragma once

#include <cstdint>
#include <span>

namespace quillmere_tools {

// Any length: zlib takes at most 4 GiB - 1 bytes a call, so longer spans go
// in pieces.
std::uint32_t crc32_of(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace quillmere_tools
