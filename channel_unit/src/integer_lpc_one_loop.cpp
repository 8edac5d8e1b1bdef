// Reading an LPC block of Rice residuals in one loop: each residual read and
// its sample rebuilt at once, so that the bit reader's chain from code to
// code and the predictor's from sample to sample overlap (two passes take
// the one after the other). Used where a block has kOneLoopBits a sample or
// more; the two-pass reader (integer_decoder.cpp) reads everything else and
// whatever this one gives up on.
#include <algorithm>
#include <array>
#include <utility>

#include "integer_block_reading.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define QUILLMERE_NARROW_LPC 1
#else
#define QUILLMERE_NARROW_LPC 0
#endif

namespace quillmere_tools::integer_reading {
namespace {

// Lanes of the 16-bit history before a block's first sample: the first
// sample's window of older terms reaches up to seven places before it
// (their weights are zero).
constexpr std::size_t kNarrowFront = 8;

#if QUILLMERE_NARROW_LPC
// The older terms in 16-bit lanes, eight to a vector: where a block's
// samples fit 16 bits and its older weights times the largest sample stay
// below 2^31 (narrow_fits), each product and every partial sum is an exact
// int32, so the sum is the same integer as the doubles' (exact too). Eight
// terms take a load and a multiply-add where the doubles took four loads,
// four multiplies and four adds, and each sample is stored in 16 bits
// without a conversion: the loop is bound by how many instructions it
// issues, not by the chain from one sample to the next.
using Lanes = __m128i;
template <int kOld>
constexpr int kNarrowVectors = (kOld + 7) / 8;
template <int kOld>
inline std::int64_t older_sum_narrow(const std::int16_t* h, const Lanes* weights) noexcept {
  constexpr int kVectors = kNarrowVectors<kOld>;
  Lanes a = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const Lanes*>(h)), weights[0]);
  for (int m = 1; m < kVectors; ++m) {
    a = _mm_add_epi32(a, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const Lanes*>(h + 8 * m)), weights[m]));
  }
  a = _mm_add_epi32(a, _mm_shuffle_epi32(a, 0x4E));
  a = _mm_add_epi32(a, _mm_shuffle_epi32(a, 0xB1));
  return _mm_cvtsi128_si32(a);
}
#endif

// Whether a block's older LPC terms (coefficients 2 .. order - 1) may be
// summed in 16-bit lanes: samples within the width fit 16 bits, every older
// weight fits 16 bits, and the sum of the weights' magnitudes times the
// largest sample magnitude, 2^(width - 1), stays below 2^31, which bounds
// every pair the multiply-add forms and every partial sum.
bool narrow_fits(const std::int32_t* coefs, std::size_t order, int width) noexcept {
  if (!QUILLMERE_NARROW_LPC || width > 16 || order <= 2) return false;
  std::int64_t total = 0;
  for (std::size_t j = 2; j < order; ++j) {
    const std::int64_t a = coefs[j] < 0 ? -std::int64_t{coefs[j]} : std::int64_t{coefs[j]};
    if (a > 32767) return false;
    total += a;
  }
  return (total << (width - 1)) < (std::int64_t{1} << 31);
}

// An LPC block whose residuals are Rice coded (partition order `p`, already
// read), each residual read and its sample rebuilt in one loop: the bit
// reader's chain from code to code and the predictor's from sample to
// sample then overlap, where two passes take the one after the other. As
// lpc_run without the clamp, it gives up (false) at the first prediction
// outside the width, and on any fault, and the caller reads the block again
// in two passes from where the residuals begin. Giving up at a prediction
// outside the width says so (OneLoop::PredictionOutside), for the two-pass
// reader's unclamped run would give up at that same prediction.
// kNarrow: the older terms summed in 16-bit lanes from `narrow` (which
// holds kNarrowFront lanes before the block's first sample), where
// narrow_fits says so; otherwise in pairs of doubles from `history`.
template <int kOrder, bool kNarrow>
OneLoop lpc_rice_block(BitReader& in, std::int64_t* x, double* history, [[maybe_unused]] std::int16_t* narrow,
                    std::int64_t* r, std::size_t n, int p, const std::int32_t* coefs, int shift,
                    int width) noexcept {
  constexpr int kOld = kOrder > 2 ? kOrder - 2 : 0;
  constexpr int kPairs = kOld / 2 > 0 ? kOld / 2 : 1;
  // Orders 1 and 2 have no older terms to narrow.
  constexpr bool kLanesUsed = kNarrow && kOld > 0;
  const IntegerRange range = IntegerRange::of_width(width);
  double w[kOld + 1] = {};
  Pair weights[kPairs];
#if QUILLMERE_NARROW_LPC
  // Lane l of the vectors weighs the sample 3 + (kLanes - 1 - l) places
  // back: the newest lane the third newest sample, the oldest lanes beyond
  // the order weighing nothing.
  constexpr int kLanes = 8 * (kNarrowVectors<kOld> > 0 ? kNarrowVectors<kOld> : 1);
  [[maybe_unused]] Lanes lanes[kLanes / 8];
  [[maybe_unused]] std::int16_t* h16 = nullptr;
#endif
  if constexpr (kLanesUsed) {
#if QUILLMERE_NARROW_LPC
    alignas(16) std::int16_t lane_w[kLanes] = {};
    for (int l = 0; l < kLanes; ++l) {
      const int back = 3 + (kLanes - 1 - l);
      if (back <= kOrder) lane_w[l] = static_cast<std::int16_t>(coefs[back - 1]);
    }
    for (int m = 0; m < kLanes / 8; ++m) lanes[m] = _mm_load_si128(reinterpret_cast<const Lanes*>(lane_w + 8 * m));
    h16 = narrow + kNarrowFront;
    std::fill(narrow, h16, std::int16_t{0});
    for (std::size_t i = 0; i < kOrder; ++i) h16[i] = static_cast<std::int16_t>(x[i]);
#endif
  } else {
    for (int m = 0; m < kOld; ++m) w[m] = static_cast<double>(coefs[kOrder - 1 - m]);
    for (int m = 0; m < kOld / 2; ++m) weights[m] = load_pair(w + 2 * m);
    for (std::size_t i = 0; i < kOrder; ++i) history[i] = static_cast<double>(x[i]);
  }
  const std::int64_t c0 = coefs[0];
  const std::int64_t c1 = kOrder > 1 ? coefs[1] : 0;
  // The two newest samples carried in registers: read back from x, each
  // sample's multiply waited on the store of the one before it.
  std::int64_t newest = x[kOrder - 1];
  std::int64_t second = kOrder > 1 ? x[kOrder - 2] : 0;
  bool bad = false;
  bool outside_prediction = false;
  const auto gave_up = [&] { return outside_prediction ? OneLoop::PredictionOutside : OneLoop::NotRead; };
  const auto rebuild = [&](std::size_t i, std::int64_t residual) noexcept {
    std::int64_t sum = 0;
    if constexpr (kLanesUsed) {
#if QUILLMERE_NARROW_LPC
      sum = older_sum_narrow<kOld>(h16 + (static_cast<std::ptrdiff_t>(i) - 2 - kLanes), lanes);
#endif
    } else {
      sum = older_sum<kOld>(history + (i - kOrder), weights, w);
    }
    if constexpr (kOrder > 1) sum += c1 * second;
    sum += c0 * newest;
    const std::int64_t prediction = sum >> shift;
    if (prediction < range.lo || prediction > range.hi) {
      outside_prediction = true;
      return false;
    }
    const std::int64_t v = prediction + residual;
    bad |= (v < range.lo) | (v > range.hi);
    x[i] = v;
    second = newest;
    newest = v;
    if constexpr (kLanesUsed) {
#if QUILLMERE_NARROW_LPC
      // Outside 16 bits only if outside the width, and the block is then
      // refused whatever the later sums come to.
      h16[i] = static_cast<std::int16_t>(v);
#endif
    } else if constexpr (kOld > 0) {
      history[i] = static_cast<double>(v);
    }
    return true;
  };
  const std::size_t size = partition_size(n, p);
  const int escape = width + 1;
  constexpr std::size_t order = kOrder;
  for (std::size_t start = 0; start < n; start += size) {
    const std::size_t from = std::max(start, order);
    const std::size_t to = std::min(start + size, n);
    if (from >= to) continue;
    const int k = static_cast<int>(in.get(5));
    if (k != kRunMode) {
      const bool all = in.get_rice_run_while(to - from, k, kEscapeQuotient, escape, [&](std::size_t j, std::uint64_t u) {
        return rebuild(from + j, unzigzag(u));
      });
      if (!all) return gave_up();
    } else {
      const int run_k = static_cast<int>(in.get(5));
      const int value_k = static_cast<int>(in.get(5));
      if (!read_zero_runs(in, r, from, to, run_k, value_k, escape)) return OneLoop::NotRead;
      for (std::size_t i = from; i < to; ++i) {
        if (!rebuild(i, r[i])) return gave_up();
      }
    }
    if (in.overrun()) return OneLoop::NotRead;
  }
  return bad ? OneLoop::NotRead : OneLoop::Read;
}

using LpcRiceBlock = OneLoop (*)(BitReader&, std::int64_t*, double*, std::int16_t*, std::int64_t*, std::size_t,
                              int, const std::int32_t*, int, int);

template <bool kNarrow, std::size_t... kOrders>
constexpr std::array<LpcRiceBlock, sizeof...(kOrders)> lpc_rice_blocks(std::index_sequence<kOrders...>) {
  return {&lpc_rice_block<static_cast<int>(kOrders) + 1, kNarrow>...};
}
constexpr auto kLpcRiceBlocks = lpc_rice_blocks<false>(std::make_index_sequence<kMaxLpcOrder>());
constexpr auto kNarrowLpcRiceBlocks = lpc_rice_blocks<QUILLMERE_NARROW_LPC != 0>(std::make_index_sequence<kMaxLpcOrder>());

// The bits per sample from which an LPC block is read in one loop: with
// fewer (short Rice codes, runs of zeros) the reading's own pass is quick
// and two passes were faster.
constexpr std::size_t kOneLoopBits = 3;

// Kept in a file of its own: compiled beside the two-pass reader, it left
// that reader's other blocks (fixed orders, short codes) a fifth slower.
}  // namespace

OneLoop decode_lpc_block_in_one_loop(std::span<const std::uint8_t> bytes, std::span<const std::int64_t> before,
                                  std::span<std::int64_t> x, int width, std::vector<std::int64_t>& residuals,
                                  std::vector<double>& history, std::vector<std::int16_t>& narrow) {
  const std::size_t n = x.size();
  if (bytes.empty() || static_cast<BlockKind>(bytes[0] >> 6) != kLpc || bytes.size() * 8 < kOneLoopBits * n) {
    return OneLoop::NotRead;
  }
  BitReader in(bytes);
  in.get(2);
  const auto head = read_predictor(in, kLpc, before, x, width);
  if (!head) return OneLoop::NotRead;
  const int p = static_cast<int>(in.get(4));
  if (p > kMaxPartitionOrder) return OneLoop::NotRead;
  if (residuals.size() < n) residuals.resize(n);
  const bool narrowed = narrow_fits(head->coefs.data(), head->order, width);
  if (narrowed) {
    if (narrow.size() < n + kNarrowFront) narrow.resize(n + kNarrowFront);
  } else if (history.size() < n) {
    history.resize(n);
  }
  const auto& blocks = narrowed ? kNarrowLpcRiceBlocks : kLpcRiceBlocks;
  const OneLoop read = blocks[head->order - 1](in, x.data(), history.data(), narrow.data(), residuals.data(), n, p,
                                               head->coefs.data(), head->shift, width);
  if (read != OneLoop::Read) return read;
  return !in.overrun() && in.at_end() ? OneLoop::Read : OneLoop::NotRead;
}

}  // namespace quillmere_tools::integer_reading
