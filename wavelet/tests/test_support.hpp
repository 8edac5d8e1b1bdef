// Helpers shared by the wavelet tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace wavelet::testing {

// Deterministic pseudo-random samples in [-1, 1).
inline std::vector<float> random_signal(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

inline std::vector<float> ramp(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(i);
  return x;
}

// Bit-for-bit equality: the codec's bytes depend on every rounding.
inline ::testing::AssertionResult same_bits(std::span<const float> got,
                                            std::span<const float> want) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "length " << got.size() << " vs " << want.size();
  }
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(got[i]) != std::bit_cast<std::uint32_t>(want[i])) {
      return ::testing::AssertionFailure()
             << "first difference at " << i << ": " << got[i] << " vs " << want[i];
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult close_to(std::span<const float> got, std::span<const float> want,
                                           float tolerance) {
  if (got.size() < want.size()) {
    return ::testing::AssertionFailure() << "length " << got.size() << " < " << want.size();
  }
  for (std::size_t i = 0; i < want.size(); ++i) {
    const float diff = got[i] > want[i] ? got[i] - want[i] : want[i] - got[i];
    if (!(diff <= tolerance)) {
      return ::testing::AssertionFailure() << "at " << i << ": " << got[i] << " vs " << want[i]
                                           << " (tolerance " << tolerance << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace wavelet::testing
