#include "quillmere_tools/integer_coder.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <bit>
#include <cstring>
#include <string>

#include "quillmere/byte_io.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_prediction.hpp"

namespace quillmere_tools {
namespace {

enum BlockKind : std::uint8_t { kConstant = 0, kVerbatim = 1, kFixed = 2, kLpc = 3 };

constexpr int kMaxPartitionOrder = 8;
constexpr int kMaxRiceParameter = 30;
// The partition parameter that switches to runs of zero residuals.
constexpr int kRunMode = 31;
constexpr int kRunEscapeBits = 32;
// Models of linear prediction tried exactly per block, of those the
// analysis ranks best.
constexpr std::size_t kLpcTrials = 2;
// The highest LPC order a quick encode tries: on rounded signals the orders
// above it gained under 1 % of the bytes and cost most of the time.
constexpr int kQuickLpcOrder = 8;
// The fixed "order" that says: repeat the sample `lag` positions back, in
// this block or the one before (a period of a periodic signal).
constexpr std::size_t kRepeatCode = 7;
constexpr int kLagBits = 16;
// Lags tried per block: the nearest earlier places where the block's start
// (or its middle) recurs.
constexpr std::size_t kLagTrials = 4;
constexpr std::size_t kLagProbe = 4;

std::uint64_t zigzag(std::int64_t r) noexcept {
  return (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
}

std::int64_t unzigzag(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
}

std::size_t partition_size(std::size_t block, int order) noexcept {
  const std::size_t parts = std::size_t{1} << order;
  return (block + parts - 1) / parts;
}

// Rice parameter and expected bits for `count` values summing to `sum`
// (the sum of u >> k estimated from the sum of u: the choice needs no exact
// count).
struct RiceFit {
  int k = 0;
  std::uint64_t bits = 0;
};

RiceFit fit_rice(std::uint64_t count, std::uint64_t sum) noexcept {
  // The cost is least near log2 of the mean: only its neighbours are tried.
  const std::uint64_t mean = count ? sum / count : 0;
  const int centre = std::min(mean ? static_cast<int>(std::bit_width(mean)) - 1 : 0, kMaxRiceParameter);
  RiceFit best{0, ~std::uint64_t{0}};
  for (int k = std::max(0, centre - 1); k <= std::min(kMaxRiceParameter, centre + 1); ++k) {
    const std::uint64_t cost = count * static_cast<std::uint64_t>(k + 1) + (sum >> k);
    if (cost < best.bits) best = {k, cost};
  }
  return best;
}

// One partition's coding: a Rice parameter, or runs of zeros (their lengths
// with parameter k, the nonzero values between them, less one, with run_k).
struct PartitionCode {
  bool runs = false;
  int k = 0;
  int run_k = 0;
};

struct RicePlan {
  int order = 0;
  std::vector<PartitionCode> parts;
  std::uint64_t bits = ~std::uint64_t{0};
};

int max_partition_order(std::size_t block) noexcept {
  int p = 0;
  while (p < kMaxPartitionOrder && (block >> (p + 1)) >= 32) ++p;
  return p;
}

// What a partition's choice needs: its residuals' count, sum and zeros, and
// for runs of zeros their number and total length and the nonzero values'
// number and sum (less one each). Partitions merge by adding these up, a
// run across their border then counting as two: an estimate, as the choice
// needs no more.
struct PartitionSums {
  std::uint64_t count = 0;
  std::uint64_t sum = 0;
  std::uint64_t zeros = 0;
  std::uint64_t runs = 0;
  std::uint64_t nonzero = 0;
  std::uint64_t nonzero_sum = 0;
  PartitionSums& operator+=(const PartitionSums& o) noexcept {
    count += o.count;
    sum += o.sum;
    zeros += o.zeros;
    runs += o.runs;
    nonzero += o.nonzero;
    nonzero_sum += o.nonzero_sum;
    return *this;
  }
};

PartitionSums sums_of(std::span<const std::uint64_t> u) noexcept {
  PartitionSums t;
  t.count = u.size();
  bool in_run = false;
  for (std::uint64_t v : u) {
    t.sum += v;
    if (v == 0) {
      ++t.zeros;
      in_run = true;
    } else {
      // A run (possibly empty) ends at every nonzero value.
      ++t.runs;
      in_run = false;
      ++t.nonzero;
      t.nonzero_sum += v - 1;
    }
  }
  if (in_run) ++t.runs;
  return t;
}

PartitionCode plan_partition(const PartitionSums& t, std::uint64_t& bits) {
  const RiceFit plain = fit_rice(t.count, t.sum);
  PartitionCode code{false, plain.k, 0};
  bits = 5 + plain.bits;
  // Runs pay only where most residuals are zero: below one bit a sample.
  if (t.zeros * 2 < t.count) return code;
  const RiceFit lengths = fit_rice(t.runs, t.zeros);
  const RiceFit values = fit_rice(t.nonzero, t.nonzero_sum);
  const std::uint64_t run_bits = 15 + lengths.bits + (t.nonzero ? values.bits : 0);
  if (run_bits < bits) {
    bits = run_bits;
    code = {true, lengths.k, t.nonzero ? values.k : 0};
  }
  return code;
}

// The sums of every partition at the finest order, when the block divides
// evenly (a whole block): coarser orders add them up pairwise.
RicePlan plan_rice(std::span<const std::uint64_t> u, std::size_t warm, std::size_t block) {
  const int finest = max_partition_order(block);
  std::vector<PartitionSums> sums;
  const bool even = block % (std::size_t{1} << finest) == 0;
  if (even) {
    const std::size_t size = block >> finest;
    sums.resize(std::size_t{1} << finest);
    for (std::size_t j = 0; j < sums.size(); ++j) {
      const std::size_t from = std::max(j * size, warm);
      const std::size_t to = (j + 1) * size;
      if (from < to) sums[j] = sums_of(u.subspan(from - warm, to - from));
    }
  }
  RicePlan best;
  for (int p = finest; p >= 0; --p) {
    const std::size_t size = partition_size(block, p);
    RicePlan plan;
    plan.order = p;
    plan.bits = 4;
    std::size_t index = 0;
    for (std::size_t start = 0; start < block; start += size, ++index) {
      const std::size_t from = std::max(start, warm);
      const std::size_t to = std::min(start + size, block);
      if (from >= to) continue;
      std::uint64_t bits = 0;
      plan.parts.push_back(plan_partition(even ? sums[index] : sums_of(u.subspan(from - warm, to - from)), bits));
      plan.bits += bits;
    }
    if (plan.bits <= best.bits) best = std::move(plan);
    if (even && p > 0) {
      for (std::size_t j = 0; j < sums.size() / 2; ++j) sums[j] = sums[2 * j] += sums[2 * j + 1];
      sums.resize(sums.size() / 2);
    }
  }
  return best;
}

void put_rice(BitWriter& out, std::uint64_t v, int k, int escape_bits) {
  const std::uint64_t q = v >> k;
  if (q >= kEscapeQuotient) {
    out.put(0, static_cast<int>(kEscapeQuotient));
    out.put_wide(v, escape_bits);
  } else {
    out.put_unary(q);
    out.put(v, k);
  }
}

std::uint64_t get_rice(BitReader& in, int k, int escape_bits) noexcept {
  return in.get_rice(k, kEscapeQuotient, escape_bits);
}

void write_residuals(BitWriter& out, std::span<const std::uint64_t> u, std::size_t warm,
                     std::size_t block, const RicePlan& plan, int width) {
  out.put(static_cast<std::uint64_t>(plan.order), 4);
  const std::size_t size = partition_size(block, plan.order);
  std::size_t part = 0;
  for (std::size_t start = 0; start < block; start += size) {
    const std::size_t from = std::max(start, warm);
    const std::size_t to = std::min(start + size, block);
    if (from >= to) continue;
    const PartitionCode code = plan.parts[part++];
    if (!code.runs) {
      out.put(static_cast<std::uint64_t>(code.k), 5);
      for (std::size_t i = from; i < to; ++i) put_rice(out, u[i - warm], code.k, width + 1);
      continue;
    }
    out.put(kRunMode, 5);
    out.put(static_cast<std::uint64_t>(code.k), 5);
    out.put(static_cast<std::uint64_t>(code.run_k), 5);
    std::size_t i = from;
    while (i < to) {
      std::size_t run = 0;
      while (i + run < to && u[i + run - warm] == 0) ++run;
      put_rice(out, run, code.k, kRunEscapeBits);
      i += run;
      if (i == to) break;
      put_rice(out, u[i - warm] - 1, code.run_k, width + 1);
      ++i;
    }
  }
}

// One block's best model, found on the residuals of every candidate.
struct BlockChoice {
  BlockKind kind = kVerbatim;
  int fixed_order = 0;
  std::size_t lag = 0;
  LpcModel lpc;
  std::vector<std::uint64_t> u;
  RicePlan plan;
  std::uint64_t bits = 0;
};

// The samples a repeat at `lag` writes as they are: those whose lag
// reaches before the block before.
inline std::size_t repeat_warm_up(std::size_t lag, std::size_t history) noexcept {
  return lag > history ? lag - history : 0;
}

// Sample j of the block (negative j: of the block before it).
inline std::int64_t sample_at(std::span<const std::int64_t> before, const std::int64_t* x,
                              std::ptrdiff_t j) noexcept {
  return j >= 0 ? x[j] : before[before.size() - static_cast<std::size_t>(-j)];
}

// Lags at which a few samples of the block (at its start, then its middle)
// recur exactly, nearest first: a periodic signal repeats itself there.
std::vector<std::size_t> lag_candidates(std::span<const std::int64_t> before, std::span<const std::int64_t> x) {
  std::vector<std::size_t> lags;
  const std::size_t history = before.size();
  for (const std::size_t probe : {std::size_t{0}, x.size() / 2}) {
    if (probe + kLagProbe > x.size()) continue;
    std::size_t found = 0;
    // The probe's own samples must have their lag's samples behind them.
    const std::size_t reach = std::min(history + probe, std::size_t{1} << kLagBits);
    for (std::size_t lag = 1; lag <= reach && found < kLagTrials / 2; ++lag) {
      bool same = true;
      for (std::size_t j = 0; j < kLagProbe && same; ++j) {
        const auto at = static_cast<std::ptrdiff_t>(probe + j);
        same = sample_at(before, x.data(), at - static_cast<std::ptrdiff_t>(lag)) == x[probe + j];
      }
      if (!same || std::find(lags.begin(), lags.end(), lag) != lags.end()) continue;
      lags.push_back(lag);
      ++found;
    }
  }
  return lags;
}

// The sum of a residual run's zig-zag values: what ranks fixed orders for a
// quick encode before one of them is Rice-planned.
std::uint64_t zigzag_sum(std::span<const std::int64_t> r) noexcept {
  std::uint64_t sum = 0;
  for (std::int64_t v : r) sum += zigzag(v);
  return sum;
}

void encode_block(std::span<const std::int64_t> before, std::span<const std::int64_t> x, int width,
                  BitWriter& out, std::vector<std::int64_t>& residuals, IntegerEffort effort) {
  const bool quick = effort == IntegerEffort::Quick;
  const std::size_t n = x.size();
  const IntegerRange range = IntegerRange::of_width(width);
  if (std::all_of(x.begin(), x.end(), [&](std::int64_t v) { return v == x[0]; })) {
    out.put(kConstant, 2);
    out.put_wide(static_cast<std::uint64_t>(x[0]), width);
    return;
  }
  BlockChoice best;
  best.bits = 2 + std::uint64_t{n} * static_cast<std::uint64_t>(width);
  residuals.resize(n);
  std::vector<std::uint64_t> u(n);
  const auto consider = [&](BlockKind kind, int fixed_order, const LpcModel* lpc, std::size_t order,
                            std::uint64_t header_bits, std::size_t lag = 0) {
    for (std::size_t i = 0; i + order < n; ++i) u[i] = zigzag(residuals[i]);
    RicePlan plan = plan_rice(std::span(u).first(n - order), order, n);
    const std::uint64_t bits = header_bits + order * static_cast<std::uint64_t>(width) + plan.bits;
    if (bits < best.bits) {
      best.kind = kind;
      best.fixed_order = fixed_order;
      best.lag = lag;
      if (lpc) best.lpc = *lpc;
      best.u.assign(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(n - order));
      best.plan = std::move(plan);
      best.bits = bits;
    }
  };
  // Order 0 predicts the middle of the block's range, written once.
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  const std::int64_t centre = *lo + (*hi - *lo) / 2;
  for (std::size_t i = 0; i < n; ++i) residuals[i] = x[i] - centre;
  if (quick) {
    // The fixed order whose residuals sum least (per residual, since each
    // order warms up on its first samples); order 0 stands in until beaten.
    int chosen = 0;
    double least = static_cast<double>(zigzag_sum(residuals)) / static_cast<double>(n);
    for (int order = 1; order <= kMaxFixedOrder && static_cast<std::size_t>(order) < n; ++order) {
      const auto count = n - static_cast<std::size_t>(order);
      fixed_residuals(x, order, range, residuals);
      const double mean = static_cast<double>(zigzag_sum(std::span(residuals).first(count))) /
                          static_cast<double>(count);
      if (mean < least) {
        least = mean;
        chosen = order;
      }
    }
    if (chosen == 0) {
      for (std::size_t i = 0; i < n; ++i) residuals[i] = x[i] - centre;
      consider(kFixed, 0, nullptr, 0, 2 + 3 + static_cast<std::uint64_t>(width));
    } else {
      fixed_residuals(x, chosen, range, residuals);
      consider(kFixed, chosen, nullptr, static_cast<std::size_t>(chosen), 2 + 3);
    }
  } else {
    consider(kFixed, 0, nullptr, 0, 2 + 3 + static_cast<std::uint64_t>(width));
    for (int order = 1; order <= kMaxFixedOrder && static_cast<std::size_t>(order) < n; ++order) {
      fixed_residuals(x, order, range, residuals);
      consider(kFixed, order, nullptr, static_cast<std::size_t>(order), 2 + 3);
    }
  }
  for (const std::size_t lag : quick ? std::vector<std::size_t>() : lag_candidates(before, x)) {
    const std::size_t warm = repeat_warm_up(lag, before.size());
    if (warm >= n) continue;
    for (std::size_t i = warm; i < n; ++i) {
      residuals[i - warm] = x[i] - sample_at(before, x.data(), static_cast<std::ptrdiff_t>(i) -
                                                                   static_cast<std::ptrdiff_t>(lag));
    }
    consider(kFixed, static_cast<int>(kRepeatCode), nullptr, warm, 2 + 3 + kLagBits, lag);
  }
  const std::vector<LpcModel> models = lpc_candidates(x, quick ? 1 : kLpcTrials);
  for (const LpcModel& model : models) {
    // A further model only when linear prediction beat the fixed ones at all.
    if (&model != &models.front() && best.kind != kLpc) break;
    const std::size_t order = model.coefs.size();
    lpc_residuals(x, model, range, residuals);
    consider(kLpc, 0, &model, order, 2 + 5 + 4 + 5 + order * static_cast<std::uint64_t>(model.precision));
  }

  out.put(best.kind, 2);
  if (best.kind == kVerbatim) {
    for (std::int64_t v : x) out.put_wide(static_cast<std::uint64_t>(v), width);
    return;
  }
  std::size_t order = 0;
  if (best.kind == kFixed) {
    order = static_cast<std::size_t>(best.fixed_order);
    out.put(order, 3);
    if (order == 0) out.put_wide(static_cast<std::uint64_t>(centre), width);
    if (order == kRepeatCode) {
      out.put(best.lag - 1, kLagBits);
      order = repeat_warm_up(best.lag, before.size());
    }
  } else {
    order = best.lpc.coefs.size();
    out.put(order - 1, 5);
    out.put(static_cast<std::uint64_t>(best.lpc.precision - 1), 4);
    out.put(static_cast<std::uint64_t>(best.lpc.shift), 5);
    for (std::int32_t c : best.lpc.coefs) {
      out.put(static_cast<std::uint64_t>(static_cast<std::int64_t>(c)), best.lpc.precision);
    }
  }
  for (std::size_t i = 0; i < order; ++i) out.put_wide(static_cast<std::uint64_t>(x[i]), width);
  write_residuals(out, best.u, order, n, best.plan, width);
}

std::unexpected<UnitError> corrupt(std::size_t block, const std::string& what) {
  return unit_error(UnitErrorKind::CorruptUnit,
                    "integer block " + std::to_string(block) + " is corrupt: " + what);
}

// Reads the residuals of positions [order, n) and rebuilds the samples with
// `predict`, checking every one against the width's range.
template <class Predict>
UnitResult<void> decode_residuals(BitReader& in, std::span<std::int64_t> x, std::size_t order,
                                  int width, std::size_t index, const Predict& predict) {
  const IntegerRange range = IntegerRange::of_width(width);
  const std::size_t n = x.size();
  const int p = static_cast<int>(in.get(4));
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
UnitResult<void> decode_block_checked(std::span<const std::uint8_t> bytes, std::span<const std::int64_t> before,
                                      std::span<std::int64_t> x, int width, std::size_t index) {
  BitReader in(bytes);
  const std::size_t n = x.size();
  const IntegerRange range = IntegerRange::of_width(width);
  const auto kind = static_cast<BlockKind>(in.get(2));
  UnitResult<void> done;
  if (kind == kConstant) {
    std::fill(x.begin(), x.end(), in.get_signed(width));
  } else if (kind == kVerbatim) {
    for (std::int64_t& v : x) v = in.get_signed(width);
  } else {
    std::size_t order = 0;
    LpcModel model;
    std::int64_t centre = 0;
    std::size_t lag = 0;
    if (kind == kFixed) {
      order = in.get(3);
      if (order == kRepeatCode) {
        lag = in.get(kLagBits) + 1;
        order = repeat_warm_up(lag, before.size());
      } else if (order > kMaxFixedOrder) {
        return corrupt(index, "fixed order " + std::to_string(order));
      }
      if (order == 0 && lag == 0) centre = in.get_signed(width);
    } else {
      order = in.get(5) + 1;
      model.precision = static_cast<int>(in.get(4)) + 1;
      model.shift = static_cast<int>(in.get(5));
      if (model.precision > kMaxLpcPrecision) {
        return corrupt(index, "coefficient precision " + std::to_string(model.precision));
      }
      model.coefs.resize(order);
      for (std::int32_t& c : model.coefs) c = static_cast<std::int32_t>(in.get_signed(model.precision));
    }
    if (order > n) {
      return corrupt(index, "order " + std::to_string(order) + " exceeds its " + std::to_string(n) +
                                " samples");
    }
    for (std::size_t i = 0; i < order; ++i) x[i] = in.get_signed(width);
    if (kind == kFixed) {
      const int fixed = static_cast<int>(order);
      if (lag != 0) {
        done = decode_residuals(in, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
          return sample_at(before, s, static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(lag));
        });
      } else {
        done = decode_residuals(in, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
          return fixed == 0 ? centre : fixed_prediction(s, i, fixed, range);
        });
      }
    } else {
      done = decode_residuals(in, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
        return lpc_prediction(s, i, model, range);
      });
    }
  }
  if (!done) return done;
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
bool read_residuals_fast(BitReader& in, std::int64_t* r, std::size_t order, std::size_t n, int width) {
  const int p = static_cast<int>(in.get(4));
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
    if (in.overrun()) return false;
  }
  return !in.overrun();
}

// Whether any of the samples [from, n) falls outside the range.
bool outside(const std::int64_t* x, std::size_t from, std::size_t n, IntegerRange range) noexcept {
  bool bad = false;
  for (std::size_t i = from; i < n; ++i) bad |= (x[i] < range.lo) | (x[i] > range.hi);
  return bad;
}

template <int kOrder>
void fixed_run(std::int64_t* x, const std::int64_t* r, std::size_t n, IntegerRange range) noexcept {
  for (std::size_t i = kOrder; i < n; ++i) {
    std::int64_t p;
    if constexpr (kOrder == 1) p = x[i - 1];
    if constexpr (kOrder == 2) p = 2 * x[i - 1] - x[i - 2];
    if constexpr (kOrder == 3) p = 3 * x[i - 1] - 3 * x[i - 2] + x[i - 3];
    if constexpr (kOrder == 4) p = 4 * x[i - 1] - 6 * x[i - 2] + 4 * x[i - 3] - x[i - 4];
    x[i] = range.clamp(p) + r[i];
  }
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

template <int kOrder>
void lpc_run(std::int64_t* x, double* history, const std::int64_t* r, std::size_t n,
             const std::int32_t* coefs, int shift, IntegerRange range) noexcept {
  constexpr int kOld = kOrder > 2 ? kOrder - 2 : 0;
  constexpr int kPairs = kOld / 2 > 0 ? kOld / 2 : 1;
  double w[kOld + 1] = {};
  for (int m = 0; m < kOld; ++m) w[m] = static_cast<double>(coefs[kOrder - 1 - m]);
  Pair weights[kPairs];
  for (int m = 0; m < kOld / 2; ++m) weights[m] = load_pair(w + 2 * m);
  const std::int64_t c0 = coefs[0];
  const std::int64_t c1 = kOrder > 1 ? coefs[1] : 0;
  for (std::size_t i = 0; i < kOrder; ++i) history[i] = static_cast<double>(x[i]);
  for (std::size_t i = kOrder; i < n; ++i) {
    std::int64_t sum = older_sum<kOld>(history + (i - kOrder), weights, w);
    if constexpr (kOrder > 1) sum += c1 * x[i - 2];
    sum += c0 * x[i - 1];
    const std::int64_t v = range.clamp(sum >> shift) + r[i];
    x[i] = v;
    if constexpr (kOld > 0) history[i] = static_cast<double>(v);
  }
}

using LpcRun = void (*)(std::int64_t*, double*, const std::int64_t*, std::size_t, const std::int32_t*, int,
                       IntegerRange);

template <std::size_t... kOrders>
constexpr std::array<LpcRun, sizeof...(kOrders)> lpc_runs(std::index_sequence<kOrders...>) {
  return {&lpc_run<static_cast<int>(kOrders) + 1>...};
}
constexpr auto kLpcRuns = lpc_runs(std::make_index_sequence<kMaxLpcOrder>());

// Buffers of the fast reading, kept from block to block.
struct DecodeScratch {
  std::vector<std::int64_t> residuals;
  std::vector<double> history;
};

bool decode_block_fast(std::span<const std::uint8_t> bytes, std::span<const std::int64_t> before,
                       std::span<std::int64_t> x, int width, DecodeScratch& scratch) {
  BitReader in(bytes);
  const std::size_t n = x.size();
  const IntegerRange range = IntegerRange::of_width(width);
  const auto kind = static_cast<BlockKind>(in.get(2));
  std::int64_t* s = x.data();
  if (kind == kConstant) {
    std::fill(x.begin(), x.end(), in.get_signed(width));
  } else if (kind == kVerbatim) {
    for (std::int64_t& v : x) v = in.get_signed(width);
  } else {
    std::size_t order = 0;
    std::size_t lag = 0;
    std::int64_t centre = 0;
    int precision = 0;
    int shift = 0;
    std::int32_t coefs[kMaxLpcOrder];
    if (kind == kFixed) {
      order = in.get(3);
      if (order == kRepeatCode) {
        lag = in.get(kLagBits) + 1;
        order = repeat_warm_up(lag, before.size());
      } else if (order > kMaxFixedOrder) {
        return false;
      }
      if (order == 0 && lag == 0) centre = in.get_signed(width);
    } else {
      order = in.get(5) + 1;
      precision = static_cast<int>(in.get(4)) + 1;
      shift = static_cast<int>(in.get(5));
      if (precision > kMaxLpcPrecision) return false;
      for (std::size_t j = 0; j < order; ++j) coefs[j] = static_cast<std::int32_t>(in.get_signed(precision));
    }
    if (order > n) return false;
    for (std::size_t i = 0; i < order; ++i) s[i] = in.get_signed(width);
    if (scratch.residuals.size() < n) scratch.residuals.resize(n);
    std::int64_t* r = scratch.residuals.data();
    if (!read_residuals_fast(in, r, order, n, width)) return false;
    if (kind == kLpc) {
      if (scratch.history.size() < n) scratch.history.resize(n);
      kLpcRuns[order - 1](s, scratch.history.data(), r, n, coefs, shift, range);
    } else if (lag != 0) {
      // Positions before `lag` repeat the block before, the rest this one.
      const std::size_t split = std::min(lag, n);
      for (std::size_t i = order; i < split; ++i) s[i] = before[before.size() - (lag - i)] + r[i];
      for (std::size_t i = std::max(split, order); i < n; ++i) s[i] = s[i - lag] + r[i];
    } else {
      switch (order) {
        case 0:
          for (std::size_t i = 0; i < n; ++i) s[i] = centre + r[i];
          break;
        case 1: fixed_run<1>(s, r, n, range); break;
        case 2: fixed_run<2>(s, r, n, range); break;
        case 3: fixed_run<3>(s, r, n, range); break;
        default: fixed_run<4>(s, r, n, range); break;
      }
    }
    if (outside(s, order, n, range)) return false;
  }
  return !in.overrun() && in.at_end();
}

}  // namespace

std::vector<std::uint8_t> encode_integers(std::span<const std::int64_t> values, int width,
                                          std::size_t block_length, std::size_t from, IntegerEffort effort) {
  std::vector<std::uint8_t> out;
  std::vector<std::int64_t> scratch;
  for (std::size_t start = from; start < values.size(); start += block_length) {
    const auto block = values.subspan(start, std::min(block_length, values.size() - start));
    const auto before = start == 0 ? std::span<const std::int64_t>() : values.subspan(start - block_length, block_length);
    BitWriter bits;
    encode_block(before, block, width, bits, scratch, effort);
    const std::vector<std::uint8_t> bytes = bits.finish();
    std::uint8_t length[4];
    quillmere::store_le32(length, static_cast<std::uint32_t>(bytes.size()));
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

std::size_t least_stream_bytes(std::size_t count, std::size_t block_length) noexcept {
  // A constant block: its length word and at least one byte of bits.
  return (count + block_length - 1) / block_length * 5;
}

UnitResult<void> decode_integers(std::span<const std::uint8_t> bytes, int width,
                                 std::size_t block_length, std::size_t count, const IntegerSink& take,
                                 IntegerReading reading) {
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
    if (reading == IntegerReading::Checked ||
        !decode_block_fast(bytes.subspan(at, length), previous, block, width, scratch)) {
      // Read again, checking every sample, for the error to name.
      if (auto done = decode_block_checked(bytes.subspan(at, length), previous, block, width, index); !done) {
        return done;
      }
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
