#include "quillmere/error.hpp"

#include <algorithm>
#include <span>
#include <string_view>
#include <utility>

#include "quillmere/options.hpp"

namespace quillmere {
namespace {

// Strict UTF-8 check (no overlongs, no surrogates, nothing above U+10FFFF):
// a raw payload is shown as text only when it decodes as a whole.
bool is_valid_utf8(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t c = p[i];
    std::size_t extra;
    std::uint32_t lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

QuillmereError QuillmereError::with_raw(ErrorKind kind, std::span<const std::uint8_t> raw) {
  QuillmereError e(kind);
  std::copy(raw.begin(), raw.end(), e.raw_.begin());
  e.raw_len_ = static_cast<std::uint8_t>(raw.size());
  return e;
}

QuillmereError QuillmereError::with_text(ErrorKind kind, std::string text) {
  QuillmereError e(kind);
  e.text_ = std::move(text);
  return e;
}

QuillmereError QuillmereError::with_number(ErrorKind kind, std::uint64_t number) {
  QuillmereError e(kind);
  e.number_ = number;
  return e;
}

QuillmereError QuillmereError::invalid_method(std::array<std::uint8_t, 4> raw) {
  return with_raw(ErrorKind::InvalidMethod, raw);
}

QuillmereError QuillmereError::invalid_magic(std::array<std::uint8_t, 4> raw) {
  return with_raw(ErrorKind::InvalidMagic, raw);
}

QuillmereError QuillmereError::invalid_format_tag(std::array<std::uint8_t, 2> raw) {
  return with_raw(ErrorKind::InvalidFormatTag, raw);
}

QuillmereError QuillmereError::invalid_version(std::array<std::uint8_t, 2> raw) {
  return with_raw(ErrorKind::InvalidVersion, raw);
}

QuillmereError QuillmereError::transform(std::string text) {
  return with_text(ErrorKind::Transform, std::move(text));
}

QuillmereError QuillmereError::encode(std::string text) {
  return with_text(ErrorKind::Encode, std::move(text));
}

QuillmereError QuillmereError::out_of_memory(std::size_t elements) {
  return with_number(ErrorKind::OutOfMemory, elements);
}

QuillmereError QuillmereError::invalid_header() { return QuillmereError(ErrorKind::InvalidHeader); }

QuillmereError QuillmereError::unsupported_configuration(std::string text) {
  return with_text(ErrorKind::UnsupportedConfiguration, std::move(text));
}

QuillmereError QuillmereError::decompress(std::string reason) {
  return with_text(ErrorKind::Decompress, std::move(reason));
}

QuillmereError QuillmereError::unsupported_scale(std::uint8_t scale) {
  return with_number(ErrorKind::UnsupportedScale, scale);
}

QuillmereError QuillmereError::unknown_coder(std::uint8_t coder) {
  return with_number(ErrorKind::UnknownCoder, coder);
}

std::string QuillmereError::message() const {
  const auto raw_text = [this]() -> std::string {
    if (is_valid_utf8(raw_.data(), raw_len_)) {
      return std::string(reinterpret_cast<const char*>(raw_.data()), raw_len_);
    }
    return std::string(raw_len_, '?');
  };
  const auto quoted = [](std::string_view head, const std::string& body) {
    std::string s(head);
    s += body;
    s += '\'';
    return s;
  };
  switch (kind_) {
    case ErrorKind::InvalidMethod:
    case ErrorKind::InvalidFormatTag:
      return quoted("Invalid compression method '", raw_text());
    case ErrorKind::InvalidMagic:
      return quoted("Magic should be 'QLMR' but it was '", raw_text());
    case ErrorKind::InvalidVersion:
      return quoted("Invalid header version '", raw_text());
    case ErrorKind::Transform:
    case ErrorKind::Encode:
      return text_;
    case ErrorKind::OutOfMemory:
      return "Out of memory, can't allocate additional " + std::to_string(number_);
    case ErrorKind::InvalidHeader:
      return "Header is invalid";
    case ErrorKind::UnsupportedConfiguration:
      return quoted("Unsupported compression configuration '", text_);
    case ErrorKind::Decompress:
      return "Can't decompress data, reason: " + text_;
    case ErrorKind::UnsupportedScale:
      return "Only scaled " + std::to_string(kMinScale) + ".." + std::to_string(kMaxScale) +
             " is supported, but it was " + std::to_string(number_);
    case ErrorKind::UnknownCoder:
      return "Unknown entropy coder " + std::to_string(number_);
  }
  return text_;
}

}  // namespace quillmere
