// Forms of the coefficient model's decoder that the codec itself does not
// call (it decodes into one buffer through decode_coeffs_into). Not part of
// the codec's interface: fuzzers, tests and benches use them to check the
// decoder from outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "cmodel.hpp"

namespace quillmere::cmodel {

// K owned bands of exactly lengths[i] coefficients, or the first error.
std::expected<std::vector<std::vector<std::int16_t>>, CModelError> decode_coeffs(
    std::span<const std::uint8_t> stream, std::span<const std::size_t> lengths);

// A necessary condition needing only sizes: whether a stream of this many
// bytes could hold this many coefficients at all. False means decoding must
// end in Truncated (unless the header is refused first; preflight() keeps
// that order exactly).
bool could_hold(std::size_t stream_size, std::size_t coefficients) noexcept;

}  // namespace quillmere::cmodel
