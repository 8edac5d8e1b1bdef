// One HDF5 chunk to and from the bytes the filter stores for it.
//
// Layout 2: the chunk is split into channels along its time axis (for a
// (frames, channels) chunk, each column is one channel), each channel is
// coded as a channel unit, byte for byte what every other front end writes
// for the same samples and settings, and the units are framed with the
// chunk's length and checksum (chunk_frame.hpp). A chunk the codec refuses,
// or one that would grow, is framed raw instead, so writing never fails on
// the data.
//
// Layout 1: the chunk flattened in storage order as one bare channel unit,
// as the first release wrote it.
//
// Nothing here knows HDF5: the plugin hands raw bytes in and out.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "filter_params.hpp"

namespace quillmere::hdf5 {

// The text of a fault of this code (the out-of-memory text is the codec's).
inline constexpr std::string_view kInternalErrorText = "internal error";

struct ChunkError {
  enum class Kind : std::uint8_t {
    ElementUnknown,   // cd_values never got the element type / chunk size
    RaggedChunk,      // byte count not a whole number of elements
    EmptyChunk,
    TooLarge,         // more samples than a container may carry
    WrongLength,      // a chunk (or a stored unit) of another sample count
    WrongPrecision,   // a float64 unit stored in a float32 dataset
    WrongLayout,      // the chunk's frame disagrees with the dataset's cd_values
    Encode,           // the channel-unit library refused the samples (layout 1)
    Corrupt,          // the stored bytes are not a chunk it reads
    OutOfMemory,
    Internal,         // a fault of this code, never of the chunk (quillmere/caught_exception.hpp)
  };
  Kind kind = Kind::Corrupt;
  std::string detail;
  std::string message() const;
};

template <class T>
using ChunkResult = std::expected<T, ChunkError>;

// raw: the chunk as HDF5 holds it, params.chunk_samples elements of
// params.element.
ChunkResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                    const FilterParams& params);

// stored: what encode_chunk gave (possibly damaged). Returns the chunk's raw
// bytes, exactly params.chunk_samples elements of params.element; nothing
// larger is ever allocated for the result.
ChunkResult<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> stored,
                                                    const FilterParams& params);

}  // namespace quillmere::hdf5
