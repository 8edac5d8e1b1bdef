// The option record handed to compress(). Enumerator values are stored in
// containers and are what callers pass in, so they are fixed.
#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

enum class Method : std::uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };
enum class Cutoff : std::uint8_t { Low = 0, Medium = 1, High = 2 };
// Fast is written only by the tools' formats; the module neither makes nor
// reads it.
enum class Coder : std::uint8_t { Deflate = 0, Arans = 1, CModel = 2, Fast = 3, Auto = 255 };

// Coder ids as written in the header (Auto never reaches a container).
inline constexpr std::uint8_t kCoderDeflate = 0;
inline constexpr std::uint8_t kCoderArans = 1;
inline constexpr std::uint8_t kCoderCModel = 2;
inline constexpr std::uint8_t kCoderFast = 3;

// The highest coder id each reader takes: the module's own and the tools'.
inline constexpr std::uint8_t kLastModuleCoder = kCoderCModel;
inline constexpr std::uint8_t kLastToolsCoder = kCoderFast;

// The scales a container may carry: 2^6 to 2^12 as multiplier and the rows
// of the dead-zone table. Every check of a scale uses this one range.
inline constexpr std::uint8_t kMinScale = 6;
inline constexpr std::uint8_t kMaxScale = 12;
constexpr bool is_supported_scale(std::uint8_t scale) noexcept {
  return scale >= kMinScale && scale <= kMaxScale;
}

struct CodecOptions {
  std::optional<float> quant_multiplier;  // absent: 2^scale
  Cutoff cutoff = Cutoff::Low;
  Method method = Method::Cdf97;
  Coder coder = Coder::Auto;
  std::uint8_t scale = 11;  // is_supported_scale, checked by the caller
};

}  // namespace quillmere
