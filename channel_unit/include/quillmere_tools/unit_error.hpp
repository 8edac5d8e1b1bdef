// The one error type of the channel-unit library. Each failure carries its
// kind (which decides the Python exception) and a finished sentence that
// names the value, bound or byte range at fault.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace quillmere_tools {

enum class UnitErrorKind : std::uint8_t {
  BadInput,      // the caller's samples or settings cannot be coded as asked
  BadBound,      // a bound that is zero, negative, NaN or infinite
  TargetNotMet,  // the bounds (or the size budget) cannot be reached
  CorruptUnit,   // the bytes are not a unit this library wrote
  Codec,         // the codec refused; the text is its own
  OutOfMemory,
};

struct [[nodiscard]] UnitError {
  UnitErrorKind kind = UnitErrorKind::BadInput;
  std::string message;
};

template <class T>
using UnitResult = std::expected<T, UnitError>;

inline std::unexpected<UnitError> unit_error(UnitErrorKind kind, std::string message) {
  return std::unexpected(UnitError{kind, std::move(message)});
}

}  // namespace quillmere_tools
