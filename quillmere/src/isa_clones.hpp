// QUILLMERE_ISA_CLONES marks a codec function whose loop the compiler
// vectorises and that pays for wider vectors: on x86-64 it is compiled for
// the baseline ISA and for AVX2, and the loader picks one per machine (an
// ifunc). Only functions that do exact integer work (or float conversions
// that are exact for their inputs) may carry it, so that both clones give
// the same values and the bytes do not depend on the machine.
//
// Left out, like the transform's clones, under the baseline-ISA build
// option (so that an AVX2 machine can still run and pin the baseline code),
// under ThreadSanitizer (whose runtime is not up when the loader runs the
// resolvers) and off x86-64 Linux. Internal to the codec library.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define QUILLMERE_ISA_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMERE_ISA_THREAD_SANITIZER 1
#endif
#endif

#if defined(WAVELET_BASELINE_ISA) || defined(QUILLMERE_ISA_THREAD_SANITIZER) || !defined(__x86_64__) || \
    !defined(__linux__)
#define QUILLMERE_ISA_CLONES
#elif defined(__GNUC__) || defined(__clang__)
#define QUILLMERE_ISA_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUILLMERE_ISA_CLONES
#endif
