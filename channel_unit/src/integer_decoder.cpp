// Reading the integer coder's stream: each block read fast (its residuals
// first, then its predictor in one pass, specialised per model), and read
// again with every sample checked as it is rebuilt when that fails, so that
// the error names the fault where it first shows.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include "integer_rans.hpp"
#include "integer_stream_format.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"
#include "integer_block_reading.hpp"

namespace quillmere_tools {

namespace integer_reading {

using namespace integer_format;

std::expected<PredictorHead, std::string> read_predictor(BitReader& in, BlockKind kind,
                                                         std::span<const std::int64_t> before,
                                                         std::span<std::int64_t> x, int width) {
  PredictorHead h;
  if (kind == kFixed) {
    h.order = in.get(3);
    if (h.order == kRepeatCode) {
      h.lag = in.get(kLagBits) + 1;
      h.order = repeat_warm_up(h.lag, before.size());
    } else if (h.order > kMaxFixedOrder) {
      return std::unexpected("fixed order " + std::to_string(h.order));
    }
    if (h.order == 0 && h.lag == 0) h.centre = in.get_signed(width);
  } else {
    h.order = in.get(5) + 1;
    h.precision = static_cast<int>(in.get(4)) + 1;
    h.shift = static_cast<int>(in.get(5));
    if (h.precision > kMaxLpcPrecision) {
      return std::unexpected("coefficient precision " + std::to_string(h.precision));
    }
    for (std::size_t j = 0; j < h.order; ++j) h.coefs[j] = static_cast<std::int32_t>(in.get_signed(h.precision));
  }
  if (h.order > x.size()) {
    return std::unexpected("order " + std::to_string(h.order) + " exceeds its " + std::to_string(x.size()) +
                           " samples");
  }
  for (std::size_t i = 0; i < h.order; ++i) x[i] = in.get_signed(width);
  return h;
}

}  // namespace integer_reading

namespace {

using namespace integer_format;
using namespace integer_reading;

inline std::uint64_t get_rice(BitReader& in, int k, int escape_bits) noexcept {
  return in.get_rice(k, kEscapeQuotient, escape_bits);
}

std::unexpected<UnitError> corrupt(std::size_t block, const std::string& what) {
  return unit_error(UnitErrorKind::CorruptUnit,
                    "integer block " + std::to_string(block) + " is corrupt: " + what);
}

// Reads the residuals of positions [order, n) and rebuilds the samples with
// `predict`, checking every one against the width's range.
std::string rans_fault_text(integer_rans::RansFault fault) {
  using integer_rans::RansFault;
  switch (fault) {
    case RansFault::BadThresholds: return "its rANS context thresholds do not increase";
    case RansFault::BadTable: return "a rANS frequency table is malformed";
    case RansFault::WideResidual: return "a residual exceeds its width";
    default: return "its rANS words and bits do not decode to its samples";
  }
}

// A block being read: its bytes, whether rANS residuals are allowed, and
// whether they were found (the block's bits then end before its bytes do).
struct BlockSource {
  std::span<const std::uint8_t> bytes;
  bool rans_allowed = false;
  bool rans_found = false;
  integer_rans::RansScratch* rans = nullptr;
};

template <class Predict>
UnitResult<void> decode_residuals(BitReader& in, BlockSource& source, std::span<std::int64_t> x,
                                  std::size_t order, int width, std::size_t index, const Predict& predict) {
  const IntegerRange range = IntegerRange::of_width(width);
  const std::size_t n = x.size();
  const int p = static_cast<int>(in.get(4));
  if (p == kRansResiduals && source.rans_allowed) {
    source.rans_found = true;
    std::vector<std::int64_t> r(n - order);
    const auto fault = integer_rans::read_rans(in, source.bytes, r.data(), r.size(), width, *source.rans);
    if (fault != integer_rans::RansFault::None) return corrupt(index, rans_fault_text(fault));
    for (std::size_t i = order; i < n; ++i) {
      const std::int64_t v = predict(x.data(), i) + r[i - order];
      if (v < range.lo || v > range.hi) {
        return corrupt(index, "sample " + std::to_string(i) + " falls outside " + std::to_string(width) +
                                  " bits");
      }
      x[i] = v;
    }
    return {};
  }
  if (p > kMaxPartitionOrder) return corrupt(index, "partition order " + std::to_string(p));
  const std::size_t size = partition_size(n, p);
  for (std::size_t start = 0; start < n; start += size) {
    const std::size_t from = std::max(start, order);
    const std::size_t to = std::min(start + size, n);
    if (from >= to) continue;
    const int k = static_cast<int>(in.get(5));
    const auto place = [&](std::size_t i, std::uint64_t u) -> UnitResult<void> {
      const std::int64_t v = predict(x.data(), i) + unzigzag(u);
      if (v < range.lo || v > range.hi) {
        if (in.overrun()) return corrupt(index, "it is cut short");
        return corrupt(index, "sample " + std::to_string(i) + " falls outside " + std::to_string(width) +
                                  " bits");
      }
      x[i] = v;
      return {};
    };
    if (k != kRunMode) {
      for (std::size_t i = from; i < to; ++i) {
        if (auto ok = place(i, get_rice(in, k, width + 1)); !ok) return ok;
      }
    } else {
      const int run_k = static_cast<int>(in.get(5));
      const int value_k = static_cast<int>(in.get(5));
      if (run_k > kMaxRiceParameter || value_k > kMaxRiceParameter) {
        return corrupt(index, "Rice parameters " + std::to_string(run_k) + " and " + std::to_string(value_k));
      }
      std::size_t i = from;
      while (i < to) {
        const std::uint64_t run = get_rice(in, run_k, kRunEscapeBits);
        if (in.overrun()) return corrupt(index, "it is cut short");
        if (run > to - i) {
          return corrupt(index, "a run of " + std::to_string(run) + " zeros passes its partition's end");
        }
        for (const std::size_t end = i + run; i < end; ++i) {
          if (auto ok = place(i, 0); !ok) return ok;
        }
        if (i == to) break;
        const std::uint64_t u = get_rice(in, value_k, width + 1);
        // The value less one: a nonzero u of width + 1 bits at most.
        if (u >= (std::uint64_t{1} << (width + 1)) - 1) return corrupt(index, "a residual exceeds its width");
        if (auto ok = place(i, u + 1); !ok) return ok;
        ++i;
      }
    }
    if (in.overrun()) return corrupt(index, "it is cut short");
  }
  return {};
}

// The checked reading: every sample against the width as it is rebuilt, so
// a fault is named where it first shows. The fast reading below falls back
// to it for the error of a block it cannot decode.
UnitResult<void> decode_block_checked(BlockSource& source, std::span<const std::int64_t> before,
                                      std::span<std::int64_t> x, int width, std::size_t index) {
  BitReader in(source.bytes);
  const IntegerRange range = IntegerRange::of_width(width);
  const auto kind = static_cast<BlockKind>(in.get(2));
  UnitResult<void> done;
  if (kind == kConstant) {
    std::fill(x.begin(), x.end(), in.get_signed(width));
  } else if (kind == kVerbatim) {
    for (std::int64_t& v : x) v = in.get_signed(width);
  } else {
    auto head = read_predictor(in, kind, before, x, width);
    if (!head) return corrupt(index, head.error());
    const std::size_t order = head->order;
    const std::size_t lag = head->lag;
    const std::int64_t centre = head->centre;
    LpcModel model;
    if (kind == kLpc) {
      model = {{head->coefs.begin(), head->coefs.begin() + static_cast<std::ptrdiff_t>(order)}, head->precision,
               head->shift};
    }
    if (kind == kFixed) {
      const int fixed = static_cast<int>(order);
      if (lag != 0) {
        done = decode_residuals(in, source, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
          return sample_at(before, s, static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(lag));
        });
      } else {
        done = decode_residuals(in, source, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
          return fixed == 0 ? centre : fixed_prediction(s, i, fixed, range);
        });
      }
    } else {
      done = decode_residuals(in, source, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
        return lpc_prediction(s, i, model, range);
      });
    }
  }
  if (!done) return done;
  // A rANS block's reader checked that its bits end where its words begin.
  if (source.rans_found) return {};
  if (in.overrun()) return corrupt(index, "it is cut short");
  if (!in.at_end()) return corrupt(index, "bytes are left over after its samples");
  return {};
}

// The fast reading of a block: the residuals of every partition first, in
// one pass over the bits, then the samples in one pass of the predictor,
// specialised per model. Faults are not told apart here: any (bits past
// the end, a sample outside the width, a run past its partition) makes it
// return false and the block is read again by decode_block_checked, which
// names the fault. Samples outside the width stay within 36 bits however
// the bytes are forged (predictions are clamped, residuals are below 2^36),
// so nothing here overflows before the block is given up.

// Residuals of positions [order, n) into r; false on a malformed partition.
bool read_residuals_fast(BitReader& in, BlockSource& source, std::int64_t* r, std::size_t order, std::size_t n,
                         int width) {
  const int p = static_cast<int>(in.get(4));
  if (p == kRansResiduals && source.rans_allowed) {
    source.rans_found = true;
    return integer_rans::read_rans(in, source.bytes, r + order, n - order, width, *source.rans) ==
           integer_rans::RansFault::None;
  }
  if (p > kMaxPartitionOrder) return false;
  const std::size_t size = partition_size(n, p);
  const int escape = width + 1;
  for (std::size_t start = 0; start < n; start += size) {
    const std::size_t from = std::max(start, order);
    const std::size_t to = std::min(start + size, n);
    if (from >= to) continue;
    const int k = static_cast<int>(in.get(5));
    if (k != kRunMode) {
      in.get_rice_run(to - from, k, kEscapeQuotient, escape,
                      [&](std::size_t j, std::uint64_t u) { r[from + j] = unzigzag(u); });
      continue;
    }
    const int run_k = static_cast<int>(in.get(5));
    const int value_k = static_cast<int>(in.get(5));
    if (!read_zero_runs(in, r, from, to, run_k, value_k, escape)) return false;
  }
  return !in.overrun();
}

// A fixed order without the clamp in the chain from one sample to the next,
// giving up (false) at the first prediction outside the width, where the
// block is run again with it (fixed_run). Order 1 predicts the sample before,
// which is within the width unless the block is refused for that sample
// anyway, so it never gives up. Without the clamp a prediction within the
// width plus a residual below 2^36 keeps the samples within 37 bits (order
// 1 adds at most 2^16 such residuals, below 2^53), so nothing overflows.
// Both runs note in `outside` whether a sample they rebuilt falls outside
// the width: the compares sit beside the chain from sample to sample rather
// than in it, where a pass of their own afterwards read every sample again
// (and, without 64-bit vector compares in the baseline instruction set, one
// at a time).
template <int kOrder>
bool fixed_run_unclamped(std::int64_t* x, const std::int64_t* r, std::size_t n, IntegerRange range,
                         bool& outside) noexcept {
  std::uint32_t bad = 0;
  // The newest samples carried in registers (a = x[i - 1], b = x[i - 2],
  // ...): read back from x, each sample waited on the store of the one
  // before it, which x and r possibly overlapping forced.
  std::int64_t a = x[kOrder - 1];
  std::int64_t b = kOrder > 1 ? x[kOrder - 2] : 0;
  std::int64_t c = kOrder > 2 ? x[kOrder - 3] : 0;
  std::int64_t d = kOrder > 3 ? x[kOrder - 4] : 0;
  for (std::size_t i = kOrder; i < n; ++i) {
    std::int64_t p;
    if constexpr (kOrder == 1) p = a;
    if constexpr (kOrder == 2) p = 2 * a - b;
    if constexpr (kOrder == 3) p = 3 * a - 3 * b + c;
    if constexpr (kOrder == 4) p = 4 * a - 6 * b + 4 * c - d;
    if constexpr (kOrder > 1) {
      if (p < range.lo || p > range.hi) return false;
    }
    const std::int64_t v = p + r[i];
    bad |= static_cast<std::uint32_t>((v < range.lo) | (v > range.hi));
    x[i] = v;
    d = c, c = b, b = a, a = v;
  }
  outside = bad != 0;
  return true;
}

template <int kOrder>
void fixed_run(std::int64_t* x, const std::int64_t* r, std::size_t n, IntegerRange range, bool& outside) noexcept {
  std::uint32_t bad = 0;
  std::int64_t a = x[kOrder - 1];  // as in fixed_run_unclamped
  std::int64_t b = kOrder > 1 ? x[kOrder - 2] : 0;
  std::int64_t c = kOrder > 2 ? x[kOrder - 3] : 0;
  std::int64_t d = kOrder > 3 ? x[kOrder - 4] : 0;
  for (std::size_t i = kOrder; i < n; ++i) {
    std::int64_t p;
    if constexpr (kOrder == 1) p = a;
    if constexpr (kOrder == 2) p = 2 * a - b;
    if constexpr (kOrder == 3) p = 3 * a - 3 * b + c;
    if constexpr (kOrder == 4) p = 4 * a - 6 * b + 4 * c - d;
    const std::int64_t v = range.clamp(p) + r[i];
    bad |= static_cast<std::uint32_t>((v < range.lo) | (v > range.hi));
    x[i] = v;
    d = c, c = b, b = a, a = v;
  }
  outside = bad != 0;
}

template <int kOrder>
bool fixed_runs(std::int64_t* x, const std::int64_t* r, std::size_t n, IntegerRange range) noexcept {
  bool outside = false;
  if (!fixed_run_unclamped<kOrder>(x, r, n, range, outside)) fixed_run<kOrder>(x, r, n, range, outside);
  return !outside;
}

// The same sums as lpc_prediction, with the order known to the compiler.
// The two newest terms are integer products added last, so a sample waits
// on the one before it for a multiply and a few adds only. The older terms
// are summed in doubles: a coefficient (15 bits) times a sample within the
// width (33 bits), and the sum of 30 such products, stay below 2^53, so
// every partial sum is an exact integer whatever the order of the additions
// and the total equals the integer one. With their weights oldest first the
// window of older samples is contiguous and the products run in pairs, two
// pairs of running sums side by side. A forged block may hold samples
// beyond the width, where the double sums can round (never beyond int64);
// such a block is refused (decode_block_fast returns false) before any of
// its samples is used.
// Most blocks never clamp a prediction, so the first run leaves the clamp
// out of the chain from one sample to the next (a multiply, two adds and a
// shift) and gives up at the first prediction outside the width; the block
// is then run again with the clamp (kClamp). Either run tells whether every
// sample it rebuilt lies within the width. Without the clamp, a prediction
// within the width plus a residual below 2^36 keeps every sample within 37
// bits, so no sum overflows before the run gives up.
// kNarrow: the older terms summed in 16-bit lanes (NarrowOlder) from
// `narrow`, which holds kNarrowFront lanes before the block's first sample,
// where narrow_fits says so; otherwise in pairs of doubles from `history`.
template <int kOrder, bool kClamp, bool kNarrow>
bool lpc_run(std::int64_t* x, double* history, [[maybe_unused]] std::int16_t* narrow, const std::int64_t* r,
             std::size_t n, const std::int32_t* coefs, int shift, IntegerRange range) noexcept {
  constexpr int kOld = kOrder > 2 ? kOrder - 2 : 0;
  constexpr int kPairs = kOld / 2 > 0 ? kOld / 2 : 1;
  // Orders 1 and 2 have no older terms to narrow.
  constexpr bool kLanesUsed = kNarrow && kOld > 0 && kNarrowLanes;
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
  // The two newest samples in registers, as in the fixed runs.
  std::int64_t newest = x[kOrder - 1];
  std::int64_t second = kOrder > 1 ? x[kOrder - 2] : 0;
  bool bad = false;
  for (std::size_t i = kOrder; i < n; ++i) {
    std::int64_t sum = 0;
    if constexpr (kLanesUsed) {
      sum = lanes.sum(h16, i);
    } else {
      sum = older_sum<kOld>(history + (i - kOrder), weights, w);
    }
    if constexpr (kOrder > 1) sum += c1 * second;
    sum += c0 * newest;
    std::int64_t p = sum >> shift;
    if constexpr (kClamp) {
      p = range.clamp(p);
    } else if (p < range.lo || p > range.hi) {
      return false;
    }
    const std::int64_t v = p + r[i];
    bad |= (v < range.lo) | (v > range.hi);
    x[i] = v;
    second = newest;
    newest = v;
    if constexpr (kLanesUsed) {
      // Outside 16 bits only if outside the width, and the run then fails
      // whatever the later sums come to.
      h16[i] = static_cast<std::int16_t>(v);
    } else if constexpr (kOld > 0) {
      history[i] = static_cast<double>(v);
    }
  }
  return !bad;
}

using LpcRun = bool (*)(std::int64_t*, double*, std::int16_t*, const std::int64_t*, std::size_t,
                        const std::int32_t*, int, IntegerRange);

template <bool kClamp, bool kNarrow, std::size_t... kOrders>
constexpr std::array<LpcRun, sizeof...(kOrders)> lpc_runs(std::index_sequence<kOrders...>) {
  return {&lpc_run<static_cast<int>(kOrders) + 1, kClamp, kNarrow>...};
}
constexpr auto kLpcRuns = lpc_runs<false, false>(std::make_index_sequence<kMaxLpcOrder>());
constexpr auto kClampedLpcRuns = lpc_runs<true, false>(std::make_index_sequence<kMaxLpcOrder>());
constexpr auto kNarrowLpcRuns = lpc_runs<false, kNarrowLanes>(std::make_index_sequence<kMaxLpcOrder>());
constexpr auto kNarrowClampedLpcRuns = lpc_runs<true, kNarrowLanes>(std::make_index_sequence<kMaxLpcOrder>());

// Buffers of the fast reading, kept from block to block.
struct DecodeScratch {
  std::vector<std::int64_t> residuals;
  std::vector<double> history;
  std::vector<std::int16_t> narrow;
  integer_rans::RansScratch rans;
};

// `clamp_first`: an LPC block's unclamped run is known to give up, so only
// the clamped one is run.
bool decode_block_fast(BlockSource& source, std::span<const std::int64_t> before, std::span<std::int64_t> x,
                       int width, DecodeScratch& scratch, bool clamp_first) {
  BitReader in(source.bytes);
  const std::size_t n = x.size();
  const IntegerRange range = IntegerRange::of_width(width);
  const auto kind = static_cast<BlockKind>(in.get(2));
  std::int64_t* s = x.data();
  if (kind == kConstant) {
    std::fill(x.begin(), x.end(), in.get_signed(width));
  } else if (kind == kVerbatim) {
    for (std::int64_t& v : x) v = in.get_signed(width);
  } else {
    const auto head = read_predictor(in, kind, before, x, width);
    if (!head) return false;
    const std::size_t order = head->order;
    const std::size_t lag = head->lag;
    const std::int64_t centre = head->centre;
    if (scratch.residuals.size() < n) scratch.residuals.resize(n);
    std::int64_t* r = scratch.residuals.data();
    if (!read_residuals_fast(in, source, r, order, n, width)) return false;
    if (kind == kLpc) {
      const std::int32_t* coefs = head->coefs.data();
      const bool narrowed = narrow_fits(coefs, order, width);
      if (narrowed) {
        if (scratch.narrow.size() < n + kNarrowFront) scratch.narrow.resize(n + kNarrowFront);
      } else if (scratch.history.size() < n) {
        scratch.history.resize(n);
      }
      double* history = scratch.history.data();
      std::int16_t* narrow = scratch.narrow.data();
      const auto& runs = narrowed ? kNarrowLpcRuns : kLpcRuns;
      const auto& clamped_runs = narrowed ? kNarrowClampedLpcRuns : kClampedLpcRuns;
      // The warm-up samples were read within the width; the run checks the rest.
      if ((clamp_first || !runs[order - 1](s, history, narrow, r, n, coefs, head->shift, range)) &&
          !clamped_runs[order - 1](s, history, narrow, r, n, coefs, head->shift, range)) {
        return false;
      }
    } else if (lag != 0) {
      // Positions before `lag` repeat the block before, the rest this one.
      const std::size_t split = std::min(lag, n);
      std::uint32_t bad = 0;
      for (std::size_t i = order; i < split; ++i) {
        const std::int64_t v = before[before.size() - (lag - i)] + r[i];
        bad |= static_cast<std::uint32_t>((v < range.lo) | (v > range.hi));
        s[i] = v;
      }
      for (std::size_t i = std::max(split, order); i < n; ++i) {
        const std::int64_t v = s[i - lag] + r[i];
        bad |= static_cast<std::uint32_t>((v < range.lo) | (v > range.hi));
        s[i] = v;
      }
      if (bad != 0) return false;
    } else {
      bool within = true;
      switch (order) {
        case 0: {
          std::uint32_t bad = 0;
          for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t v = centre + r[i];
            bad |= static_cast<std::uint32_t>((v < range.lo) | (v > range.hi));
            s[i] = v;
          }
          within = bad == 0;
          break;
        }
        case 1: within = fixed_runs<1>(s, r, n, range); break;
        case 2: within = fixed_runs<2>(s, r, n, range); break;
        case 3: within = fixed_runs<3>(s, r, n, range); break;
        default: within = fixed_runs<4>(s, r, n, range); break;
      }
      if (!within) return false;
    }
  }
  // A rANS block's reader checked that its bits end where its words begin.
  return source.rans_found || (!in.overrun() && in.at_end());
}

}  // namespace

UnitResult<void> decode_integers(std::span<const std::uint8_t> bytes, int width,
                                 std::size_t block_length, std::size_t count, const IntegerSink& take,
                                 IntegerReading reading, IntegerResiduals coding) {
  if (bytes.size() < least_stream_bytes(count, block_length)) {
    return unit_error(UnitErrorKind::CorruptUnit,
                      "the integer stream of " + std::to_string(bytes.size()) +
                          " bytes is too short for " + std::to_string(count) + " samples");
  }
  // This block and the one before it, which a lag may reach into.
  std::vector<std::int64_t> values(std::min(block_length, count));
  std::vector<std::int64_t> previous;
  previous.reserve(values.size());
  DecodeScratch scratch;
  std::size_t at = 0;
  std::size_t index = 0;
  for (std::size_t start = 0; start < count; start += block_length, ++index) {
    if (bytes.size() - at < 4) return corrupt(index, "its length is cut short");
    const std::uint32_t length = quillmere::load_le32(bytes.data() + at);
    at += 4;
    if (length > bytes.size() - at) {
      return corrupt(index, "it claims " + std::to_string(length) + " bytes but " +
                                std::to_string(bytes.size() - at) + " are left");
    }
    const auto block = std::span(values).first(std::min(block_length, count - start));
    const bool rans = coding == IntegerResiduals::RiceOrRans;
    BlockSource fast{bytes.subspan(at, length), rans, false, &scratch.rans};
    const OneLoop one_loop = reading == IntegerReading::Fast
                                 ? decode_lpc_block_in_one_loop(fast.bytes, previous, block, width,
                                                                scratch.residuals, scratch.history, scratch.narrow)
                                 : OneLoop::NotRead;
    if (one_loop != OneLoop::Read &&
        (reading == IntegerReading::Checked ||
         !decode_block_fast(fast, previous, block, width, scratch, one_loop == OneLoop::PredictionOutside))) {
      // Read again, checking every sample, for the error to name.
      BlockSource checked{bytes.subspan(at, length), rans, false, &scratch.rans};
      if (auto done = decode_block_checked(checked, previous, block, width, index); !done) return done;
    }
    take(start, block);
    previous.swap(values);
    values.resize(previous.size());
    at += length;
  }
  if (at != bytes.size()) {
    return unit_error(UnitErrorKind::CorruptUnit, std::to_string(bytes.size() - at) +
                                                      " bytes follow the last integer block");
  }
  return {};
}

}  // namespace quillmere_tools
