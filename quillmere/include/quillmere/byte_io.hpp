// Little-endian loads and stores at arbitrary byte positions. memcpy keeps
// them free of alignment and aliasing traps; compilers turn each into one move.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quillmere {

static_assert(std::endian::native == std::endian::little,
              "container fields are read by memcpy; a big-endian port needs byte swaps here");

inline std::uint16_t load_le16(const std::uint8_t* p) noexcept {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline float load_le_f32(const std::uint8_t* p) noexcept {
  return std::bit_cast<float>(load_le32(p));
}

inline void store_le16(std::uint8_t* p, std::uint16_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void store_le32(std::uint8_t* p, std::uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void store_le_f32(std::uint8_t* p, float v) noexcept {
  store_le32(p, std::bit_cast<std::uint32_t>(v));
}

}  // namespace quillmere
