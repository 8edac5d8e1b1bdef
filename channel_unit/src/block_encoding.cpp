// Coding a long signal block by block: the bounds each block must meet for
// them to hold over the whole signal, and the report over the whole signal.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <variant>

#include "quillmere_tools/blocked_unit.hpp"
#include "quillmere/forward_error.hpp"
#include "quillmere_tools/indexed_pool.hpp"

namespace quillmere_tools {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Blocks meet an RMSE this much finer than asked, so that adding up their
// squared errors in any order cannot cross the whole signal's bound.
constexpr double kRmseMargin = 1.0 - 1e-9;
// Bytes of a size budget moved to the last block (see split_bounds).
constexpr double kTailReserve = 256.0;

std::size_t size_of(SignalView x) noexcept {
  return std::visit([](auto s) { return s.size(); }, x);
}

SignalView block_of(SignalView x, const BlockPlan& plan, std::size_t i) {
  const std::size_t start = static_cast<std::size_t>(std::uint64_t{plan.block_length} * i);
  return std::visit(
      [&](auto s) -> SignalView {
        return s.subspan(start, std::min<std::size_t>(plan.block_length, s.size() - start));
      },
      x);
}

void measure_finite(SignalView x, BlockPlan& plan) {
  SignalMeasure m;
  measure_more(x, m);
  plan.finite = m.finite;
  plan.sum_x2 = m.sum_x2;
  plan.lo = m.lo;
  plan.hi = m.hi;
}

UnitResult<void> check_positive(const char* name, const std::optional<double>& v) {
  if (v && !(std::isfinite(*v) && *v > 0.0)) {
    return unit_error(UnitErrorKind::BadBound,
                      std::string(name) + " must be a positive finite number, but it was " +
                          std::to_string(*v));
  }
  return {};
}

// PRD and PSNR of the whole signal as the RMSE that meets them; every block
// then meets that RMSE. A signal of zero energy keeps its PRD, which every
// block of it then meets over its own (zero) energy: no error at all.
UnitResult<void> split_bounds(BlockPlan& plan) {
  UnitBounds& b = plan.request.bounds;
  for (const auto& [name, v] : {std::pair{"rmse", &b.rmse}, {"prd", &b.prd}, {"psnr", &b.psnr},
                                {"bits_per_sample", &b.bits_per_sample}}) {
    QUILLMERE_TRY_VOID(check_positive(name, *v));
  }
  if (b.bits_per_sample) {
    // The index is part of the unit: the blocks share what it leaves.
    const double index_bits =
        8.0 * static_cast<double>(kBlockedHeaderLen + 4 + plan.block_count * kBlockEntryLen);
    const double left = *b.bits_per_sample - index_bits / static_cast<double>(plan.sample_count);
    // The last block may be short, and a unit has a floor of its own (its
    // header, the coder's start): it gets kTailReserve more bytes, which the
    // other blocks give up evenly.
    const double tail = static_cast<double>(plan.block_samples_of(plan.block_count - 1));
    const double others = static_cast<double>(plan.sample_count) - tail;
    const double body = left - 8.0 * kTailReserve / others;
    if (!(body > 0.0)) {
      return unit_error(UnitErrorKind::TargetNotMet,
                        "bits_per_sample " + std::to_string(*b.bits_per_sample) +
                            " leaves no room for the blocks after their index");
    }
    b.bits_per_sample = body;
    plan.tail_bits_per_sample = left + 8.0 * kTailReserve / tail;
  }
  std::optional<double> rmse = b.rmse;
  const auto tighten = [&](double r) { rmse = rmse ? std::min(*rmse, r) : r; };
  if (b.prd && plan.finite > 0 && plan.sum_x2 > 0.0) {
    tighten(*b.prd / 100.0 * std::sqrt(plan.sum_x2 / static_cast<double>(plan.finite)));
    b.prd.reset();
  }
  if (b.psnr) {
    if (!(plan.hi > plan.lo)) {
      return unit_error(UnitErrorKind::BadBound, "psnr is undefined for a signal whose range is zero");
    }
    tighten((plan.hi - plan.lo) / std::pow(10.0, *b.psnr / 20.0));
    b.psnr.reset();
  }
  if (rmse) b.rmse = *rmse * kRmseMargin;
  return {};
}

}  // namespace

void measure_more(SignalView x, SignalMeasure& m) noexcept {
  // One running sum in sample order: a signal measured piece by piece gives
  // the very same sum as measured whole, and so the same plan.
  double lo = m.lo, hi = m.hi, sum = m.sum_x2;
  std::uint64_t count = m.finite;
  std::visit(
      [&](auto s) {
        for (const auto v : s) {
          const double d = static_cast<double>(v);
          if (!std::isfinite(d)) continue;
          sum += d * d;
          lo = std::min(lo, d);
          hi = std::max(hi, d);
          ++count;
        }
      },
      x);
  m.finite = count;
  m.sum_x2 = sum;
  m.lo = lo;
  m.hi = hi;
}

UnitResult<BlockPlan> plan_measured(std::uint64_t sample_count, const SignalMeasure& measure,
                                    const UnitRequest& request, std::uint32_t block_length) {
  if (block_length < kMinBlockLength || block_length > kMaxBlockLength) {
    return unit_error(UnitErrorKind::BadInput, "block_length must be between " +
                                                   std::to_string(kMinBlockLength) + " and " +
                                                   std::to_string(kMaxBlockLength) + ", not " +
                                                   std::to_string(block_length));
  }
  BlockPlan plan;
  plan.sample_count = sample_count;
  plan.block_length = block_length;
  plan.request = request;
  if (plan.sample_count <= block_length) return plan;
  plan.block_count = static_cast<std::size_t>((plan.sample_count - 1) / block_length + 1);
  plan.finite = measure.finite;
  plan.sum_x2 = measure.sum_x2;
  plan.lo = measure.lo;
  plan.hi = measure.hi;
  if (request.bounds.any()) {
    QUILLMERE_TRY_VOID(split_bounds(plan));
  } else {
    plan.multiplier = request.options.quant_multiplier.value_or(
        static_cast<float>(1u << request.options.scale));
  }
  return plan;
}

UnitResult<BlockPlan> plan_blocks(SignalView x, const UnitRequest& request,
                                  std::uint32_t block_length) {
  SignalMeasure measure;
  // A signal no longer than a block is one plain unit, which needs no measure.
  if (size_of(x) > block_length) measure_more(x, measure);
  return plan_measured(size_of(x), measure, request, block_length);
}

UnitResult<EncodedUnit> encode_block(SignalView x, const BlockPlan& plan, std::size_t i) {
  if (!plan.blocked()) return encode_unit(x, plan.request);
  return encode_given_block(block_of(x, plan, i), plan, i);
}

UnitResult<EncodedUnit> encode_given_block(SignalView block, const BlockPlan& plan, std::size_t i) {
  if (!plan.blocked()) return encode_unit(block, plan.request);
  if (i >= plan.block_count || size_of(block) != plan.block_samples_of(i)) {
    return unit_error(UnitErrorKind::BadInput,
                      "block " + std::to_string(i) + " is not " +
                          std::to_string(i < plan.block_count ? plan.block_samples_of(i) : 0) +
                          " samples of a signal of " + std::to_string(plan.sample_count));
  }
  UnitResult<EncodedUnit> unit;
  if (plan.multiplier && plan.hi > plan.lo) {
    BlockPlan own;
    measure_finite(block, own);
    UnitRequest request = plan.request;
    if (own.hi > own.lo) {
      // Kept a normal float: the decoder reads a zero multiplier as 2^scale.
      request.options.quant_multiplier = std::max(
          std::numeric_limits<float>::min(),
          static_cast<float>(static_cast<double>(*plan.multiplier) *
                             ((own.hi - own.lo) / (plan.hi - plan.lo))));
    }
    unit = encode_unit(block, request);
  } else if (plan.tail_bits_per_sample && i + 1 == plan.block_count) {
    UnitRequest request = plan.request;
    request.bounds.bits_per_sample = plan.tail_bits_per_sample;
    unit = encode_unit(block, request);
  } else {
    unit = encode_unit(block, plan.request);
  }
  if (!unit) {
    return unit_error(unit.error().kind, "block " + std::to_string(i) + " (samples from " +
                                             std::to_string(std::uint64_t{plan.block_length} * i) +
                                             "): " + unit.error().message);
  }
  return unit;
}

UnitResult<EncodedUnit> join_blocks(SignalView x, const BlockPlan& plan,
                                    std::vector<EncodedUnit>&& blocks) {
  if (!plan.blocked()) return std::move(blocks.at(0));
  const Precision precision = std::holds_alternative<std::span<const double>>(x)
                                  ? Precision::Float64
                                  : Precision::Float32;
  std::vector<std::vector<std::uint8_t>> units;
  units.reserve(blocks.size());
  EncodedUnit out;
  out.report = blocks.at(0).report;
  UnitReport& r = out.report;
  r.max_error = 0.0;
  if (plan.multiplier) r.multiplier = *plan.multiplier;
  r.corrected_samples = r.container_bytes = r.non_finite_samples = 0;
  double sum_sq = 0.0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const UnitReport& b = blocks[i].report;
    r.max_error = std::max(r.max_error, b.max_error);
    const std::uint64_t coded = plan.block_samples_of(i) - b.non_finite_samples - b.trailing_run;
    sum_sq += b.rmse * b.rmse * static_cast<double>(coded);
    r.corrected_samples += b.corrected_samples;
    r.container_bytes += b.container_bytes;
    r.non_finite_samples += b.non_finite_samples;
    r.trailing_run = b.trailing_run;
    units.push_back(std::move(blocks[i].bytes));
    blocks[i].bytes.clear();
  }
  if (r.measured && plan.finite > 0) {
    r.rmse = std::sqrt(sum_sq / static_cast<double>(plan.finite));
    r.prd = plan.sum_x2 == 0.0 ? (sum_sq == 0.0 ? 0.0 : kInf) : 100.0 * std::sqrt(sum_sq / plan.sum_x2);
    const double range = plan.hi - plan.lo;
    r.psnr = r.rmse == 0.0 ? kInf : range == 0.0 ? -kInf : 20.0 * std::log10(range / r.rmse);
  }
  QUILLMERE_TRY(bytes, write_blocked_unit(precision, plan.sample_count, plan.block_length, units));
  out.bytes = std::move(*bytes);
  return out;
}

UnitResult<EncodedUnit> encode_long(SignalView x, const UnitRequest& request,
                                    std::uint32_t block_length, std::size_t threads) {
  QUILLMERE_TRY(plan, plan_blocks(x, request, block_length));
  std::vector<UnitResult<EncodedUnit>> results(plan->block_count, std::unexpected(UnitError{}));
  run_indexed(results.size(), threads, [&](std::size_t i) noexcept {
    results[i] = catching<EncodedUnit>([&] { return encode_block(x, *plan, i); });
  });
  std::vector<EncodedUnit> blocks;
  blocks.reserve(results.size());
  for (auto& r : results) {
    if (!r) return std::unexpected(r.error());
    blocks.push_back(std::move(*r));
  }
  return join_blocks(x, *plan, std::move(blocks));
}

}  // namespace quillmere_tools
