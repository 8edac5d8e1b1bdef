// The one error type of the channel-unit library. Each failure carries its
// kind (which decides the Python exception) and a finished sentence that
// names the value, bound or byte range at fault.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "quillmere/caught_exception.hpp"
#include "quillmere/error.hpp"
#include "quillmere/header.hpp"

namespace quillmere_tools {

enum class UnitErrorKind : std::uint8_t {
  BadInput,      // the caller's samples or settings cannot be coded as asked
  BadBound,      // a bound that is zero, negative, NaN or infinite
  TargetNotMet,  // the bounds (or the size budget) cannot be reached
  CorruptUnit,   // the bytes are not a unit this library wrote
  Codec,         // the codec refused; the text is its own
  OutOfMemory,
  Internal,      // a fault of this code, never of the input (quillmere/caught_exception.hpp)
};

// The text of every OutOfMemory error: the kind already says what happened,
// and what failed to allocate is of no use to the caller.
using quillmere::kOutOfMemoryText;

struct [[nodiscard]] UnitError {
  UnitErrorKind kind = UnitErrorKind::BadInput;
  std::string message;

  static UnitError out_of_memory() { return {UnitErrorKind::OutOfMemory, std::string(kOutOfMemoryText)}; }
  // A channel longer than a container can carry (quillmere::kMaxSampleCount).
  static UnitError too_many_samples(std::uint64_t count) {
    return {UnitErrorKind::BadInput, "a channel holds at most " + std::to_string(quillmere::kMaxSampleCount) +
                                         " samples, not " + std::to_string(count)};
  }
};

template <class T>
using UnitResult = std::expected<T, UnitError>;

inline std::unexpected<UnitError> unit_error(UnitErrorKind kind, std::string message) {
  return std::unexpected(UnitError{kind, std::move(message)});
}

// Call inside a catch block: the exception in flight as an error value, by
// the one policy of quillmere/caught_exception.hpp. Never throws: when even
// the description cannot be copied, memory has run out.
inline UnitError caught_unit_error() noexcept {
  try {
    return quillmere::on_caught_exception(
        [] { return UnitError::out_of_memory(); },
        [](std::string_view description) { return UnitError{UnitErrorKind::Internal, std::string(description)}; });
  } catch (...) {
    // UnitError's string is empty here, so making it cannot throw.
    return UnitError{UnitErrorKind::OutOfMemory, {}};
  }
}

// Runs `work` and turns whatever it throws into an error value, so that a
// worker pool or an interpreter-free section never sees an exception.
template <class T, class Work>
UnitResult<T> catching(const Work& work) noexcept {
  try {
    return work();
  } catch (...) {
    return std::unexpected(caught_unit_error());
  }
}

}  // namespace quillmere_tools
