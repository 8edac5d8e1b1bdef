// The pieces of an arans stream on their own: one plane and one LEB128
// length. Not part of the codec's interface (encode_stream/decode_stream
// are); tests, fuzzers and benches reach them here to check a stream part
// by part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "arans.hpp"

namespace quillmere::arans {

// Engine output of one plane with 2^(8 + c) contexts; empty for an empty
// plane. `context_bits` must be at most 8 (std::invalid_argument otherwise:
// a caller's bug, never a property of data).
std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane,
                                       std::uint8_t context_bits);

// Exactly n bytes, or the first error. A context-bits value above 8 is
// BadLength, as in a stream header.
std::expected<std::vector<std::uint8_t>, AransError> decode_plane(
    std::span<const std::uint8_t> coded, std::size_t n, std::uint8_t context_bits);

// Reads one unsigned LEB128 value starting at `position`, which is advanced
// past the bytes read (also on error). Bits above bit 63 are dropped.
std::expected<std::uint64_t, AransError> rv(std::span<const std::uint8_t> stream,
                                             std::size_t& position);

}  // namespace quillmere::arans
