// The byte-plane coder: a byte sequence as two planes (even and odd
// positions, i.e. the low and high bytes of 16-bit coefficients), each coded
// bit by bit through a bit tree whose contexts also see the top bits of the
// previous byte of the same plane.
//
// Stream for N input bytes: empty for N = 0, the bytes themselves for
// N <= 5, else
//   odd flag (N mod 2) | context bits c | pair count (LEB128) |
//   even length A (LEB128) | coded even plane (A bytes) | coded odd plane |
//   last input byte when N is odd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "quillmere/error.hpp"
#include "stream_ending.hpp"

namespace quillmere::arans {

enum class [[nodiscard]] AransError : std::uint8_t { Truncated, BadLength, OutOfMemory };

constexpr std::string_view message(AransError error) noexcept {
  switch (error) {
    case AransError::Truncated: return "Stream truncated";
    case AransError::BadLength: return "Inconsistent or oversized length in stream";
    case AransError::OutOfMemory: return kOutOfMemoryText;
  }
  return "Unknown arans error";
}

// Never fails; std::bad_alloc is the only exception it can raise.
std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> data);

// With an Exact ending, both planes must end on their last byte
// (BadLength otherwise).
std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> stream, StreamEnding ending = StreamEnding::Open);

}  // namespace quillmere::arans
