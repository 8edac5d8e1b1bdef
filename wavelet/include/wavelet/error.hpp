// The transform's error: one small enumeration, the numbers each variant
// carries, and the texts shown to users (kept in error.cpp next to one
// another so they cannot drift apart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wavelet {

enum class TransformErrorKind : std::uint8_t {
  AllocationFailed,
  HalfLengthMismatch,
  ApproxDetailsMismatch,
  OutputSizeMismatch,
  InputTooShort,
  LevelTooDeep,
  ApproximateSizeMismatch,
  DetailsSizeMismatch,
  ZeroSizedInput,
};

class [[nodiscard]] TransformError {
 public:
  static TransformError allocation_failed(std::size_t bytes) noexcept {
    return {TransformErrorKind::AllocationFailed, bytes, 0};
  }
  static TransformError half_length_mismatch(std::size_t length) noexcept {
    return {TransformErrorKind::HalfLengthMismatch, length, 0};
  }
  static TransformError approx_details_mismatch(std::size_t approximation,
                                                std::size_t details) noexcept {
    return {TransformErrorKind::ApproxDetailsMismatch, approximation, details};
  }
  static TransformError output_size_mismatch(std::size_t required, std::size_t given) noexcept {
    return {TransformErrorKind::OutputSizeMismatch, required, given};
  }
  static TransformError input_too_short(std::size_t length, std::size_t minimum) noexcept {
    return {TransformErrorKind::InputTooShort, length, minimum};
  }
  static TransformError level_too_deep() noexcept {
    return {TransformErrorKind::LevelTooDeep, 0, 0};
  }
  static TransformError approximate_size_mismatch(std::size_t given,
                                                  std::size_t required) noexcept {
    return {TransformErrorKind::ApproximateSizeMismatch, given, required};
  }
  static TransformError details_size_mismatch(std::size_t given, std::size_t required) noexcept {
    return {TransformErrorKind::DetailsSizeMismatch, given, required};
  }
  static TransformError zero_sized_input() noexcept {
    return {TransformErrorKind::ZeroSizedInput, 0, 0};
  }

  TransformErrorKind kind() const noexcept { return kind_; }
  // The numbers in the order the message shows them; unused ones are 0.
  std::size_t first() const noexcept { return first_; }
  std::size_t second() const noexcept { return second_; }

  // Builds a string, so it may throw std::bad_alloc; the library itself
  // never calls it.
  std::string message() const;

  friend bool operator==(const TransformError&, const TransformError&) = default;

 private:
  TransformError(TransformErrorKind kind, std::size_t first, std::size_t second) noexcept
      : kind_(kind), first_(first), second_(second) {}

  TransformErrorKind kind_;
  std::size_t first_;
  std::size_t second_;
};

}  // namespace wavelet
