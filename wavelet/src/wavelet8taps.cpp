#include "wavelet/wavelet8taps.hpp"

#include <algorithm>
#include <cstddef>

#include "kernel_dispatch.hpp"
#include "multi_level.hpp"
#include "output.hpp"
#include "wavelet/filters.hpp"

namespace wavelet {
namespace {

using detail::Output;
using Taps = std::array<float, Wavelet8Taps::kTaps>;

// Outputs per block between two Output::reach calls.
constexpr std::size_t kBlock = 2048;

// floor((n + 7) / 2) without overflowing for any n.
constexpr std::size_t half_length(std::size_t n) noexcept { return n / 2 + 3 + n % 2; }

// 2A - 6; fewer than 3 coefficients reach no output sample at all, and
// saturating keeps absurd counts from wrapping round.
constexpr std::size_t output_length(std::size_t count) noexcept {
  if (count < 3) return 0;
  return count - 3 > static_cast<std::size_t>(-1) / 2 ? static_cast<std::size_t>(-1)
                                                      : 2 * (count - 3);
}

// One output of analysis: the window w(0..7) = x_ext[2t-6 .. 2t+1] against
// the filter. Summed as a balanced tree (shorter dependency chains than a
// running sum); the interior and the border outputs share this function, so
// a value does not depend on which path computed it. The window is read
// through an accessor so the interior can index x itself, which keeps the
// compiler's knowledge that x does not overlap the outputs.
template <class Window>
inline float dot8(Window w, const Taps& f) noexcept {
  return ((w(0) * f[0] + w(1) * f[1]) + (w(2) * f[2] + w(3) * f[3])) +
         ((w(4) * f[4] + w(5) * f[5]) + (w(6) * f[6] + w(7) * f[7]));
}

// Outputs whose whole window lies inside x: a plain dot product per output,
// reading x in place with a stride of two. A function of its own so that
// its restrict parameters hold (inlined, GCC loses them and guards the
// vector loop with overlap tests); the taps come by value so that stores
// through a and d cannot alias them and they stay in registers.
WAVELET_HOT_KERNEL void analyse_interior(const float* __restrict x, float* __restrict a,
                                         float* __restrict d, std::size_t begin, std::size_t end,
                                         const Taps lo, const Taps hi) noexcept {
  for (std::size_t t = begin; t < end; ++t) {
    const auto w = [&](std::size_t k) { return x[2 * t - 6 + k]; };
    a[t] = dot8(w, lo);
    d[t] = dot8(w, hi);
  }
}

// Output t reads x_ext[2t-6 .. 2t+1]: t < 3 reaches left of x[0] and
// t >= n - A + 3 right of x[n-1]; only those look at the border mode.
void analyse(std::span<const float> x, Output a_out, Output d_out, std::size_t count,
             const Taps& lo, const Taps& hi, BorderMode border) noexcept {
  float* const a = a_out.data();
  float* const d = d_out.data();
  const std::size_t n = x.size();
  const std::size_t interior_end = n - count + 3;  // n >= 8 keeps this in [4, count)

  auto edge = [&](std::size_t t) noexcept {
    float w[Wavelet8Taps::kTaps];
    for (std::size_t k = 0; k < Wavelet8Taps::kTaps; ++k) {
      w[k] = extended_sample(x, static_cast<std::ptrdiff_t>(2 * t + k) - 6, border);
    }
    const auto window = [&](std::size_t k) { return w[k]; };
    a[t] = dot8(window, lo);
    d[t] = dot8(window, hi);
  };

  a_out.reach(3);
  d_out.reach(3);
  for (std::size_t t = 0; t < 3; ++t) edge(t);
  for (std::size_t begin = 3; begin < interior_end;) {
    const std::size_t end = std::min(begin + kBlock, interior_end);
    a_out.reach(end);
    d_out.reach(end);
    analyse_interior(x.data(), a, d, begin, end, lo, hi);
    begin = end;
  }
  a_out.reach(count);
  d_out.reach(count);
  for (std::size_t t = interior_end; t < count; ++t) edge(t);
}

// Synthesis, gathered per output: y[m] receives hi[k] d[j] + lo[k] a[j] for
// every m = 2j - 6 + k. For m = 2p the taps are k = 0, 2, 4, 6 with
// j = p+3, p+2, p+1, p; for m = 2p+1 the odd taps with the same j. Outputs
// run to M = 2A - 6, i.e. p < A - 3, so j stays within 0..A-1: the
// contributions cropped away are exactly those never gathered, and the loop
// needs no border tests.
WAVELET_HOT_KERNEL void synthesise(const float* __restrict a, const float* __restrict d,
                                   Output y_out, std::size_t count, const Taps lo,
                                   const Taps hi) noexcept {
  float* __restrict y = y_out.data();
  const std::size_t pairs = output_length(count) / 2;
  for (std::size_t begin = 0; begin < pairs;) {
    const std::size_t end = std::min(begin + kBlock, pairs);
    y_out.reach(2 * end);
    for (std::size_t p = begin; p < end; ++p) {
      const float even =
          ((hi[0] * d[p + 3] + lo[0] * a[p + 3]) + (hi[2] * d[p + 2] + lo[2] * a[p + 2])) +
          ((hi[4] * d[p + 1] + lo[4] * a[p + 1]) + (hi[6] * d[p] + lo[6] * a[p]));
      const float odd =
          ((hi[1] * d[p + 3] + lo[1] * a[p + 3]) + (hi[3] * d[p + 2] + lo[3] * a[p + 2])) +
          ((hi[5] * d[p + 1] + lo[5] * a[p + 1]) + (hi[7] * d[p] + lo[7] * a[p]));
      y[2 * p] = y[2 * p] + even;
      y[2 * p + 1] = y[2 * p + 1] + odd;
    }
    begin = end;
  }
}

TransformResult<void> check_inverse(std::size_t a, std::size_t d, std::size_t m) noexcept {
  if (a != d) return std::unexpected(TransformError::approx_details_mismatch(a, d));
  const std::size_t want = output_length(a);
  if (m != want) return std::unexpected(TransformError::output_size_mismatch(want, m));
  return {};
}

void forward_level(const IncompleteDwtExecutor& self, std::span<const float> x, Output a,
                   Output d) noexcept {
  const auto& bank = static_cast<const Wavelet8Taps&>(self);
  analyse(x, a, d, half_length(x.size()), bank.low_pass(), bank.high_pass(), bank.border_mode());
}

void inverse_level(const IncompleteDwtExecutor& self, std::span<const float> a,
                   std::span<const float> d, Output y) noexcept {
  const auto& bank = static_cast<const Wavelet8Taps&>(self);
  synthesise(a.data(), d.data(), y, a.size(), bank.low_pass(), bank.high_pass());
}

constexpr detail::LevelKernels kKernels{forward_level, check_inverse, inverse_level, nullptr};

}  // namespace

Wavelet8Taps::Wavelet8Taps(BorderMode border, const std::array<float, kTaps>& low_pass) noexcept
    : border_(border), lo_(low_pass), hi_(low_pass_to_high(low_pass)) {}

TransformResult<void> Wavelet8Taps::execute_forward(std::span<const float> input,
                                                    std::span<float> approximation,
                                                    std::span<float> details) const noexcept {
  const std::size_t n = input.size();
  if (n < kTaps) return std::unexpected(TransformError::input_too_short(n, kTaps));
  const std::size_t count = half_length(n);
  if (approximation.size() != count) {
    return std::unexpected(TransformError::half_length_mismatch(approximation.size()));
  }
  if (details.size() != count) {
    return std::unexpected(TransformError::half_length_mismatch(details.size()));
  }
  forward_level(*this, input, Output(approximation), Output(details));
  return {};
}

DwtSize Wavelet8Taps::dwt_size(std::size_t n) const noexcept {
  return {half_length(n), half_length(n)};
}

TransformResult<void> Wavelet8Taps::execute_inverse(std::span<const float> approximation,
                                                    std::span<const float> details,
                                                    std::span<float> output) const noexcept {
  if (auto fits = check_inverse(approximation.size(), details.size(), output.size()); !fits)
    return fits;
  inverse_level(*this, approximation, details, Output(output));
  return {};
}

std::size_t Wavelet8Taps::idwt_size(std::size_t a, std::size_t) const noexcept {
  return output_length(a);
}

std::size_t Wavelet8Taps::filter_length() const noexcept { return kTaps; }

const detail::LevelKernels* Wavelet8Taps::level_kernels() const noexcept { return &kKernels; }

}  // namespace wavelet
