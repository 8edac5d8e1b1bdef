// Marks the codec's per-sample loops outside the transform (normalisation,
// quantisation, band ranges, dequantisation, denormalisation, the fast
// encoder's token pass) for two compilations on x86-64: the baseline ISA and
// AVX2, the loader picking one per machine (an ifunc). Those loops only
// compare, add, multiply and convert, each value on its own or in a fixed
// order, with contraction off (and AVX2 alone has no FMA), or do exact
// integer work, so both clones give the same bits on every machine. The
// ThreadSanitizer runtime is not up when the loader runs the resolvers,
// hence the sanitizer rule. The
// transform's kernels are marked the same way (wavelet/src/kernel_dispatch.hpp),
// and the same build option and sanitizer rule leave the clones out.
// QUILLMERE_AVX2_VERSIONS says whether code written for AVX2 by hand (the
// fast decoder's raw-bit stage) is built beside its baseline version, under
// the same rule; that code picks its version on the machine it runs on and
// gives the baseline's exact results.
// Internal to the codec library.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define QUILLMERE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMERE_THREAD_SANITIZER 1
#endif
#endif

#if defined(WAVELET_BASELINE_ISA) || defined(QUILLMERE_THREAD_SANITIZER) || \
    !defined(__x86_64__) || !defined(__linux__) || !defined(__GNUC__)
#define QUILLMERE_VECTOR_CLONES
#define QUILLMERE_AVX2_VERSIONS 0
#else
#define QUILLMERE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define QUILLMERE_AVX2_VERSIONS 1
#endif
