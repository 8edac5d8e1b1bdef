// Exact arithmetic the integer unit's per-sample loops share: rounding to
// the nearest integer without a library call, and the marker that compiles
// a loop twice (baseline ISA and AVX2) where both give the same bits.
// Internal to the channel library.
#pragma once

#include <cmath>

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

}  // namespace quillmere_tools
