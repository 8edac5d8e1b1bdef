// The fast coefficient coder: the same quantised bands as the coefficient
// model, coded as one token per coefficient (magnitudes below 4 directly,
// larger ones as bit width and the bit below the leading one) through static
// frequency tables and four interleaved rANS states, the remaining low bits
// and the signs as raw bits. Only the tools' formats use it; the module's
// own decoder does not know its coder id.
//
// Tables are static per band and per group of neighbouring contexts (the
// context: the level of the lane's recent bit widths and whether the last
// one rose above them), each at the precision that makes
// table and code smallest together; short bands may instead take an
// adaptive model that costs no table at all.
//
// Stream: K (one byte; bit 7 is the side-block flag below, bit 6 the
// zero-block form) | [block maps] | band models (bit packed, byte aligned) |
// raw-bit byte count (LEB128) | raw bits | the final state of each lane
// (32 bits; four lanes, or one for short signals; none when no band codes a
// symbol) | 16-bit rANS words. The band lengths are not stored; the decoder
// is given them, and every table and length it reads is checked against
// them.
//
// Zero-block form (bit 6 set, K <= 63; fast_zero_blocks.hpp): the block
// maps follow the first byte, bit packed and byte aligned: the block size
// code (2 bits, blocks of 8 << code), then per band a bit saying whether it
// is mapped, and for a mapped band the kind of its first run of blocks
// (1 = zero) and every run's length in blocks as an Exp-Golomb code (the
// length's bits below its leading one, preceded by as many zeros), the runs
// alternating and covering the band's blocks exactly; the last block may be
// short. At least one band is mapped. Everything after is the stream above
// for the bands as coded: a mapped band as its live blocks end to end, the
// lanes' segments and contexts running over those (a context goes on across
// a skipped block as if it were not there). Streams without bit 6, which
// every encoder before it wrote, read as they always have; a reader that
// predates the form finds K + 64 bands where it expects K and refuses the
// stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quillmere/error.hpp"

namespace quillmere::fast {

enum class [[nodiscard]] FastError : std::uint8_t {
  Truncated,
  BadLength,
  BadTable,
  BadToken,
  TrailingData,
  BadState,
  OutOfMemory,
  BadBlockMap,
};

constexpr std::string_view message(FastError error) noexcept {
  switch (error) {
    case FastError::Truncated: return "Fast coefficient stream truncated";
    case FastError::BadLength: return "Inconsistent length in fast coefficient stream";
    case FastError::BadTable: return "Invalid frequency table in fast coefficient stream";
    case FastError::BadToken: return "Invalid coefficient token in fast coefficient stream";
    case FastError::TrailingData: return "Unused bytes at the end of fast coefficient stream";
    case FastError::BadState: return "Invalid coder state in fast coefficient stream";
    case FastError::OutOfMemory: return kOutOfMemoryText;
    case FastError::BadBlockMap: return "Invalid zero-block map in fast coefficient stream";
  }
  return "Unknown fast coder error";
}

// Bit 7 of the first byte: a channel unit sets it when a side block
// follows the container, so that a unit cut at the container's end cannot
// pass for one that never had a block. The coder writes it clear and
// decodes the same with it either way.
inline constexpr std::uint8_t kSideBlockFlag = 0x80;

// At most 127 bands (the count shares a byte with the flag); more is a caller's bug and
// raises std::invalid_argument. Otherwise only std::bad_alloc can escape.
std::vector<std::uint8_t> encode_coeffs(std::span<const std::span<const std::int16_t>> bands);

// Decodes into one caller-owned buffer, bands back to back; out.size() must
// equal the sum of the lengths (BadLength otherwise). On an error the
// contents of `out` are unspecified. Allocates only the decoding tables,
// whose size the band count bounds.
std::expected<void, FastError> decode_coeffs_into(std::span<const std::uint8_t> stream,
                                                  std::span<const std::size_t> lengths,
                                                  std::span<std::int16_t> out);

// The checks that need no output buffer: the band count and models, the
// section lengths and a bound on what the stream can deliver. Passing it is
// what makes allocating the output worth while.
std::expected<void, FastError> preflight(std::span<const std::uint8_t> stream,
                                         std::span<const std::size_t> lengths);

// preflight() and decode_coeffs_into() with one reading of the block maps
// and models: once they pass, `output(context, n)` gives the buffer of the
// sum of the lengths, n. An output of another size (the caller's way of
// saying it could not allocate) ends the decode with BadLength, which such
// a caller replaces with its own error. Errors come in the order the two
// calls give them; on a short signal the second reading of the models was
// a few percent of a whole decompress.
using OutputSource = std::span<std::int16_t> (*)(void* context, std::size_t n);
std::expected<void, FastError> decode_coeffs_checked(std::span<const std::uint8_t> stream,
                                                     std::span<const std::size_t> lengths, OutputSource output,
                                                     void* context);

struct BlockMaps;  // fast_zero_blocks.hpp

// decode_coeffs_checked() that stops before the zero blocks are spread:
// when the stream has block maps, `maps` gets them and the output holds the
// live coefficients back to back at its start (the rest unspecified), for
// a caller that spreads them as it converts them (expand_dequantised);
// without maps `maps` is left empty and the output is complete.
std::expected<void, FastError> decode_live_checked(std::span<const std::uint8_t> stream,
                                                   std::span<const std::size_t> lengths, OutputSource output,
                                                   void* context, std::optional<BlockMaps>& maps);

}  // namespace quillmere::fast
