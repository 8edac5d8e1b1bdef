// The unchecked kernels of Wavelet8Taps, for the multi-level drivers of
// CompletedDwtExecutor (valid only when the inner executor is one).
#pragma once

#include "multi_level.hpp"

namespace wavelet::detail {

extern const LevelKernels kFilterBankKernels;

}  // namespace wavelet::detail
