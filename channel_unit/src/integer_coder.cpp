#include "quillmere_tools/integer_coder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>

#include "integer_arithmetic.hpp"
#include "integer_rans.hpp"
#include "integer_rice_codes.hpp"
#include "integer_stream_format.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_prediction.hpp"

namespace quillmere_tools {
namespace {

using namespace integer_format;
using namespace integer_rice;

// Models of linear prediction tried exactly per block, of those the
// analysis ranks best.
constexpr std::size_t kLpcTrials = 2;
// The highest LPC order a quick encode tries: on rounded signals the orders
// above it gained under 1 % of the bytes and cost most of the time.
constexpr int kQuickLpcOrder = 8;
// The highest LPC order a lean encode analyses: on speech rounded to a
// fine grid, orders 9-32 saved about a percent of the bytes and cost a third
// of the encode (the autocorrelation, the recursion and each residual's
// taps grow with the order).
constexpr int kLeanLpcOrder = 8;
// How much smaller than the best fixed order's residual energy the lean
// encode's LPC must expect its own to be to skip the fixed orders: four
// times the energy is a bit a sample. At twice (half a bit) some speech
// blocks lost 0.7 % to a fixed order the estimate had passed over.
constexpr double kLpcClearly = 4.0;
// Whether a lean encode plans the finest partition order too (32 residuals a
// partition in a whole block). Without it, half the plan's partitions go:
// on the speech rows and the membrane trace at 0.1 % no unit changed size
// (the finest order rarely won, and then by a few bits).
constexpr bool kLeanFinestPartitions = false;
// Rough estimates of the two candidates closer than 1/kNearTie of the larger
// are settled by planning both.
constexpr std::uint64_t kNearTie = 8;
// Lags tried per block: the nearest earlier places where the block's start
// (or its middle) recurs.
constexpr std::size_t kLagTrials = 4;
constexpr std::size_t kLagProbe = 4;
// rANS residuals must save a 1/kRansMargin share of a block's Rice bits.
constexpr std::size_t kRansMargin = 16;

// Whether rANS tables may save their share of a block, judged before they
// are planned (planning costs about a tenth of a quick encode): where a
// quarter of the residuals or more are zero. Rice codes spend a bit or more
// on every residual, which a table need not; with fewer zeros, speech
// residuals came within a few percent of their Rice size.
bool rans_may_pay(std::span<const std::uint64_t> u) noexcept {
  std::size_t zeros = 0;
  for (const std::uint64_t v : u) zeros += v == 0 ? 1 : 0;
  return zeros * 4 >= u.size();
}

// Whether one rANS table of `single` bits saves enough of a block's `rice`
// bits for its contexts to be planned: half the share they must save in
// the end, or a 24th for a lean encode, which then skips a few plans that
// lose. On the speech rows, the membrane trace and the chirp at 0.1 %,
// every block whose tables won had its single table saving 6.4 % or more;
// at 1 % one of the membrane trace's saved between a 32nd and a 20th
// (asking a 20th cost its integer unit 254 bytes, 13 %). A 24th lost no
// byte on any of them.
constexpr std::uint64_t kLeanPlanShare = 24;
bool single_pays(std::uint64_t single, std::uint64_t rice, IntegerEffort effort) noexcept {
  const std::uint64_t share = effort == IntegerEffort::Lean ? kLeanPlanShare : 2 * kRansMargin;
  return 4 + single + rice / share < rice;
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
  // The zero residuals among u where the choice counted them already.
  std::optional<std::uint64_t> zeros;
};

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

// The least and greatest of a block's integers, without a branch per
// sample; a block is constant where they meet.
QUILLMERE_INTEGER_CLONES
std::pair<std::int64_t, std::int64_t> range_of(std::span<const std::int64_t> x) noexcept {
  std::int64_t lo = x[0], hi = x[0];
  for (const std::int64_t v : x) {
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  return {lo, hi};
}

// Expected bits of `count` zig-zagged residuals summing to `sum` under one
// Rice parameter: what ranks the lean encode's two candidates before either
// is planned (both are judged alike, so the partitions' gain cancels).
std::uint64_t rough_rice_bits(std::uint64_t count, std::uint64_t sum) noexcept {
  return fit_rice(count, sum).bits;
}

// The lean encode's model: the best fixed order by its residuals' sum (one
// pass for all four) against one LPC model of order kLeanLpcOrder or less,
// by the same rough Rice estimate plus each one's header; only the winner
// is Rice-planned. Constant and verbatim blocks are settled as by the other
// efforts (`best` arrives holding verbatim).
void choose_lean(std::span<const std::int64_t> x, IntegerRange range, std::int64_t centre, int width,
                 std::vector<std::int64_t>& residuals, std::vector<std::uint64_t>& u, BlockChoice& best) {
  const std::size_t n = x.size();
  const auto w = static_cast<std::uint64_t>(width);
  LpcOutlook outlook;
  const std::vector<LpcModel> models = lpc_candidates(x, 1, kLeanLpcOrder, &outlook);
  // Where the analysis expects the LPC's residuals to carry under a
  // kLpcClearly share of the best fixed order's energy, the fixed orders'
  // pass is skipped: on speech that is most blocks.
  const bool lpc_clearly = !models.empty() && outlook.known && outlook.lpc_share * kLpcClearly < outlook.fixed_share;
  int fixed = 0;
  std::uint64_t fixed_bits = ~std::uint64_t{0};
  const auto against_centre = [&] {
    for (std::size_t i = 0; i < n; ++i) residuals[i] = x[i] - centre;
  };
  if (!lpc_clearly) {
    against_centre();
    fixed_bits = 2 + 3 + w + rough_rice_bits(n, zigzag_sum(residuals));
    std::array<std::uint64_t, kMaxFixedOrder + 1> sums{};
    fixed_residual_sums(x, range, sums);
    for (int order = 1; order <= kMaxFixedOrder && static_cast<std::size_t>(order) < n; ++order) {
      const auto o = static_cast<std::size_t>(order);
      const std::uint64_t bits = 2 + 3 + o * w + rough_rice_bits(n - o, sums[o]);
      if (bits < fixed_bits) {
        fixed_bits = bits;
        fixed = order;
      }
    }
  }
  const std::uint64_t fixed_header = 2 + 3 + (fixed == 0 ? w : 0);
  const auto fixed_u = [&](std::vector<std::uint64_t>& into) {
    if (fixed > 0) {
      fixed_residuals(x, fixed, range, residuals);
    } else {
      against_centre();
    }
    const auto warm = static_cast<std::size_t>(fixed);
    return zigzag_with_sums(std::span(residuals).first(n - warm), warm, n, into.data());
  };
  std::size_t order = static_cast<std::size_t>(fixed);
  std::uint64_t header = fixed_header;
  BlockKind kind = kFixed;
  RicePlan plan;
  bool planned = false;
  // The chosen candidate's sums, and its zeros once planned.
  ZigzagSums chosen;
  std::uint64_t zeros = 0;
  if (!models.empty()) {
    const LpcModel& model = models.front();
    const std::size_t m = model.coefs.size();
    lpc_residuals(x, model, range, residuals);
    ZigzagSums lpc_sums = zigzag_with_sums(std::span(residuals).first(n - m), m, n, u.data());
    const std::uint64_t lpc_header = 2 + 5 + 4 + 5 + m * static_cast<std::uint64_t>(model.precision);
    const std::uint64_t lpc_bits = lpc_header + m * w + rough_rice_bits(n - m, lpc_sums.sum);
    // One Rice code over a whole block misjudges the two where their
    // residuals' loud and quiet stretches differ: within kNearTie of each
    // other both are planned, partitions and all.
    const std::uint64_t apart = lpc_bits > fixed_bits ? lpc_bits - fixed_bits : fixed_bits - lpc_bits;
    const bool near_tie = fixed_bits != ~std::uint64_t{0} && apart * kNearTie < std::max(lpc_bits, fixed_bits);
    if (lpc_bits < fixed_bits) {
      kind = kLpc;
      order = m;
      header = lpc_header;
      best.lpc = model;
      if (!near_tie) chosen = std::move(lpc_sums);
    }
    if (near_tie) {
      const std::uint64_t lpc_zeros = lpc_sums.zeros;
      RicePlan lpc_plan = plan_rice(std::span(u).first(n - m), m, n, std::move(lpc_sums.finest),
                                   kLeanFinestPartitions);
      std::vector<std::uint64_t> other(n);
      ZigzagSums fixed_sums = fixed_u(other);
      const std::uint64_t fixed_zeros = fixed_sums.zeros;
      RicePlan fixed_plan = plan_rice(std::span(other).first(n - static_cast<std::size_t>(fixed)),
                                      static_cast<std::size_t>(fixed), n, std::move(fixed_sums.finest),
                                      kLeanFinestPartitions);
      const std::uint64_t lpc_exact = lpc_header + m * w + lpc_plan.bits;
      const std::uint64_t fixed_exact = fixed_header + static_cast<std::size_t>(fixed) * w + fixed_plan.bits;
      planned = true;
      if (lpc_exact < fixed_exact) {
        kind = kLpc;
        order = m;
        header = lpc_header;
        best.lpc = model;
        plan = std::move(lpc_plan);
        zeros = lpc_zeros;
      } else {
        kind = kFixed;
        order = static_cast<std::size_t>(fixed);
        header = fixed_header;
        u.swap(other);
        plan = std::move(fixed_plan);
        zeros = fixed_zeros;
      }
    }
  }
  if (kind == kFixed && !planned) chosen = fixed_u(u);
  if (!planned) {
    zeros = chosen.zeros;
    plan = plan_rice(std::span(u).first(n - order), order, n, std::move(chosen.finest), kLeanFinestPartitions);
  }
  const std::uint64_t bits = header + order * w + plan.bits;
  if (bits >= best.bits) return;  // verbatim stays
  best.kind = kind;
  best.fixed_order = fixed;
  // The block's other candidates are not looked at after this one: its
  // residuals move rather than copy.
  best.u.swap(u);
  best.u.resize(n - order);
  best.plan = std::move(plan);
  best.bits = bits;
  best.zeros = zeros;
}

// Writes the block's bits to `out`; `words` receives the bytes that follow
// them (a rANS block's words, empty otherwise). Whether rANS took the block.
bool encode_block(std::span<const std::int64_t> before, std::span<const std::int64_t> x, int width,
                  BitWriter& out, std::vector<std::uint8_t>& words, std::vector<std::int64_t>& residuals,
                  IntegerEffort effort, IntegerResiduals coding) {
  words.clear();
  const bool quick = effort == IntegerEffort::Quick;
  const std::size_t n = x.size();
  const IntegerRange range = IntegerRange::of_width(width);
  const auto [lo, hi] = range_of(x);
  if (lo == hi) {
    out.put(kConstant, 2);
    out.put_wide(static_cast<std::uint64_t>(x[0]), width);
    return false;
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
  const std::int64_t centre = lo + (hi - lo) / 2;
  if (effort == IntegerEffort::Lean) {
    // It forms order 0's residuals only where it weighs the fixed orders.
    choose_lean(x, range, centre, width, residuals, u, best);
  } else if (quick) {
    for (std::size_t i = 0; i < n; ++i) residuals[i] = x[i] - centre;
    // The fixed order whose residuals sum least (per residual, since each
    // order warms up on its first samples); order 0 stands in until beaten.
    int chosen = 0;
    double least = static_cast<double>(zigzag_sum(residuals)) / static_cast<double>(n);
    std::array<std::uint64_t, kMaxFixedOrder + 1> sums{};
    fixed_residual_sums(x, range, sums);
    for (int order = 1; order <= kMaxFixedOrder && static_cast<std::size_t>(order) < n; ++order) {
      const auto count = n - static_cast<std::size_t>(order);
      const double mean = static_cast<double>(sums[static_cast<std::size_t>(order)]) / static_cast<double>(count);
      if (mean < least) {
        least = mean;
        chosen = order;
      }
    }
    if (chosen == 0) {
      consider(kFixed, 0, nullptr, 0, 2 + 3 + static_cast<std::uint64_t>(width));
    } else {
      fixed_residuals(x, chosen, range, residuals);
      consider(kFixed, chosen, nullptr, static_cast<std::size_t>(chosen), 2 + 3);
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) residuals[i] = x[i] - centre;
    consider(kFixed, 0, nullptr, 0, 2 + 3 + static_cast<std::uint64_t>(width));
    for (int order = 1; order <= kMaxFixedOrder && static_cast<std::size_t>(order) < n; ++order) {
      fixed_residuals(x, order, range, residuals);
      consider(kFixed, order, nullptr, static_cast<std::size_t>(order), 2 + 3);
    }
  }
  const bool searched = effort != IntegerEffort::Full;
  for (const std::size_t lag : searched ? std::vector<std::size_t>() : lag_candidates(before, x)) {
    const std::size_t warm = repeat_warm_up(lag, before.size());
    if (warm >= n) continue;
    for (std::size_t i = warm; i < n; ++i) {
      residuals[i - warm] = x[i] - sample_at(before, x.data(), static_cast<std::ptrdiff_t>(i) -
                                                                   static_cast<std::ptrdiff_t>(lag));
    }
    consider(kFixed, static_cast<int>(kRepeatCode), nullptr, warm, 2 + 3 + kLagBits, lag);
  }
  const std::vector<LpcModel> models =
      effort == IntegerEffort::Lean ? std::vector<LpcModel>() : lpc_candidates(x, quick ? 1 : kLpcTrials);
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
    return false;
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
  if (coding == IntegerResiduals::RiceOrRans && !best.u.empty() &&
      (best.zeros ? *best.zeros * 4 >= best.u.size() : rans_may_pay(best.u))) {
    // Against the Rice codes' exact size (the plan's estimate runs high by up
    // to half a bit a residual). rANS reads slower than Rice codes, so it
    // must save a share of the block's bits: peaky residuals (a trace on a
    // coarse grid) save a tenth and more, speech a percent at most.
    // One table's size first: where it falls short of the share even
    // against the plan's estimate (never below the exact size), a lean
    // encode does not count the exact Rice size either.
    const std::uint64_t single = integer_rans::single_table_bits(best.u);
    const bool lean = effort == IntegerEffort::Lean;
    const bool estimate_pays = !lean || single_pays(single, best.plan.bits, effort);
    const std::uint64_t rice = estimate_pays ? residual_bits(best.u, order, n, best.plan, width) : 0;
    // Contexts are planned only where one table alone saves half the share:
    // where they gained, they gained a few percent at most.
    const bool promising = estimate_pays && single_pays(single, rice, effort);
    const integer_rans::RansModel model = promising ? integer_rans::plan_rans(best.u) : integer_rans::RansModel{};
    if (promising && 4 + model.bits + rice / kRansMargin < rice) {
      out.put(static_cast<std::uint64_t>(kRansResiduals), 4);
      words = integer_rans::write_rans(out, best.u, model);
      return true;
    }
  }
  write_residuals(out, best.u, order, n, best.plan, width);
  return false;
}

}  // namespace

std::vector<std::uint8_t> encode_integers(std::span<const std::int64_t> values, int width,
                                          std::size_t block_length, std::size_t from, IntegerEffort effort,
                                          IntegerResiduals coding, bool* took_rans) {
  std::vector<std::uint8_t> out;
  std::vector<std::int64_t> scratch;
  std::vector<std::uint8_t> words;
  // One writer for every block: its buffer grows on the first blocks only
  // (each growth zero-fills and copies), and its bytes are copied out once.
  BitWriter bits;
  for (std::size_t start = from; start < values.size(); start += block_length) {
    const auto block = values.subspan(start, std::min(block_length, values.size() - start));
    const auto before = start == 0 ? std::span<const std::int64_t>() : values.subspan(start - block_length, block_length);
    bits.restart();
    const bool rans = encode_block(before, block, width, bits, words, scratch, effort, coding);
    if (rans && took_rans) *took_rans = true;
    const std::span<const std::uint8_t> bytes = bits.padded();
    std::uint8_t length[4];
    quillmere::store_le32(length, static_cast<std::uint32_t>(bytes.size() + words.size()));
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.insert(out.end(), words.begin(), words.end());
  }
  return out;
}

std::size_t least_stream_bytes(std::size_t count, std::size_t block_length) noexcept {
  // A constant block: its length word and at least one byte of bits.
  return (count + block_length - 1) / block_length * 5;
}

}  // namespace quillmere_tools
