// Raw deflate (RFC 1951, no zlib or gzip wrapper) of coefficient bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/error.hpp"
#include "stream_ending.hpp"

namespace quillmere {

// One complete raw deflate stream at level 6. Failures become Encode errors.
Result<std::vector<std::uint8_t>> deflate_raw(std::span<const std::uint8_t> data);

// Inflates one raw stream to its end (or until the input runs out). At most
// `keep` output bytes are kept: a hostile payload can inflate a thousandfold,
// so the surplus is only run through the inflater to validate the stream and
// memory stays proportional to what the caller can use. Malformed data gives
// Decompress "corrupt deflate stream", and so does, with an Exact ending, a
// stream without its end marker or with bytes after it.
Result<std::vector<std::uint8_t>> inflate_raw(std::span<const std::uint8_t> payload,
                                              std::size_t keep,
                                              StreamEnding ending = StreamEnding::Open);

}  // namespace quillmere
