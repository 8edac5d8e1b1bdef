// The CRC-32 (zlib's) every tools' format proves its bytes with: side
// blocks, blocked-unit indexes and the HDF5 plugin's chunk frames.
#pragma once

#include <cstdint>
#include <span>

namespace quillmere_tools {

// Any length: zlib takes at most 4 GiB - 1 bytes a call, so longer spans go
// in pieces.
// With `before`, the CRC of bytes that came before these, so that a CRC
// runs on over two spans as if they were one.
std::uint32_t crc32_of(std::span<const std::uint8_t> bytes, std::uint32_t before = 0) noexcept;

}  // namespace quillmere_tools
