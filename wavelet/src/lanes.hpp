// Eight f32 lanes through the compiler's generic vectors, for the lifting
// loops that carry their intermediate rows in registers. Each operator is
// one IEEE operation per lane, so a lane computes exactly what the scalar
// expression computes; the AVX2 clone turns a Lanes operation into one
// instruction, the baseline clone into two SSE ones.
#pragma once

#include <cstddef>
#include <cstring>

#if defined(__GNUC__) && (defined(__clang__) || __GNUC__ >= 12)
#define WAVELET_HAS_LANES 1
#else
#define WAVELET_HAS_LANES 0
#endif

#if WAVELET_HAS_LANES
// Every helper is always inlined and has internal linkage, so no call is
// ever made between a baseline and an AVX2 clone. The vector also never
// appears bare in a signature: a 32-byte vector parameter or result has one
// calling convention with AVX and another without, and GCC notes that for
// every such function in every file that includes them. Wrapped in a struct
// and taken by reference, it leaves no such question for GCC to raise.
#define WAVELET_LANES_INLINE [[gnu::always_inline]] static inline

namespace wavelet::detail {

inline constexpr std::size_t kLanes = 8;

struct Lanes {
  typedef float Vector __attribute__((vector_size(32)));
  Vector v;
};

WAVELET_LANES_INLINE Lanes operator+(const Lanes& a, const Lanes& b) noexcept {
  return {a.v + b.v};
}

WAVELET_LANES_INLINE Lanes operator*(const Lanes& a, const Lanes& b) noexcept {
  return {a.v * b.v};
}

WAVELET_LANES_INLINE Lanes splat(float v) noexcept {
  return {Lanes::Vector{v, v, v, v, v, v, v, v}};
}

WAVELET_LANES_INLINE Lanes load(const float* p) noexcept {
  Lanes l;
  std::memcpy(&l.v, p, sizeof l.v);
  return l;
}

WAVELET_LANES_INLINE void store(float* p, const Lanes& l) noexcept {
  std::memcpy(p, &l.v, sizeof l.v);
}

// Row i + 1 for each lane i, when a holds rows [r, r+8) and b [r+8, r+16).
WAVELET_LANES_INLINE Lanes next_rows(const Lanes& a, const Lanes& b) noexcept {
  return {__builtin_shufflevector(a.v, b.v, 1, 2, 3, 4, 5, 6, 7, 8)};
}

// Row i - 1 for each lane i, when a holds rows [r-8, r) and b [r, r+8).
WAVELET_LANES_INLINE Lanes previous_rows(const Lanes& a, const Lanes& b) noexcept {
  return {__builtin_shufflevector(a.v, b.v, 7, 8, 9, 10, 11, 12, 13, 14)};
}

// p[0..16) split into even = p[0], p[2], ... and odd = p[1], p[3], ...
WAVELET_LANES_INLINE void load_split(const float* p, Lanes& even, Lanes& odd) noexcept {
  const Lanes::Vector a = load(p).v;
  const Lanes::Vector b = load(p + kLanes).v;
  // Within each 128-bit half first (one shufps each), then the halves'
  // 64-bit quarters into order (one vpermpd each): cheaper than the
  // lane-crossing gathers the compiler makes of the shuffle written at once.
  typedef double Quarters __attribute__((vector_size(32)));
  const Lanes::Vector even_mixed = __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14);
  const Lanes::Vector odd_mixed = __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
  Quarters q;
  std::memcpy(&q, &even_mixed, sizeof q);
  q = __builtin_shufflevector(q, q, 0, 2, 1, 3);
  std::memcpy(&even.v, &q, sizeof q);
  std::memcpy(&q, &odd_mixed, sizeof q);
  q = __builtin_shufflevector(q, q, 0, 2, 1, 3);
  std::memcpy(&odd.v, &q, sizeof q);
}

// p[2i] = even[i], p[2i+1] = odd[i] for the 16 values from p.
WAVELET_LANES_INLINE void store_interleaved(float* p, const Lanes& even,
                                            const Lanes& odd) noexcept {
  store(p, {__builtin_shufflevector(even.v, odd.v, 0, 8, 1, 9, 2, 10, 3, 11)});
  store(p + kLanes, {__builtin_shufflevector(even.v, odd.v, 4, 12, 5, 13, 6, 14, 7, 15)});
}

}  // namespace wavelet::detail

#undef WAVELET_LANES_INLINE
#endif
