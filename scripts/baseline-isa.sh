#!/usr/bin/env bash
# Builds the codec for the x86-64 baseline alone (no AVX2 kernel clones) and
# runs the transform's kernel tests and the conformance vectors on it. The
# vectors pin whole containers and decoded samples, so passing here shows
# that the baseline kernels give the same bytes as the vector kernels that
# the ordinary build runs on machines with AVX2. The channel library's pinned
# integer units do the same for the integer coder, which fits its predictors
# and rebuilds samples (step times code plus offset) in floating point.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/baseline-isa   # the binaryDir of the preset
cmake --preset baseline-isa
cmake --build --preset baseline-isa --target wavelet_tests quillmere_tests quillmere_channel_tests

# No AVX2 instruction may remain in the transform's code (ymm registers are
# what the AVX2 clones use).
if objdump -d "$build/wavelet/libwavelet.a" | grep -q '%ymm'; then
  echo "baseline-isa: AVX2 code found in libwavelet.a" >&2
  exit 1
fi

"$build/wavelet/wavelet_tests"
"$build/quillmere/quillmere_tests" --gtest_filter='Vectors.*:FastCoder.StreamBytesArePinned:FastEncoder.*:Orders/EveryValue.*:Lengths/FastContainer.*'
"$build/channel_unit/quillmere_channel_tests" --gtest_filter='*IntegerPinned.*'
