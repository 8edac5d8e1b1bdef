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

namespace quillmere_tools::integer_reading {
namespace {

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
  constexpr bool kLanesUsed = kNarrow && kOld > 0 && kNarrowLanes;
  const IntegerRange range = IntegerRange::of_width(width);
  double w[kOld + 1] = {};
  Pair weights[kPairs];
  [[maybe_unused]] NarrowOlder<kOrder> lanes;
  [[maybe_unused]] std::int16_t* h16 = nullptr;
  if constexpr (kLanesUsed) {
    lanes = NarrowOlder<kOrder>(coefs);
    h16 = narrow + kNarrowFront;
    std::fill(narrow, h16, std::int16_t{0});
    for (std::size_t i = 0; i < kOrder; ++i) h16[i] = static_cast<std::int16_t>(x[i]);
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
      sum = lanes.sum(h16, i);
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
      // Outside 16 bits only if outside the width, and the block is then
      // refused whatever the later sums come to.
      h16[i] = static_cast<std::int16_t>(v);
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
constexpr auto kNarrowLpcRiceBlocks = lpc_rice_blocks<kNarrowLanes>(std::make_index_sequence<kMaxLpcOrder>());

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
