// The filter's parameters as HDF5 stores them: a fixed run of unsigned
// 32-bit cd_values in the dataset's filter pipeline message. The layout is
// part of every file written with the filter, so indices and encodings never
// change within a layout version; a new layout gets a new version number.
//
// Layout 2 (written by this version), 24 words:
//   [0]  layout version, 2
//   [1]  element type: 0 not yet known, 1 f32 LE, 2 f64 LE, 3 f32 BE, 4 f64 BE
//   [2]  samples per chunk (all its elements), 0 when not yet known
//   [3]  frames per chunk: the chunk's extent along the time axis, 0 when not yet known
//   [4]  channel stride: the product of the chunk's extents after the time
//        axis (elements between two frames of one channel), 0 when not yet known
//   [5]  time axis, 0 .. rank-1 (0: a (frames, channels) chunk)
//   [6]  method  (Method: 0 cdf53, 1 cdf97, 2 db4, 3 sym4)
//   [7]  scale   6..12
//   [8]  cutoff  (Cutoff: 0 low, 1 medium, 2 high)
//   [9]  coder   (Coder: 0 deflate, 1 arans, 2 cmodel, 255 auto)
//   [10] flags: which of the following are given (see kFlag*)
//   [11] quant_multiplier, float32 bits (0 when not given)
//   [12..13] max_error  }
//   [14..15] rmse       }  float64 bits, low word then high word,
//   [16..17] prd        }  0 when not given
//   [18..19] psnr       }
//   [20..21] bits_per_sample }
//   [22] reserved, 0
//   [23] check word: CRC-32 of words 0..22 (little-endian bytes), 0 when not
//        yet known
//
// Writers leave [1] to [4] and [23] at 0; the filter's set_local callback
// fills them from the dataset when it is created, so a reader needs nothing
// but the file, and an altered word (a flipped element type, a forged chunk
// size) fails the check word before any chunk is decoded.
//
// Layout 1 (the first release), 11 words, is still read and written for the
// datasets that carry it: [0] 1, [1] element, [2] samples per chunk, [3]
// method, [4] scale, [5] cutoff, [6] coder, [7] flags (1 multiplier, 2
// max_error), [8] multiplier, [9..10] max_error. Its chunks are bare channel
// units of the flattened chunk.
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

inline constexpr std::uint32_t kLayoutVersion = 2;
inline constexpr std::uint32_t kLegacyLayoutVersion = 1;
inline constexpr std::size_t kParamCount = 24;
inline constexpr std::size_t kLegacyParamCount = 11;

namespace param {
inline constexpr std::size_t kVersion = 0;
inline constexpr std::size_t kElement = 1;
inline constexpr std::size_t kChunkSamples = 2;
inline constexpr std::size_t kFrames = 3;
inline constexpr std::size_t kStride = 4;
inline constexpr std::size_t kTimeAxis = 5;
inline constexpr std::size_t kMethod = 6;
inline constexpr std::size_t kScale = 7;
inline constexpr std::size_t kCutoff = 8;
inline constexpr std::size_t kCoder = 9;
inline constexpr std::size_t kFlags = 10;
inline constexpr std::size_t kMultiplier = 11;
inline constexpr std::size_t kMaxError = 12;  // each bound takes two words
inline constexpr std::size_t kRmse = 14;
inline constexpr std::size_t kPrd = 16;
inline constexpr std::size_t kPsnr = 18;
inline constexpr std::size_t kBitsPerSample = 20;
inline constexpr std::size_t kReserved = 22;
inline constexpr std::size_t kCheck = 23;
}  // namespace param

inline constexpr std::uint32_t kFlagMultiplier = 1u << 0;
inline constexpr std::uint32_t kFlagMaxError = 1u << 1;
inline constexpr std::uint32_t kFlagMaxErrorOfRange = 1u << 2;  // a fraction of the range
inline constexpr std::uint32_t kFlagRmse = 1u << 3;
inline constexpr std::uint32_t kFlagRmseOfRange = 1u << 4;
inline constexpr std::uint32_t kFlagPrd = 1u << 5;
inline constexpr std::uint32_t kFlagPsnr = 1u << 6;
inline constexpr std::uint32_t kFlagBitsPerSample = 1u << 7;
inline constexpr std::uint32_t kAllFlags = (1u << 8) - 1;

enum class ElementType : std::uint8_t { Unknown = 0, F32LE = 1, F64LE = 2, F32BE = 3, F64BE = 4 };

inline std::size_t element_size(ElementType t) noexcept {
  return (t == ElementType::F64LE || t == ElementType::F64BE) ? 8 : 4;
}
inline bool is_big_endian(ElementType t) noexcept {
  return t == ElementType::F32BE || t == ElementType::F64BE;
}

// The bounds as the writer gave them. max_error and rmse may be fractions of
// each channel's range within the chunk (the "0.1%" form), resolved when the
// chunk is coded.
struct ChunkBounds {
  std::optional<double> max_error;
  bool max_error_of_range = false;
  std::optional<double> rmse;
  bool rmse_of_range = false;
  std::optional<double> prd;
  std::optional<double> psnr;
  std::optional<double> bits_per_sample;
  bool any() const noexcept { return max_error || rmse || prd || psnr || bits_per_sample; }
};

struct FilterParams {
  std::uint32_t layout = kLayoutVersion;
  ElementType element = ElementType::Unknown;
  std::uint32_t chunk_samples = 0;  // 0: not known yet
  std::uint32_t frames = 0;         // layout 2: samples of one channel in a chunk
  std::uint32_t stride = 0;         // layout 2: elements between a channel's frames
  std::uint32_t time_axis = 0;      // layout 2
  CodecOptions options;
  ChunkBounds bounds;

  bool known() const noexcept { return element != ElementType::Unknown && chunk_samples != 0; }
  // Layout 2: channels in a chunk (chunk_samples / frames), once known.
  std::uint32_t channels() const noexcept { return frames ? chunk_samples / frames : 0; }
};

// Which cd_value is wrong and what it held; message() names both.
struct ParamError {
  enum class Kind : std::uint8_t { Count, Version, Element, ChunkSamples, Frames, Stride,
                                   TimeAxis, Method, Scale, Cutoff, Coder, Flags, Multiplier,
                                   Bound, Reserved, Check };
  Kind kind = Kind::Count;
  std::size_t index = 0;
  std::uint64_t value = 0;  // the raw word (two words for a bound; the count, for Count)
  std::uint64_t expected = 0;  // Check: the word the others give
  std::uint32_t layout = kLayoutVersion;  // whose word names to use
  std::string message() const;
};

// When the words are read: at dataset creation the words the filter fills
// in may still be 0 (or hold a copied dataset's values, which set_local
// replaces); on a chunk every word must be filled in and consistent.
enum class Stage : std::uint8_t { Creation, Chunk };

std::expected<FilterParams, ParamError> parse_params(std::span<const unsigned> cd_values,
                                                     Stage stage);

// The check word of a layout-2 set (CRC-32 of words 0..22).
std::uint32_t check_word(std::span<const unsigned> cd_values) noexcept;

}  // namespace quillmere::hdf5
