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
