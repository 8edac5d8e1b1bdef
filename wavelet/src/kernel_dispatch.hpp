// Marks the functions that hold the transform's hot loops.
//
// On x86-64 each such function is compiled three times, for the baseline
// ISA, for AVX2 and (under GCC) for x86-64-v4, and the loader picks one per machine (an
// ifunc). The clones perform the same IEEE additions and multiplications on
// every value in the same order (no FMA: contraction is off, so the v4
// clone forms none either), so the bytes of the result do not depend on the
// machine. The v4 clone keeps the eight-float rows of lanes.hpp but has 32
// vector registers where AVX2 has 16, so the fused loops spill fewer of
// their rows in flight to the stack: about a fifth off a forward transform
// of speech. Under GCC
// `flatten` pulls every step into the clone so the steps get the wider
// vectors too; Clang refuses the combination but inlines the small steps
// into the clone by itself.
//
// ThreadSanitizer instruments the clones' resolvers too, and the loader runs
// those before the sanitizer's runtime is up, so such a build crashes at
// load; it gets the baseline code alone, which computes the same values.
// WAVELET_BASELINE_ISA (the build option QUILLMERE_BASELINE_ISA) leaves the
// AVX2 and v4 clones out as well, so that a build on an AVX2 machine still runs the
// baseline code and CI can hold its bytes to the vectors.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define WAVELET_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WAVELET_THREAD_SANITIZER 1
#endif
#endif

#if defined(WAVELET_BASELINE_ISA) || defined(WAVELET_THREAD_SANITIZER) || \
    !defined(__x86_64__) || !defined(__linux__)
#define WAVELET_HOT_KERNEL
#elif defined(__clang__)
#define WAVELET_HOT_KERNEL __attribute__((target_clones("avx2", "default")))
#elif defined(__GNUC__)
#define WAVELET_HOT_KERNEL __attribute__((target_clones("arch=x86-64-v4", "avx2", "default"), flatten))
#else
#define WAVELET_HOT_KERNEL
#endif
