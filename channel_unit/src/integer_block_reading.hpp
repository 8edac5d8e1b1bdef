// What the integer decoder's two block readers share (integer_decoder.cpp
// and, for LPC blocks of Rice residuals read in one loop,
// integer_lpc_one_loop.cpp): the predictor's head, runs of zeros, and the
// older LPC terms summed in pairs of doubles. Internal to the channel
// library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "integer_stream_format.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere_tools::integer_reading {

using namespace integer_format;

// The predictor of a fixed or LPC block and its warm-up samples, read the
// same way by both readings; a fault comes back as what is wrong, which the
// checked reading names and the fast one only notes.
struct PredictorHead {
  std::size_t order = 0;
  std::size_t lag = 0;  // a period repeat's lag, or 0
  std::int64_t centre = 0;
  int precision = 0;  // LPC only, as are shift and coefs[0 .. order)
  int shift = 0;
  std::array<std::int32_t, kMaxLpcOrder> coefs{};
};

std::expected<PredictorHead, std::string> read_predictor(BitReader& in, BlockKind kind,
                                                         std::span<const std::int64_t> before,
                                                         std::span<std::int64_t> x, int width);

// The run-mode partition [from, to) of a block's residuals into r (its
// header's Rice parameters already read); false when malformed.
inline bool read_zero_runs(BitReader& in, std::int64_t* r, std::size_t from, std::size_t to, int run_k, int value_k,
                    int escape) noexcept {
  if (run_k > kMaxRiceParameter || value_k > kMaxRiceParameter) return false;
  const std::uint64_t too_large = (std::uint64_t{1} << escape) - 1;
  std::size_t i = from;
  while (i < to) {
    const std::uint64_t run = in.get_rice(run_k, kEscapeQuotient, kRunEscapeBits);
    if (run > to - i) return false;
    std::fill(r + i, r + i + run, std::int64_t{0});
    i += run;
    if (i == to) break;
    const std::uint64_t u = in.get_rice(value_k, kEscapeQuotient, escape);
    if (u >= too_large) return false;
    r[i++] = unzigzag(u + 1);
  }
  return !in.overrun();
}

// The older LPC terms (all but the two newest) of a sample, summed in pairs
// of doubles: see lpc_run in integer_decoder.cpp for why exactly.
using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) noexcept {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <int kOld>
inline std::int64_t older_sum(const double* h, const Pair* weights, const double* w) noexcept {
  if constexpr (kOld == 0) {
    return 0;
  } else {
    constexpr int kPairs = kOld / 2;
    Pair a0 = {0.0, 0.0}, a1 = {0.0, 0.0};
    int m = 0;
    for (; m + 2 <= kPairs; m += 2) {
      a0 += weights[m] * load_pair(h + 2 * m);
      a1 += weights[m + 1] * load_pair(h + 2 * m + 2);
    }
    if (m < kPairs) a0 += weights[m] * load_pair(h + 2 * m);
    const Pair a = a0 + a1;
    double total = a[0] + a[1];
    if constexpr (kOld % 2 != 0) total += w[kOld - 1] * h[kOld - 1];
    return static_cast<std::int64_t>(total);
  }
}

// The older terms in 16-bit lanes, eight to a vector: where a block's
// samples fit 16 bits and its older weights times the largest sample stay
// below 2^31 (narrow_fits), each product and every partial sum is an exact
// int32, so the sum is the same integer as the doubles' (exact too). Eight
// terms take a load and a multiply-add where the doubles took four loads,
// four multiplies and four adds, and each sample is kept in 16 bits without
// a conversion: the LPC loops are bound by how many instructions they
// issue, not by the chain from one sample to the next. The samples are kept
// from kNarrowFront lanes on: the first sample's window of older terms
// reaches up to seven places before it (their weights are zero).
#if defined(__SSE2__)
inline constexpr bool kNarrowLanes = true;
#else
inline constexpr bool kNarrowLanes = false;
#endif
inline constexpr std::size_t kNarrowFront = 8;

// Whether a block's older LPC terms (coefficients 2 .. order - 1) may be
// summed in 16-bit lanes: samples within the width fit 16 bits, every older
// weight fits 16 bits, and the sum of the weights' magnitudes times the
// largest sample magnitude, 2^(width - 1), stays below 2^31, which bounds
// every pair the multiply-add forms and every partial sum.
inline bool narrow_fits(const std::int32_t* coefs, std::size_t order, int width) noexcept {
  if (!kNarrowLanes || width > 16 || order <= 2) return false;
  std::int64_t total = 0;
  for (std::size_t j = 2; j < order; ++j) {
    const std::int64_t a = coefs[j] < 0 ? -std::int64_t{coefs[j]} : std::int64_t{coefs[j]};
    if (a > 32767) return false;
    total += a;
  }
  return (total << (width - 1)) < (std::int64_t{1} << 31);
}

// The weights of an order's older terms in lanes: lane l weighs the sample
// 3 + (kLanes - 1 - l) places back, the newest lane the third newest
// sample, the oldest lanes beyond the order weighing nothing.
template <int kOrder>
struct NarrowOlder {
  static constexpr int kOld = kOrder > 2 ? kOrder - 2 : 0;
  static constexpr int kVectors = kOld > 0 ? (kOld + 7) / 8 : 1;
  static constexpr int kLanes = 8 * kVectors;
#if defined(__SSE2__)
  __m128i lanes[kVectors] = {};
  NarrowOlder() = default;
  explicit NarrowOlder(const std::int32_t* coefs) noexcept {
    alignas(16) std::int16_t w[kLanes] = {};
    for (int l = 0; l < kLanes; ++l) {
      const int back = 3 + (kLanes - 1 - l);
      if (back <= kOrder) w[l] = static_cast<std::int16_t>(coefs[back - 1]);
    }
    for (int m = 0; m < kVectors; ++m) lanes[m] = _mm_load_si128(reinterpret_cast<const __m128i*>(w + 8 * m));
  }
  // The older sum of sample i from the samples h[i - kOrder .. i - 3].
  std::int64_t sum(const std::int16_t* h, std::size_t i) const noexcept {
    const std::int16_t* at = h + (static_cast<std::ptrdiff_t>(i) - 2 - kLanes);
    __m128i a = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), lanes[0]);
    for (int m = 1; m < kVectors; ++m) {
      a = _mm_add_epi32(a, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 8 * m)), lanes[m]));
    }
    a = _mm_add_epi32(a, _mm_shuffle_epi32(a, 0x4E));
    a = _mm_add_epi32(a, _mm_shuffle_epi32(a, 0xB1));
    return _mm_cvtsi128_si32(a);
  }
#else
  NarrowOlder() = default;
  explicit NarrowOlder(const std::int32_t*) noexcept {}
  std::int64_t sum(const std::int16_t*, std::size_t) const noexcept { return 0; }
#endif
};

// What the one-loop reading made of a block: read; not read (another kind
// of block, too few bits a sample, or a fault), for the two-pass reader; or
// given up at a prediction outside the width, where the two-pass reader
// goes straight to its clamped run.
enum class OneLoop : std::uint8_t { Read, NotRead, PredictionOutside };

// An LPC block of Rice residuals and enough bits a sample, read with its
// samples rebuilt in one loop (integer_lpc_one_loop.cpp).
// `residuals`, `history` and `narrow` (the samples in 16 bits, for blocks
// whose older terms fit 32-bit sums) are scratch kept from block to block.
OneLoop decode_lpc_block_in_one_loop(std::span<const std::uint8_t> bytes, std::span<const std::int64_t> before,
                                  std::span<std::int64_t> x, int width, std::vector<std::int64_t>& residuals,
                                  std::vector<double>& history, std::vector<std::int16_t>& narrow);

}  // namespace quillmere_tools::integer_reading
