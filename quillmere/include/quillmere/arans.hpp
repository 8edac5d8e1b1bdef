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
#include <vector>

#include "quillmere/bin_engine.hpp"

namespace quillmere::arans {

// Never fails; std::bad_alloc is the only exception it can raise.
std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> data);

std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> stream);

// Engine output of one plane with 2^(8 + c) contexts; empty for an empty
// plane. `context_bits` must be at most 8 (std::invalid_argument otherwise:
// a caller's bug, never a property of data).
std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane,
                                       std::uint8_t context_bits);

// Exactly n bytes, or the first error. A context-bits value above 8 is
// BadLength, as in a stream header.
std::expected<std::vector<std::uint8_t>, AransError> decode_plane(
    std::span<const std::uint8_t> coded, std::size_t n, std::uint8_t context_bits);

// One unsigned LEB128 value starting at `position`, which is advanced past
// the bytes read (also on error). Bits above bit 63 are dropped.
std::expected<std::uint64_t, AransError> rv(std::span<const std::uint8_t> stream,
                                             std::size_t& position);

}  // namespace quillmere::arans
