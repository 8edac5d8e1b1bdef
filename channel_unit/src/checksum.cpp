#include "quillmere_tools/checksum.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstddef>

namespace quillmere_tools {

std::uint32_t crc32_of(std::span<const std::uint8_t> bytes, std::uint32_t before) noexcept {
  uLong crc = before;
  while (!bytes.empty()) {
    const std::size_t piece = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
    crc = crc32(crc, bytes.data(), static_cast<uInt>(piece));
    bytes = bytes.subspan(piece);
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace quillmere_tools
