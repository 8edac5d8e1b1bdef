// The raw-bit stage over four lanes, three ways: one token after the other
// for the baseline ISA, and sixteen rows at a time in AVX2 or AVX-512
// registers where the machine has them. All read the same bits for the same
// tokens and give the same coefficients and the same overflow mark, so a
// stream decodes alike everywhere.
//
// The scalar loop is throughput-bound: a read, a shift, a mask, the
// position's add and the sign's arithmetic, about twenty instructions per
// nonzero token. In registers the bit widths of sixteen rows are summed up
// front (each row's total, their running sum, then lane by lane within the
// row), after which every coefficient's bits sit at a known offset: a
// gather (AVX2) or a byte permute (AVX-512) reads them, shifts and masks
// take them apart, eight or sixteen coefficients an instruction.
#include <algorithm>
#include <cstring>
#include <utility>

#include "fast_raw_bits.hpp"
#include "vector_clones.hpp"

#if QUILLMERE_AVX2_VERSIONS
// GCC 12 takes the AVX-512 headers' deliberately undefined vectors (the
// unused half of a widening or a reduction) for uninitialised variables.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

namespace quillmere::fast {
namespace {

// A zero token has no raw bits and is its own coefficient, so where a lane
// holds only zeros for a few rows (a quiet passage's high bands) the scalar
// pass leaves it alone: 6-15% of a decode on speech, 30% on a mostly-zero
// walk. finish_rows<Lanes> finishes n rows from o0 on, only in the lanes of
// the bit mask.
template <unsigned Lanes>
void finish_rows(std::int16_t* o0, std::size_t seg, std::size_t n, RawBits& raw) noexcept {
  RawBits r = raw;
  for (std::size_t i = 0; i < n; ++i) {
    if constexpr ((Lanes & 1) != 0) finish<false>(o0[i], r);
    if constexpr ((Lanes & 2) != 0) finish<false>(o0[seg + i], r);
    if constexpr ((Lanes & 4) != 0) finish<false>(o0[2 * seg + i], r);
    if constexpr ((Lanes & 8) != 0) finish<false>(o0[3 * seg + i], r);
  }
  raw = r;
}
using FinishRows = void (*)(std::int16_t*, std::size_t, std::size_t, RawBits&) noexcept;
template <std::size_t... L>
constexpr std::array<FinishRows, sizeof...(L)> finish_rows_table(std::index_sequence<L...>) {
  return {finish_rows<static_cast<unsigned>(L)>...};
}
constexpr auto kFinishRows = finish_rows_table(std::make_index_sequence<16>{});

// Whether any of the kSkipRows tokens from p is nonzero.
constexpr std::size_t kSkipRows = 16;
inline unsigned any_token(const std::int16_t* p) noexcept {
  std::uint64_t a, b, c, d;
  std::memcpy(&a, p, 8);
  std::memcpy(&b, p + 4, 8);
  std::memcpy(&c, p + 8, 8);
  std::memcpy(&d, p + 12, 8);
  return (a | b | c | d) != 0;
}

void finish_scalar(std::int16_t* o0, std::size_t seg, std::size_t n, RawBits& raw) noexcept {
  std::int16_t *o1 = o0 + seg, *o2 = o1 + seg, *o3 = o2 + seg;
  std::size_t r = 0;
  for (; r + kSkipRows <= n; r += kSkipRows) {
    const unsigned lanes_used =
        any_token(o0 + r) | any_token(o1 + r) << 1 | any_token(o2 + r) << 2 | any_token(o3 + r) << 3;
    // All four in use (the rule on dense signals): inline, where the call
    // through the table cost them a few percent.
    if (lanes_used == 15) {
      for (std::size_t k = r; k < r + kSkipRows; ++k) {
        finish<false>(o0[k], raw), finish<false>(o1[k], raw), finish<false>(o2[k], raw), finish<false>(o3[k], raw);
      }
    } else {
      kFinishRows[lanes_used](o0 + r, seg, kSkipRows, raw);
    }
  }
  kFinishRows[15](o0 + r, seg, n - r, raw);
}

#if QUILLMERE_AVX2_VERSIONS

// Eight coefficients of one lane: their tokens, raw-bit counts and bit
// offsets from `base` in 32-bit lanes. Returns the coefficients and ORs
// m - sign into `over`, as finish() does.
__attribute__((target("avx2"))) inline __m256i coefficients8(const std::uint8_t* base, __m256i t, __m256i nb,
                                                              __m256i off, __m256i& over) noexcept {
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i word = _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), _mm256_srli_epi32(off, 3), 1);
  const __m256i mask = _mm256_sub_epi32(_mm256_sllv_epi32(one, nb), one);
  const __m256i v = _mm256_and_si256(_mm256_srlv_epi32(word, _mm256_and_si256(off, _mm256_set1_epi32(7))), mask);
  const __m256i sign = _mm256_and_si256(v, one);
  // Tokens from 4 on: the leading one and the bit below it, above the low
  // bits (nb - 1 of them); below 4 the token is the magnitude. A shift by
  // 32 or more (token 0: nb - 1 wraps) gives 0, which the blend drops.
  const __m256i lead = _mm256_sllv_epi32(_mm256_or_si256(_mm256_set1_epi32(2), _mm256_and_si256(t, one)),
                                         _mm256_sub_epi32(nb, one));
  const __m256i big = _mm256_cmpgt_epi32(t, _mm256_set1_epi32(3));
  const __m256i m = _mm256_add_epi32(_mm256_blendv_epi8(t, lead, big), _mm256_srli_epi32(v, 1));
  over = _mm256_or_si256(over, _mm256_sub_epi32(m, sign));
  const __m256i negate = _mm256_sub_epi32(_mm256_setzero_si256(), sign);
  return _mm256_add_epi32(_mm256_xor_si256(m, negate), sign);
}

// Sixteen rows of one lane: coefficients for the tokens t (16 bits each)
// with raw-bit counts nb and bit offsets off from `base`, stored over them.
__attribute__((target("avx2"))) inline void lane16(std::int16_t* at, const std::uint8_t* base, __m256i t,
                                                   __m256i nb, __m256i off, __m256i& over) noexcept {
  const __m256i lo = coefficients8(base, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(t)),
                                   _mm256_cvtepi16_epi32(_mm256_castsi256_si128(nb)),
                                   _mm256_cvtepi16_epi32(_mm256_castsi256_si128(off)), over);
  const __m256i hi = coefficients8(base, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(t, 1)),
                                   _mm256_cvtepi16_epi32(_mm256_extracti128_si256(nb, 1)),
                                   _mm256_cvtepi16_epi32(_mm256_extracti128_si256(off, 1)), over);
  // Exact for every coefficient a valid stream holds; beyond 16 bits the
  // stream is refused by the overflow mark and the output does not count.
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), packed);
}

// The front half of a vector group: sixteen rows' tokens of each lane, their
// raw-bit counts, and lane 0's bit offset in each row (plus `first`, where
// the first byte's bits start). Returns false for a group of zeros only.
struct Group16 {
  __m256i t[4];
  __m256i nb[4];
  __m256i off;
  std::size_t total;  // bits of the sixteen rows
};

__attribute__((target("avx2"))) inline bool group16(std::int16_t* const lane[4], std::size_t r, unsigned first,
                                                    Group16& g) noexcept {
  const __m256i token_mask = _mm256_set1_epi16(kTokens - 1);
  const __m256i one16 = _mm256_set1_epi16(1);
  for (unsigned j = 0; j < 4; ++j) {
    g.t[j] = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lane[j] + r)), token_mask);
    // Raw bits per token: none for 0, the sign for 1 to 3, and from 4 on
    // the sign and t / 2 - 1 low bits, so t / 2 in all, plus one for t = 1.
    g.nb[j] = _mm256_sub_epi16(_mm256_srli_epi16(g.t[j], 1), _mm256_cmpeq_epi16(g.t[j], one16));
  }
  const __m256i any = _mm256_or_si256(_mm256_or_si256(g.t[0], g.t[1]), _mm256_or_si256(g.t[2], g.t[3]));
  if (_mm256_testz_si256(any, any)) return false;  // no bits, already the coefficients
  // Each row's bits, then their running sum over the sixteen rows: within
  // each 128-bit half by shifted adds, then the low half's total into the
  // high half.
  const __m256i row = _mm256_add_epi16(_mm256_add_epi16(g.nb[0], g.nb[1]), _mm256_add_epi16(g.nb[2], g.nb[3]));
  __m256i sum = _mm256_add_epi16(row, _mm256_slli_si256(row, 2));
  sum = _mm256_add_epi16(sum, _mm256_slli_si256(sum, 4));
  sum = _mm256_add_epi16(sum, _mm256_slli_si256(sum, 8));
  const __m256i low_half_up = _mm256_permute2x128_si256(sum, sum, 0x08);  // [0, low half]
  const __m256i top = _mm256_shufflehi_epi16(low_half_up, 0xFF);
  sum = _mm256_add_epi16(sum, _mm256_unpackhi_epi64(top, top));
  g.total = static_cast<std::uint16_t>(_mm256_extract_epi16(sum, 15));
  g.off = _mm256_add_epi16(_mm256_sub_epi16(sum, row), _mm256_set1_epi16(static_cast<short>(first)));
  return true;
}

__attribute__((target("avx2"))) inline std::uint32_t or_lanes(__m256i v) noexcept {
  const __m128i a = _mm_or_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  const __m128i b = _mm_or_si128(a, _mm_unpackhi_epi64(a, a));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_or_si128(b, _mm_srli_epi64(b, 32))));
}

__attribute__((target("avx2"))) void finish_avx2(std::int16_t* o0, std::size_t seg, std::size_t n,
                                                 RawBits& raw) noexcept {
  std::int16_t* const lane[4] = {o0, o0 + seg, o0 + 2 * seg, o0 + 3 * seg};
  __m256i over = _mm256_setzero_si256();
  std::size_t pos = raw.pos;
  std::size_t r = 0;
  for (; r + kSkipRows <= n; r += kSkipRows) {
    Group16 g;
    if (!group16(lane, r, pos & 7, g)) continue;
    const std::uint8_t* const base = raw.data + (pos >> 3);
    __m256i off = g.off;
    for (unsigned j = 0; j < 4; ++j) {
      lane16(lane[j] + r, base, g.t[j], g.nb[j], off, over);
      off = _mm256_add_epi16(off, g.nb[j]);
    }
    pos += g.total;
  }
  raw.over |= or_lanes(over);
  raw.pos = pos;
  kFinishRows[15](o0 + r, seg, n - r, raw);
}

// With AVX-512 (and its byte permutes) the gathers go: a group's raw bits
// start within its first byte and span at most 16 * 4 * 15 bits, so the
// four bytes from any coefficient's first lie in the group's first 128, and
// one permute of those (two 64-byte loads) gives every coefficient its four.
constexpr unsigned kMostRawBits = *std::max_element(kRawBits.begin(), kRawBits.end());
static_assert((7 + 4 * kSkipRows * kMostRawBits) / 8 + 4 <= 128);
#define QUILLMERE_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi")))

// Sixteen coefficients of one lane from the 128 bytes lo:hi.
QUILLMERE_AVX512 inline void lane16_permuted(std::int16_t* at, __m512i lo, __m512i hi, __m256i t16, __m256i nb16,
                                             __m256i off16, __m512i& over) noexcept {
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i t = _mm512_cvtepi16_epi32(t16);
  const __m512i nb = _mm512_cvtepi16_epi32(nb16);
  const __m512i off = _mm512_cvtepi16_epi32(off16);
  // The index k of the byte holding a coefficient's first bit (below 124),
  // copied into all four bytes of its dword, then k, k + 1, k + 2, k + 3:
  // the permute's byte indices for the four bytes from k.
  const __m512i spread = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12));
  const __m512i k = _mm512_shuffle_epi8(_mm512_srli_epi32(off, 3), spread);
  const __m512i index = _mm512_add_epi32(k, _mm512_set1_epi32(0x03020100));
  const __m512i word = _mm512_permutex2var_epi8(lo, index, hi);
  const __m512i mask = _mm512_sub_epi32(_mm512_sllv_epi32(one, nb), one);
  const __m512i v = _mm512_and_si512(_mm512_srlv_epi32(word, _mm512_and_si512(off, _mm512_set1_epi32(7))), mask);
  const __m512i sign = _mm512_and_si512(v, one);
  const __m512i lead = _mm512_sllv_epi32(_mm512_or_si512(_mm512_set1_epi32(2), _mm512_and_si512(t, one)),
                                         _mm512_sub_epi32(nb, one));
  const __mmask16 big = _mm512_cmpgt_epi32_mask(t, _mm512_set1_epi32(3));
  const __m512i m = _mm512_add_epi32(_mm512_mask_blend_epi32(big, t, lead), _mm512_srli_epi32(v, 1));
  over = _mm512_or_si512(over, _mm512_sub_epi32(m, sign));
  const __m512i negate = _mm512_sub_epi32(_mm512_setzero_si512(), sign);
  const __m512i c = _mm512_add_epi32(_mm512_xor_si512(m, negate), sign);
  // Truncating: exact for every coefficient a valid stream holds.
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm512_cvtepi32_epi16(c));
}

QUILLMERE_AVX512 void finish_avx512(std::int16_t* o0, std::size_t seg, std::size_t n, RawBits& raw) noexcept {
  std::int16_t* const lane[4] = {o0, o0 + seg, o0 + 2 * seg, o0 + 3 * seg};
  __m512i over = _mm512_setzero_si512();
  std::size_t r = 0;
  for (; r + kSkipRows <= n; r += kSkipRows) {
    Group16 g;
    if (!group16(lane, r, raw.pos & 7, g)) continue;
    const std::uint8_t* const base = raw.data + (raw.pos >> 3);
    const __m512i lo = _mm512_loadu_si512(base);
    const __m512i hi = _mm512_loadu_si512(base + 64);
    __m256i off = g.off;
    for (unsigned j = 0; j < 4; ++j) {
      lane16_permuted(lane[j] + r, lo, hi, g.t[j], g.nb[j], off, over);
      off = _mm256_add_epi16(off, g.nb[j]);
    }
    raw.pos += g.total;
  }
  raw.over |= static_cast<std::uint32_t>(_mm512_reduce_or_epi32(over));
  kFinishRows[15](o0 + r, seg, n - r, raw);
}

#endif

struct Versions {
  std::array<FinishVersion, 3> list{};
  std::size_t count = 0;
  void add(FinishVersion v) noexcept { list[count++] = v; }
};

Versions available_versions() noexcept {
  Versions v;
  v.add({"baseline", finish_scalar});
#if QUILLMERE_AVX2_VERSIONS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) v.add({"avx2", finish_avx2});
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")) {
    v.add({"avx512", finish_avx512});
  }
#endif
  return v;
}

}  // namespace

std::span<const FinishVersion> finish_versions() noexcept {
  // Found on the first call (a function-local static, so no order of
  // static initialisation can see it unset).
  static const Versions versions = available_versions();
  return {versions.list.data(), versions.count};
}

void finish_four_lanes(std::int16_t* o0, std::size_t seg, std::size_t n, RawBits& raw) noexcept {
  static const FinishFour best = finish_versions().back().finish;
  best(o0, seg, n, raw);
}

}  // namespace quillmere::fast
