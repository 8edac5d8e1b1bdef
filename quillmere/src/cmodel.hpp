// The coefficient model: all quantised wavelet bands of a signal as one run
// of the bit engine. Per band, one magnitude bit count b; per coefficient a
// zero flag (context: was the previous coefficient of the band zero?), and
// for a nonzero one its sign and |w| - 1 in b bits through a bit tree.
//
// Stream for K bands: K | b of each band (K bytes) | engine output.
// The band lengths are not stored; the decoder is given them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "quillmere/error.hpp"
#include "stream_ending.hpp"

namespace quillmere::cmodel {

enum class [[nodiscard]] CModelError : std::uint8_t { Truncated, BadLength, OutOfMemory };

constexpr std::string_view message(CModelError error) noexcept {
  switch (error) {
    case CModelError::Truncated: return "Stream truncated";
    case CModelError::BadLength: return "Inconsistent length in coefficient stream";
    case CModelError::OutOfMemory: return kOutOfMemoryText;
  }
  return "Unknown coefficient model error";
}

// Context indices of every band in one table. Band i owns the 2^b[i] + 3
// contexts from offsets[i]: zero flag after a zero (or at the band's
// start), zero flag after a nonzero, sign, one unused, then the magnitude
// tree's nodes 1 to 2^b - 1.
struct Layout {
  std::vector<std::size_t> offsets;
  std::vector<std::uint32_t> bits;  // the bit counts the offsets were derived from
  std::size_t total = 0;
};

Layout layout(std::span<const std::uint32_t> bits);

// At most 255 bands (the count is one byte); more is a caller's bug and
// raises std::invalid_argument. Otherwise only std::bad_alloc can escape.
std::vector<std::uint8_t> encode_coeffs(std::span<const std::span<const std::int16_t>> bands);

// Decodes into one caller-owned buffer, bands back to back;
// out.size() must equal the sum of the lengths (BadLength otherwise, and
// for an Exact ending the stream does not meet: stream_ending.hpp). On an error the
// contents of `out` are unspecified.
std::expected<void, CModelError> decode_coeffs_into(std::span<const std::uint8_t> stream,
                                                    std::span<const std::size_t> lengths,
                                                    std::span<std::int16_t> out,
                                                    StreamEnding ending = StreamEnding::Open);

// Every test decoding makes before its first coded bit, in the same
// order and with the same errors, including the bound on what the coded
// bytes can deliver (max_symbols).
// Passing it is what makes allocating the output worth while.
std::expected<void, CModelError> preflight(std::span<const std::uint8_t> stream,
                                           std::span<const std::size_t> lengths);

}  // namespace quillmere::cmodel
