// Exact arithmetic the integer unit's per-sample loops share: rounding to
// the nearest integer without a library call, and the marker that compiles
// a loop twice (baseline ISA and AVX2) where both give the same bits.
// Internal to the channel library.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SANITIZE_THREAD__)
#define QUILLMERE_INTEGER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMERE_INTEGER_THREAD_SANITIZER 1
#endif
#endif

// The loops so marked only add, multiply, compare and convert, each value
// on its own or in a fixed order, with contraction off (AVX2 alone has no
// FMA), so both clones give the same bits; the loader picks one per machine
// (an ifunc), which the ThreadSanitizer runtime is not up for.
#if defined(WAVELET_BASELINE_ISA) || defined(QUILLMERE_INTEGER_THREAD_SANITIZER) || \
    !defined(__x86_64__) || !defined(__linux__) || !defined(__GNUC__)
#define QUILLMERE_INTEGER_CLONES
#else
#define QUILLMERE_INTEGER_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace quillmere_tools {

// std::nearbyint(q) in the default rounding mode (to nearest, ties to even),
// which the baseline ISA has no instruction for: below 2^51 in magnitude,
// adding and subtracting 1.5 * 2^52 leaves exactly q rounded so, since the
// sum's last bit is worth one. Larger values (and NaN) take the library.
// A zero may come back with the other sign, which no caller can tell apart
// (they convert to an integer or add the result to a step multiple).
inline double round_to_nearest(double q) noexcept {
  constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
  constexpr double kExactBelow = 2251799813685248.0;  // 2^51
  if (!(std::fabs(q) < kExactBelow)) return std::nearbyint(q);
  // Without reassociation (never -ffast-math) the compiler keeps both steps.
  return (q + kMagic) - kMagic;
}

// Below 2^50 in magnitude, static_cast<std::int64_t>(q + std::copysign(0.5,
// q)) (q rounded half away from zero) in double operations alone, which run
// as vectors where a conversion to int64 has none before AVX-512: the sum
// t is the same double, its nearest integer by the addition of 1.5 * 2^52
// is stepped one towards zero where it lies past t (the truncation), and
// the integer is the bits of that plus 1.5 * 2^52 less those of 1.5 * 2^52.
inline std::int64_t rounded_half_away(double q) noexcept {
  constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
  const auto magic_bits = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(kMagic));
  const double t = q + std::copysign(0.5, q);
  double whole = (t + kMagic) - kMagic;
  whole = t >= 0.0 ? (whole > t ? whole - 1.0 : whole) : (whole < t ? whole + 1.0 : whole);
  return static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(whole + kMagic)) - magic_bits;
}

// rounded_half_away of `count` quotients, four at a time in vectors of the
// same operations (the compiler leaves the scalar form's selects as
// branches), the rest one at a time.
[[gnu::always_inline]] inline void rounded_half_away_run(const double* q, std::size_t count,
                                                         std::int64_t* k) noexcept {
  using Quad = double __attribute__((vector_size(32)));
  using Words = std::int64_t __attribute__((vector_size(32)));
  constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
  const Quad magic = Quad{} + kMagic, zero = Quad{}, one = zero + 1.0, half = zero + 0.5;
  const Words magic_bits = Words{} + static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(kMagic));
  const Words sign = Words{} + std::numeric_limits<std::int64_t>::min();
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    Quad v;
    std::memcpy(&v, q + i, sizeof v);
    // copysign(0.5, v): the half with v's sign bit.
    const Quad signed_half = reinterpret_cast<Quad>(reinterpret_cast<Words>(half) | (reinterpret_cast<Words>(v) & sign));
    const Quad t = v + signed_half;
    Quad whole = (t + magic) - magic;
    const Quad down = whole > t ? whole - one : whole;
    const Quad up = whole < t ? whole + one : whole;
    whole = t >= zero ? down : up;
    const Words out = reinterpret_cast<Words>(whole + magic) - magic_bits;
    std::memcpy(k + i, &out, sizeof out);
  }
  for (; i < count; ++i) k[i] = rounded_half_away(q[i]);
}

}  // namespace quillmere_tools
