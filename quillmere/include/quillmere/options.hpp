// The option record handed to compress(). Enumerator values are stored in
// containers and in the Python layer's encoding, so they are fixed.
#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

enum class Method : std::uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };
enum class Cutoff : std::uint8_t { Low = 0, Medium = 1, High = 2 };
enum class Coder : std::uint8_t { Deflate = 0, Arans = 1, CModel = 2, Auto = 255 };

// Coder ids as written in the header (Auto never reaches a container).
inline constexpr std::uint8_t kCoderDeflate = 0;
inline constexpr std::uint8_t kCoderArans = 1;
inline constexpr std::uint8_t kCoderCModel = 2;

struct CodecOptions {
  std::optional<float> quant_multiplier;  // absent: 2^scale
  Cutoff cutoff = Cutoff::Low;
  Method method = Method::Cdf97;
  Coder coder = Coder::Auto;
  std::uint8_t scale = 11;  // 6..12, checked by the caller
};

}  // namespace quillmere
