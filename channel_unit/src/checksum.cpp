#include "quillmere_tools/checksum.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstddef>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(WAVELET_BASELINE_ISA)
#define QUILLMERE_CRC_CLMUL 1
#include <immintrin.h>
#else
#define QUILLMERE_CRC_CLMUL 0
#endif

namespace quillmere_tools {
namespace {

std::uint32_t crc32_zlib(std::span<const std::uint8_t> bytes, std::uint32_t before) noexcept {
  uLong crc = before;
  while (!bytes.empty()) {
    const std::size_t piece = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
    crc = crc32(crc, bytes.data(), static_cast<uInt>(piece));
    bytes = bytes.subspan(piece);
  }
  return static_cast<std::uint32_t>(crc);
}

#if QUILLMERE_CRC_CLMUL
// The same CRC by folding 64 bytes at a time with carry-less multiplies,
// then a Barrett reduction: a bounded unit's decode checks its whole
// container (tens of kilobytes on dense signals), and zlib's table-driven
// loop took about 4 % of such a decode. `state` is the CRC's register
// (the complement of zlib's value); `n` is a multiple of 16, at least 64.
// The constants are x^k mod P for the reflected zlib polynomial P, and P's
// Barrett quotient.
inline __m128i load(const std::uint8_t* q) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// `acc` carried forward over 128 bits times the distance (k's halves), with
// the next 16 bytes added.
[[gnu::target("pclmul,sse4.1")]] inline __m128i step(__m128i acc, __m128i k, __m128i next) noexcept {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)), next);
}

[[gnu::target("pclmul,sse4.1")]] std::uint32_t fold(const std::uint8_t* p, std::size_t n,
                                                     std::uint32_t state) noexcept {
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  n -= 64;
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);  // x^(4*128+32), x^(4*128-32)
  for (; n >= 64; n -= 64, p += 64) {
    x1 = step(x1, k1k2, load(p));
    x2 = step(x2, k1k2, load(p + 16));
    x3 = step(x3, k1k2, load(p + 32));
    x4 = step(x4, k1k2, load(p + 48));
  }
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);  // x^(128+32), x^(128-32)
  x1 = step(x1, k3k4, x2);
  x1 = step(x1, k3k4, x3);
  x1 = step(x1, k3k4, x4);
  for (; n >= 16; n -= 16, p += 16) x1 = step(x1, k3k4, load(p));

  // 128 bits to 64, then to 32 by Barrett's reduction.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);  // x^64
  x2b = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2b);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);  // P' and mu
  x2b = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  x2b = _mm_clmulepi64_si128(_mm_and_si128(x2b, low32), poly, 0x00);
  x1 = _mm_xor_si128(x1, x2b);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool has_clmul() noexcept {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}
#endif

}  // namespace

std::uint32_t crc32_of(std::span<const std::uint8_t> bytes, std::uint32_t before) noexcept {
#if QUILLMERE_CRC_CLMUL
  // Below a few hundred bytes the table loop is as quick.
  if (bytes.size() >= 256 && has_clmul()) {
    const std::size_t folded = bytes.size() & ~std::size_t{15};
    const std::uint32_t state = fold(bytes.data(), folded, ~before);
    return crc32_zlib(bytes.subspan(folded), ~state);
  }
#endif
  return crc32_zlib(bytes, before);
}

}  // namespace quillmere_tools
