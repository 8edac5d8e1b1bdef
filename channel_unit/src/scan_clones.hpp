// Marks the channel library's per-sample scans (the range and non-finite
// scan of a float32 signal) for two compilations on x86-64, the baseline ISA
// and AVX2, the loader picking one per machine, under the rule the codec's
// own loops follow (quillmere/src/vector_clones.hpp, internal to the codec,
// which this library cannot include): not in a baseline-ISA build, not
// under ThreadSanitizer, whose runtime is not up when the loader runs the
// resolvers, and only where the toolchain has the attribute. The scans only
// compare and combine values lane by lane, so both clones find the same
// values. Internal to the channel library.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define QUILLMERE_CHANNEL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMERE_CHANNEL_THREAD_SANITIZER 1
#endif
#endif

#if defined(WAVELET_BASELINE_ISA) || defined(QUILLMERE_CHANNEL_THREAD_SANITIZER) || \
    !defined(__x86_64__) || !defined(__linux__) || !defined(__GNUC__)
#define QUILLMERE_SCAN_CLONES
#define QUILLMERE_WIDE_SCAN_CLONES
#else
#define QUILLMERE_SCAN_CLONES __attribute__((target_clones("avx2", "default")))
// The plain path's range scan, which every compress of a float32 signal
// runs, also takes an x86-64-v4 clone under GCC (the same values), as the
// codec's plain loops do.
#if defined(__clang__)
#define QUILLMERE_WIDE_SCAN_CLONES QUILLMERE_SCAN_CLONES
#else
#define QUILLMERE_WIDE_SCAN_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
#endif
