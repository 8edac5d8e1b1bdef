// One HDF5 chunk to and from the bytes the filter stores for it. The chunk is
// compressed as one signal, its elements in storage order whatever the
// chunk's shape, so a chunk's stored form is a channel unit like any other.
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
    BoundedPending,   // max_error given, bounded mode not in this build
    Truncated,        // fewer bytes than a container header, or than it claims
    TrailingBytes,    // bytes after the container that nothing accounts for
    WrongLength,      // container's sample count differs from the chunk's
    Codec,            // the codec refused; detail carries its message
  };
  Kind kind = Kind::Codec;
  std::string detail;
  std::string message() const;
};

template <class T>
using ChunkResult = std::expected<T, ChunkError>;

// Whether chunks can be written with these parameters at all; checked when
// the dataset is created, so a refusal never reaches a chunk (HDF5 would
// store an optional filter's failed chunk uncompressed, silently).
ChunkResult<void> check_writable(const FilterParams& params);

// raw: the chunk as HDF5 holds it, elements of params.element.
ChunkResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                    const FilterParams& params);

// stored: what encode_chunk gave (possibly damaged). Returns the chunk's raw
// bytes, exactly params.chunk_samples elements of params.element.
ChunkResult<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> stored,
                                                    const FilterParams& params);

}  // namespace quillmere::hdf5
