// The gamma form of the corrections blob (version 1): gaps and multiples in
// adaptive Elias-gamma form on the codec's binary bit engine. Blobs written
// in it are still read; its encoder stays for the tests that pin its bytes
// and for writing such blobs on purpose. Internal to the codec library.
#pragma once

#include <cstdint>
#include <span>

#include "quillmere/corrections.hpp"

namespace quillmere::corrections::gamma {

// `marks`, when given, lists the samples to correct as encode_applied()
// takes them.
CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error, EncodeBuffers& buffers,
                                 std::span<const std::uint64_t> marks = {});

}  // namespace quillmere::corrections::gamma
