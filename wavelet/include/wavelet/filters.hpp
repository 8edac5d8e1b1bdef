// Published orthonormal scaling filters and the quadrature-mirror rule that
// derives their high-pass partners.
//
// Tables are kept in f64 in the published order: in analysis the first tap
// multiplies the earliest sample of a window, in synthesis it feeds the
// earliest output sample. Executors convert each tap to the nearest f32.
// Only the 8-tap members (db4, sym4) are held: Wavelet8Taps is the only
// filter bank here, so no other member could be built into an executor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace wavelet {

// Index into the Daubechies table; member i has 2i + 2 taps.
enum class DaubechiesFamily : std::uint8_t { Db4 = 3 };

// The f64 taps of a member, or an empty span for members not held.
std::span<const double> daubechies_taps(DaubechiesFamily member) noexcept;
// Symlet table, indexed from the two-vanishing-moment member; member i has
// 2i + 4 taps, so index 2 is sym4.
std::span<const double> symlet_taps(std::uint8_t index) noexcept;

// The member's low-pass taps, each the nearest f32 to its table entry.
// Empty when the member is not held (or the vector cannot be allocated).
std::vector<float> get_wavelet(DaubechiesFamily member) noexcept;
std::vector<float> get_symlet(std::uint8_t index) noexcept;

// hi[k] = (-1)^k lo[N-1-k]: the high-pass filter that makes {lo, hi} an
// orthogonal pair, so the same two filters serve analysis and synthesis.
template <std::size_t N>
constexpr std::array<float, N> low_pass_to_high(const std::array<float, N>& lo) noexcept {
  std::array<float, N> hi{};
  for (std::size_t k = 0; k < N; ++k) hi[k] = (k % 2 == 0) ? lo[N - 1 - k] : -lo[N - 1 - k];
  return hi;
}

}  // namespace wavelet
