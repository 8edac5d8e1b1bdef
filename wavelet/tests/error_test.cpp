#include "wavelet/error.hpp"

#include <gtest/gtest.h>

namespace wavelet {
namespace {

struct MessageCase {
  TransformError error;
  TransformErrorKind kind;
  const char* text;
};

TEST(TransformError, EveryKindShowsItsNumbersInOrder) {
  const MessageCase cases[] = {
      {TransformError::allocation_failed(4096), TransformErrorKind::AllocationFailed,
       "Cannot allocate 4096 bytes to vector"},
      {TransformError::half_length_mismatch(6), TransformErrorKind::HalfLengthMismatch,
       "Approximation and details expected to be half of original signal length but it was 6"},
      {TransformError::approx_details_mismatch(7, 6), TransformErrorKind::ApproxDetailsMismatch,
       "Approx and details must match, but they don't 7x6"},
      {TransformError::output_size_mismatch(3, 4), TransformErrorKind::OutputSizeMismatch,
       "Output size should be 3, but it was 4"},
      {TransformError::input_too_short(2, 3), TransformErrorKind::InputTooShort,
       "Input size 2 can't be less than 3"},
      {TransformError::level_too_deep(), TransformErrorKind::LevelTooDeep,
       "Buffer was too small for provided level"},
      {TransformError::approximate_size_mismatch(5, 4), TransformErrorKind::ApproximateSizeMismatch,
       "Approximate size 5 does not match required size 4"},
      {TransformError::details_size_mismatch(1, 2), TransformErrorKind::DetailsSizeMismatch,
       "Details size 1 does not match required size 2"},
      {TransformError::zero_sized_input(), TransformErrorKind::ZeroSizedInput,
       "Zero sized input is not supported"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.message(), c.text);
  }
}

}  // namespace
}  // namespace wavelet
