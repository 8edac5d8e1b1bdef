// The codec's single error type. Every fallible codec operation returns
// std::expected<T, QuillmereError>; callers show message() verbatim, so the
// texts here are what users read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace quillmere {

// What every library of this project says when memory runs out and no
// count is worth reporting: the reason of an Encode or Decompress error
// when a coder's working memory cannot be had (the OutOfMemory kind, with
// its element count, belongs to the coefficient vector alone), and the
// channel library's and the HDF5 filter's out-of-memory text.
inline constexpr std::string_view kOutOfMemoryText = "out of memory";

// Tag values are part of the error's identity (0..11); keep the order.
enum class ErrorKind : std::uint8_t {
  InvalidMethod = 0,
  InvalidMagic = 1,
  InvalidFormatTag = 2,
  InvalidVersion = 3,
  Transform = 4,
  Encode = 5,
  OutOfMemory = 6,
  InvalidHeader = 7,
  UnsupportedConfiguration = 8,
  Decompress = 9,
  UnsupportedScale = 10,
  UnknownCoder = 11,
};

class [[nodiscard]] QuillmereError {
 public:
  static QuillmereError invalid_method(std::array<std::uint8_t, 4> raw);
  static QuillmereError invalid_magic(std::array<std::uint8_t, 4> raw);
  static QuillmereError invalid_format_tag(std::array<std::uint8_t, 2> raw);
  static QuillmereError invalid_version(std::array<std::uint8_t, 2> raw);
  static QuillmereError transform(std::string text);
  static QuillmereError encode(std::string text);
  static QuillmereError encode_out_of_memory() { return encode(std::string(kOutOfMemoryText)); }
  static QuillmereError out_of_memory(std::size_t elements);
  static QuillmereError invalid_header();
  static QuillmereError unsupported_configuration(std::string text);
  static QuillmereError decompress(std::string reason);
  static QuillmereError decompress_out_of_memory() { return decompress(std::string(kOutOfMemoryText)); }
  static QuillmereError unsupported_scale(std::uint8_t scale);
  static QuillmereError unknown_coder(std::uint8_t coder);

  ErrorKind kind() const noexcept { return kind_; }
  // The display text, e.g. "Can't decompress data, reason: Stream truncated".
  std::string message() const;
  // The carried string of Transform/Encode/UnsupportedConfiguration/Decompress.
  const std::string& text() const noexcept { return text_; }

  friend bool operator==(const QuillmereError&, const QuillmereError&) = default;

 private:
  explicit QuillmereError(ErrorKind kind) noexcept : kind_(kind) {}
  // The three payloads an error can carry: raw header bytes (up to four),
  // a text, or a number.
  static QuillmereError with_raw(ErrorKind kind, std::span<const std::uint8_t> raw);
  static QuillmereError with_text(ErrorKind kind, std::string text);
  static QuillmereError with_number(ErrorKind kind, std::uint64_t number);

  ErrorKind kind_;
  std::uint8_t raw_len_ = 0;
  std::array<std::uint8_t, 4> raw_{};
  std::uint64_t number_ = 0;
  std::string text_;
};

template <class T>
using Result = std::expected<T, QuillmereError>;

}  // namespace quillmere
