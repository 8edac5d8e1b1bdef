// One HDF5 chunk to and from the bytes the filter stores for it. The chunk is
// compressed as one signal, its elements in storage order whatever the
// chunk's shape, and stored as a channel unit (the codec's container, then
// the side block when there is anything to restore), byte for byte what
// every other front end writes for the same samples and settings.
// Nothing here knows HDF5: the plugin hands raw bytes in and out.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "filter_params.hpp"

namespace quillmere::hdf5 {

struct ChunkError {
  enum class Kind : std::uint8_t {
    ElementUnknown,   // cd_values never got the element type / chunk size
    RaggedChunk,      // byte count not a whole number of elements
    EmptyChunk,
    TooLarge,         // more samples than a container may carry
    WrongLength,      // a chunk (or a stored unit) of another sample count
    WrongPrecision,   // a float64 unit stored in a float32 dataset
    Encode,           // the channel-unit library refused the samples
    Corrupt,          // the stored bytes are not a unit it reads
  };
  Kind kind = Kind::Corrupt;
  std::string detail;
  std::string message() const;
};

template <class T>
using ChunkResult = std::expected<T, ChunkError>;

// raw: the chunk as HDF5 holds it, elements of params.element.
ChunkResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                    const FilterParams& params);

// stored: what encode_chunk gave (possibly damaged). Returns the chunk's raw
// bytes, exactly params.chunk_samples elements of params.element.
ChunkResult<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> stored,
                                                    const FilterParams& params);

}  // namespace quillmere::hdf5
