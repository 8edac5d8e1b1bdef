// Marks the plain compress and decompress path's per-value loops (and the
// fast decoder's token loops) for a third compilation beside those of QUILLMERE_VECTOR_CLONES: x86-64-v4,
// whose 512-bit registers take sixteen floats or thirty-two 16-bit values
// a step where AVX2 takes half. The loader picks the clone per machine (an
// ifunc), and the rule of vector_clones.hpp holds for it unchanged: these
// loops only compare, add, multiply and convert each value on its own (in
// a fixed order where a chain runs through them), with contraction off so
// that the fused multiply-add of that level is never formed, or do exact
// integer work, so every clone gives the same bits. Left out, like the
// other clones, in a baseline-ISA build, under ThreadSanitizer and where
// the toolchain lacks the attribute. Internal to the codec library.
#pragma once

#include "vector_clones.hpp"

// GCC only: the clone's `arch=` form is what GCC's target_clones takes, and
// the other compiler the project meets (Clang, for the fuzz harnesses)
// keeps the two clones it had.
#if QUILLMERE_AVX2_VERSIONS && !defined(__clang__)
#define QUILLMERE_WIDE_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define QUILLMERE_WIDE_CLONES QUILLMERE_VECTOR_CLONES
#endif
