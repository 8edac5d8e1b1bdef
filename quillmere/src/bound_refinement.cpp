#include "bound_refinement.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "bound_sparsening.hpp"
#include "quantizer.hpp"

namespace quillmere::refine {
namespace {

// Passes after the plain quantisation. A second pass never changed a
// result on the benchmark signals, and each costs about a judgement.
constexpr int kMaxPasses = 1;
// Outliers are pulled towards this fraction of the bound, not to its edge:
// only whole steps move, so a pull to the edge rarely adds up to one and
// leaves nearly every outlier where it was (0.3 removed 3 to 10 times more
// outliers than 0.7 on speech).
constexpr double kTargetFraction = 0.3;
// A pass whose moves change fewer than this share of the values is not
// judged. Where the excess is a small part of a step nearly everywhere
// (speech at 0.1 % and 1 % of the range through the search over every
// method and coder: 0 to 25 of 68,000 to 113,000 values changed) the pass,
// transform and judgement together, took about a third of the search's CPU
// time for a few bytes either way once values were also zeroed.
constexpr double kJudgedFromShare = 0.01;
// Values are moved only where at least this share of the samples lies
// outside the bound: the speech cases above had 3 % to 6 % outside, while
// the search's defaults (dead zone, fast coder) leave 14 % to 23 % on the
// librivox signals, where the pass takes 3 % to 8 % off the size.
constexpr double kMovedFromShare = 0.05;
// The largest magnitude stepped towards zero: a step from above saves
// under a bit, and magnitudes up to 3 gave two thirds of the bytes saved.
constexpr int kLargestStepped = 15;
// The payload weight as measured, within these limits: a coder far better
// or worse than the estimate on a part of the bands is an outlier, not a
// price to trade corrections at.
constexpr double kLightest = 0.25;
constexpr double kHeaviest = 4.0;
// Values step only where at most this share of the samples lies outside
// the bound. Beyond it the corrections are a large part of the bytes, and
// the flat price per corrected sample the steps are weighed by strays from
// what the corrections' coder makes of them: on alsa speech at 0.1 % of the
// range (17 % to 28 % outside) the steps made the result up to 0.8 % larger.
constexpr double kSteppedUpToShare = 0.1;

// std::nearbyint of either sign without its library call, once per
// coefficient: rounding to nearest is symmetric, so the magnitude is rounded.
inline double rounded(double x) { return std::copysign(round_half_even(std::fabs(x)), x); }

// The float coefficients of the quantised bands, in container order.
std::vector<float> gather(const stages::Decomposition& d, std::uint8_t depth) {
  std::vector<float> out(d.approximation[depth - 1].begin(), d.approximation[depth - 1].end());
  for (std::size_t level = 0; level < depth; ++level) {
    out.insert(out.end(), d.details[level].begin(), d.details[level].end());
  }
  return out;
}

}  // namespace

void excess_beyond(const Originals& originals, std::span<const float> decoded, double target,
                   double range, std::span<float> out) {
  const std::size_t n = std::min(decoded.size(), out.size());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), 0.0f);
  const double scale = 1.0 / range;
  // Branch-free: a share of the samples lies beyond the target, scattered
  // as if at random, and a mispredicted branch per sample made this pass as
  // dear as several judgements. A non-finite error (a non-finite original
  // or reconstruction) fails the comparison and gives +0.
  const auto put = [&](std::size_t i, double e) {
    const auto pulled = static_cast<float>((e - std::copysign(target, e)) * scale);
    const double a = std::fabs(e);
    const std::uint32_t keep = (a > target) & (a < HUGE_VAL) ? ~std::uint32_t{0} : 0;
    out[i] = std::bit_cast<float>(std::bit_cast<std::uint32_t>(pulled) & keep);
  };
  if (originals.is_double()) {
    const auto x = originals.f64();
    const double offset = originals.offset();
    for (std::size_t i = 0; i < n; ++i) put(i, x[i] - (static_cast<double>(decoded[i]) + offset));
  } else {
    const auto x = originals.f32();
    for (std::size_t i = 0; i < n; ++i) {
      put(i, static_cast<double>(x[i]) - static_cast<double>(decoded[i]));
    }
  }
}

SearchOutcome<Refined> refine(const Problem& p, stages::QuantisedBands start, Judged first,
                              const JudgeFn& judge) {
  Refined best{std::move(start), std::move(first), 0};
  const double range = static_cast<double>(p.max) - static_cast<double>(p.min);
  if (!(range > 0.0) || !(p.bound > 0.0) || p.depth == 0) return best;
  const stages::Decomposition& d = *p.decomposition;
  std::size_t total = d.approximation[p.depth - 1].size();
  for (std::size_t level = 0; level < p.depth; ++level) total += d.details[level].size();
  if (total != best.bands.coeffs.size()) return best;  // not the layout quantised
  stages::QuantisedBands q = best.bands;
  const std::vector<std::int16_t> base = q.coeffs;
  std::vector<float> moved(total, 0.0f);
  const std::vector<float>* decoded = &best.judged.decoded;
  Judged current;
  int calls = 0;
  const bool moves = static_cast<double>(p.outliers) >=
                     kMovedFromShare * static_cast<double>(best.judged.decoded.size());
  for (int pass = 1; pass <= kMaxPasses && moves && p.outliers > 0; ++pass) {
    auto excess = stages::Floats::make(d.transform_len);
    excess_beyond(*p.originals, *decoded, kTargetFraction * p.bound, range, excess.span());
    if (std::all_of(excess.span().begin(), excess.span().end(), [](float v) { return v == 0.0f; })) {
      break;
    }
    // The transform is linear and the decoder's synthesis inverts it, so the
    // excess's own coefficients, added, cancel it before rounding.
    auto delta = stages::decompose(*p.executor, std::move(excess), p.depth);
    if (!delta) break;  // out of memory: the plain quantisation stands
    const std::vector<float> step = gather(*delta, p.depth);
    std::size_t changed = 0;
    // Only where the moves asked for add up to half a step does a value
    // change, by whole steps from the plain quantisation: every changed
    // value costs bits, so none changes for a small share of an outlier.
    for (std::size_t i = 0; i < total; ++i) {
      moved[i] += step[i] * p.m;
      const double v = static_cast<double>(base[i]) + rounded(static_cast<double>(moved[i]));
      // A move the float range cannot hold leaves the value where it was.
      q.coeffs[i] = std::isfinite(v) ? static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0))
                                     : base[i];
      changed += q.coeffs[i] != best.bands.coeffs[i];
    }
    if (static_cast<double>(changed) < kJudgedFromShare * static_cast<double>(total)) break;
    auto judged = judge(q);
    ++calls;
    if (!judged) return std::unexpected(judged.error());
    current = std::move(*judged);
    if (!(current.bytes < best.judged.bytes)) break;
    best.bands = q;
    best.judged = std::move(current);
    best.kept = calls;
    decoded = &best.judged.decoded;
  }
  // Values the bound does not need go last, or step towards zero where the
  // payload they save outweighs the corrections they add: the moves above
  // may have added slack as well as values.
  const auto try_shrinking = [&](const Shrinking& how) -> SearchOutcome<bool> {
    stages::QuantisedBands shrunk = best.bands;
    if (sparsen(p, best.judged.decoded, shrunk, how).moved == 0) return false;
    auto judged = judge(shrunk);
    ++calls;
    if (!judged) return std::unexpected(judged.error());
    if (!(judged->bytes < best.judged.bytes)) return false;
    best.bands = std::move(shrunk);
    best.judged = std::move(*judged);
    best.kept = calls;
    return true;
  };
  const bool few_outside = static_cast<double>(best.judged.outliers) <=
                           kSteppedUpToShare * static_cast<double>(best.judged.decoded.size());
  if (p.payload_weight > 0.0 && few_outside) {
    auto rated = try_shrinking({std::clamp(p.payload_weight, kLightest, kHeaviest), kLargestStepped});
    if (!rated) return std::unexpected(rated.error());
    if (*rated) return best;
  }
  // Where the estimate rejects the trade, the values free to go still may.
  auto free = try_shrinking({});
  if (!free) return std::unexpected(free.error());
  return best;
}

}  // namespace quillmere::refine
