#include "wavelet/border_mode.hpp"

namespace wavelet {
namespace {

// The non-negative remainder, so that Wrap gives x_ext[-1] = x[n - 1].
std::size_t floor_mod(std::ptrdiff_t i, std::size_t period) noexcept {
  const auto p = static_cast<std::ptrdiff_t>(period);
  const std::ptrdiff_t r = i % p;
  return static_cast<std::size_t>(r < 0 ? r + p : r);
}

}  // namespace

float extended_sample(std::span<const float> x, std::ptrdiff_t i, BorderMode mode) noexcept {
  const std::size_t n = x.size();
  if (i >= 0 && static_cast<std::size_t>(i) < n) return x[static_cast<std::size_t>(i)];
  switch (mode) {
    case BorderMode::Clamp:
      return i < 0 ? x.front() : x.back();
    case BorderMode::Wrap:
      return x[floor_mod(i, n)];
    case BorderMode::Symmetric: {
      // Period 2n: a b c d d c b a.
      const std::size_t r = floor_mod(i, 2 * n);
      return x[r < n ? r : 2 * n - 1 - r];
    }
    case BorderMode::Reflect: {
      // Period 2n - 2: a b c d c b; a single sample just repeats.
      if (n == 1) return x[0];
      const std::size_t r = floor_mod(i, 2 * n - 2);
      return x[r < n ? r : 2 * n - 2 - r];
    }
    case BorderMode::Zeros:
      break;
  }
  return 0.0f;
}

}  // namespace wavelet
