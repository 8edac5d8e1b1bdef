// The fixed 52-byte container header that precedes every payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "quillmere/error.hpp"
#include "quillmere/options.hpp"

namespace quillmere {

inline constexpr std::size_t HEADER_LEN = 52;

// The largest sample count a container may carry: the field is a u32, but
// readers refuse anything above the i32 range, so the writer never makes it.
inline constexpr std::uint32_t kMaxSampleCount = 2147483647;

// Field order and widths mirror the bytes on disk.
struct QuillmereHeader {
  std::array<std::uint8_t, 4> magic{};
  std::array<std::uint8_t, 2> version{};
  std::array<std::uint8_t, 2> format_tag{};
  std::array<std::uint8_t, 4> method_tag{};
  std::uint8_t levels = 0;
  std::uint8_t scale = 0;
  std::uint8_t coder = 0;
  std::uint8_t reserved = 0;
  std::uint32_t sample_count = 0;
  float min = 0.0f;
  float max = 0.0f;
  float mean = 0.0f;
  std::uint32_t payload_len = 0;
  float multiplier = 0.0f;
  std::array<std::uint32_t, 3> reserved_words{};

  // Reads the first 52 bytes of `data` and validates them in container order;
  // the first failing check decides the error. Coder ids above last_coder
  // are unknown (the module's readers know up to cmodel, the tools' up to
  // the fast coder).
  static Result<QuillmereHeader> from_bytes(std::span<const std::uint8_t> data,
                                            std::uint8_t last_coder = kLastModuleCoder);
};

struct HeaderFields {
  Method method;
  std::uint8_t levels;
  std::uint8_t scale;
  std::uint8_t coder;
  std::uint32_t sample_count;
  float min;
  float max;
  float mean;
  std::uint32_t payload_len;
  float multiplier;
};

std::array<std::uint8_t, HEADER_LEN> to_bytes(const HeaderFields& fields) noexcept;

std::array<std::uint8_t, 4> method_tag(Method method) noexcept;
std::optional<Method> method_from_tag(std::array<std::uint8_t, 4> tag) noexcept;

}  // namespace quillmere
