// The filter's parameters as HDF5 stores them: a fixed run of unsigned
// 32-bit cd_values in the dataset's filter pipeline message. The layout is
// part of every file written with the filter, so indices and encodings never
// change within a layout version; a new layout gets a new version number.
//
//   [0]  layout version, 1
//   [1]  element type: 0 not yet known, 1 f32 LE, 2 f64 LE, 3 f32 BE, 4 f64 BE
//   [2]  samples per chunk, 0 when not yet known
//   [3]  method  (Method: 0 cdf53, 1 cdf97, 2 db4, 3 sym4)
//   [4]  scale   6..12
//   [5]  cutoff  (Cutoff: 0 low, 1 medium, 2 high)
//   [6]  coder   (Coder: 0 deflate, 1 arans, 2 cmodel, 255 auto)
//   [7]  flags: 1 quant_multiplier given, 2 max_error given (not both)
//   [8]  quant_multiplier, float32 bits (0 when not given)
//   [9]  max_error, float64 bits, low word  (0 when not given)
//   [10] max_error, float64 bits, high word
//
// Writers leave [1] and [2] at 0; the filter's set_local callback fills them
// from the dataset when it is created, so a reader needs nothing but the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "quillmere/options.hpp"

namespace quillmere::hdf5 {

// Provisional: taken from the range HDF5 leaves to unregistered filters
// (256..511) until an identifier is registered with the HDF Group.
inline constexpr int kFilterId = 317;
inline constexpr const char* kFilterName = "quillmere (provisional id 317)";

inline constexpr std::uint32_t kLayoutVersion = 1;
inline constexpr std::size_t kParamCount = 11;

namespace param {
inline constexpr std::size_t kVersion = 0;
inline constexpr std::size_t kElement = 1;
inline constexpr std::size_t kChunkSamples = 2;
inline constexpr std::size_t kMethod = 3;
inline constexpr std::size_t kScale = 4;
inline constexpr std::size_t kCutoff = 5;
inline constexpr std::size_t kCoder = 6;
inline constexpr std::size_t kFlags = 7;
inline constexpr std::size_t kMultiplier = 8;
inline constexpr std::size_t kMaxErrorLow = 9;
inline constexpr std::size_t kMaxErrorHigh = 10;
}  // namespace param

inline constexpr std::uint32_t kFlagMultiplier = 1u << 0;
inline constexpr std::uint32_t kFlagMaxError = 1u << 1;

enum class ElementType : std::uint8_t { Unknown = 0, F32LE = 1, F64LE = 2, F32BE = 3, F64BE = 4 };

inline std::size_t element_size(ElementType t) noexcept {
  return (t == ElementType::F64LE || t == ElementType::F64BE) ? 8 : 4;
}
inline bool is_big_endian(ElementType t) noexcept {
  return t == ElementType::F32BE || t == ElementType::F64BE;
}

struct FilterParams {
  ElementType element = ElementType::Unknown;
  std::uint32_t chunk_samples = 0;  // 0: not known, not checked
  CodecOptions options;
  std::optional<double> max_error;
};

// Which cd_value is wrong and what it held; message() names both.
struct ParamError {
  enum class Kind : std::uint8_t { Count, Version, Element, ChunkSamples, Method, Scale, Cutoff,
                                   Coder, Flags, Multiplier, MaxError };
  Kind kind = Kind::Count;
  std::size_t index = 0;
  std::uint64_t value = 0;  // the raw word (or the count, for Count)
  std::string message() const;
};

// Validates every word; values a writer may leave unset ([1], [2]) are
// accepted as 0 here and checked where they are needed.
std::expected<FilterParams, ParamError> parse_params(std::span<const unsigned> cd_values);

}  // namespace quillmere::hdf5
