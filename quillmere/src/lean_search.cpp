// The lean path of the bounded search (Effort::Fast): a multiplier predicted
// from the bounds and the signal's range, the wavelet layer quantised and
// run through the decoder's arithmetic once, the samples still beyond a
// max_error bound corrected, and one coding. What the thorough search spends
// on walking multipliers, moving quantised values and coding finalists is
// left out; what it spends on making the bounds hold is not: every candidate
// returned was judged through the decoder's own arithmetic, and the
// corrections close the peak bound exactly as they do for the thorough one.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "searcher.hpp"
#include "vector_clones.hpp"

namespace quillmere::searching {
namespace {

// With corrections, the quantisation step (plain rounding) as a multiple of
// the max_error bound. The thorough search's walk settles, on the
// repository's speech and physiological signals at 0.1 % and 1 % of their
// range, between 1.2 and 3.5 bounds per step (with the scale's dead zone).
// One step for all of them, swept from 1.4 to 2.4, gave units from 5 %
// smaller to 7 % larger than the thorough search's at 2.0, median 1 %
// larger; 1.4 was 3 % to 9 % quicker but 9 % larger at the median, and 2.4
// as large as the thorough units but 10 % slower (more corrections).
constexpr double kStepsPerBound = 2.0;
// Where most nonzero detail values at that step are +-1 (random walks and
// other smooth signals, at bounds near their detail), zeroing them with the
// scale's dead zone at a coarser step (2 sqrt(3) bounds, where the thorough
// walk often ends on them) and correcting what that leaves may be far
// smaller, or larger: both are judged with the estimates and the smaller
// estimated total kept. On random walks (float32, 60000 samples, three
// seeds, max error 0.03 % to 3 % of the range) one plain step came 0 % to
// 112 % above the thorough search (median 8.5 %), the two priced 4 % below
// to 45 % above (median 3.8 %), at up to 2.6 times the plain step's time;
// on the 4-million-sample walk of the streamed tests, blocks of 65536 at
// 0.1 % and 1 % of its range, 25 % and 48 % above came to within 0.1 %. The
// share was 0.70 to 0.97 on the walks, 0.10 to 0.56 on every speech,
// physiological and synthetic signal of the repository at 0.1 % and 1 %,
// where one judgement stays.
constexpr double kUnitShareForDeadZone = 0.65;
constexpr double kDeadZoneStepsPerBound = 3.4641016151377544;
// Aiming an RMS-type bound this far inside it makes the first judgement
// meet it on most signals, so that a second is rarely paid for.
constexpr double kAimInside = 0.97;
// Judgements for a layer that must meet its bounds alone before the lean
// path hands over to the thorough search (which then meets them or says
// they cannot be met).
constexpr int kLayerJudgements = 6;
// A missed bound moves the multiplier by its excess (distortion ~ 1 / m),
// at least this factor, so that a flat stretch cannot make it crawl, and
// at most the other.
constexpr double kLeastStep = 1.02;
constexpr double kLongestStep = 16.0;

// The multiplier whose rounding alone is predicted to give an RMS error of
// `rms`: from the coefficients' magnitudes where they were counted (a
// coefficient rounded to zero costs its own square, which uniform noise
// does not know), else from uniform noise.
float predicted_multiplier(const SearchRequest& r, const MethodState& state, double rms) {
  const float uniform = multiplier_for_rms(state, rms);
  const double range = static_cast<double>(state.max) - static_cast<double>(state.min);
  if (!state.noise.usable() || !(range > 0.0)) return std::min(uniform, state.largest);
  // The syntheses nearly keep energy: the squared errors of the normalised
  // samples sum to about those of the coefficients.
  const double per_sample = rms / range;
  const double target = per_sample * per_sample * static_cast<double>(r.samples.size());
  const double m = state.noise.multiplier_for(target, 0.5, kSmallestMultiplier, state.largest);
  return static_cast<float>(m);
}

// A layer meeting the bounds by itself (max_error too when `peak`), judged
// through the decoder's arithmetic; nothing when kLayerJudgements did not
// find one.
SearchOutcome<std::optional<Candidate>> layer_meeting(const SearchRequest& r, const search::Reference& ref,
                                                      const MethodState& state, Searcher& s, bool peak) {
  const double target = search::rms_target(ref, r.bounds, peak);
  float m = peak ? std::min(multiplier_for_rms(state, target * kAimInside), state.largest)
                 : predicted_multiplier(r, state, target * kAimInside);
  m = std::max(m, kSmallestMultiplier);
  for (int i = 0; i < kLayerJudgements; ++i) {
    auto c = s.evaluate(m, false);
    if (!c) return error_of(c);
    const double ratio = search::excess(c->wavelet, r.bounds, peak);
    if (ratio <= 1.0) return std::optional<Candidate>(std::move(*c));
    if (!(m < state.largest)) break;
    const double factor = std::isfinite(ratio) ? std::clamp(ratio / kAimInside, kLeastStep, kLongestStep)
                                               : kLongestStep;
    m = static_cast<float>(std::min(static_cast<double>(m) * factor, static_cast<double>(state.largest)));
  }
  return std::optional<Candidate>{};
}

// The values with |v| <= 1 and those equal to 0 among n, added to the
// counts. Counted as two compares the compiler turns into vector code over
// 16-bit lanes (v == +-1 with || left a loop that took about half the
// judgement's own time in a profile), into 16-bit counts per run of at most
// 2^15 values, which cannot wrap: 32-bit counts widened every vector, four
// instructions of the loop's eight.
QUILLMERE_VECTOR_CLONES
void count_small(const std::int16_t* __restrict v, std::size_t n, std::size_t& small, std::size_t& zeros) noexcept {
  constexpr std::size_t kRun = std::size_t{1} << 15;
  for (std::size_t start = 0; start < n; start += kRun) {
    const std::size_t end = std::min(n, start + kRun);
    std::uint16_t run_small = 0, run_zeros = 0;
    for (std::size_t i = start; i < end; ++i) {
      run_small = static_cast<std::uint16_t>(run_small + (static_cast<std::uint16_t>(v[i] + 1) <= 2u));
      run_zeros = static_cast<std::uint16_t>(run_zeros + (v[i] == 0));
    }
    small += run_small;
    zeros += run_zeros;
  }
}

// Of the nonzero detail values (every band but the approximation, the
// first), the share that are +1 or -1.
double unit_share(const stages::QuantisedBands& q) {
  const auto bands = q.bands();
  std::size_t small = 0, zeros = 0, all = 0;
  for (std::size_t b = 1; b < bands.size(); ++b) {
    count_small(bands[b].data(), bands[b].size(), small, zeros);
    all += bands[b].size();
  }
  const std::size_t nonzero = all - zeros;
  return nonzero == 0 ? 0.0 : static_cast<double>(small - zeros) / static_cast<double>(nonzero);
}

float multiplier_for_step(const MethodState& state, double step) {
  const double range = static_cast<double>(state.max) - static_cast<double>(state.min);
  if (!(range > 0.0)) return kSmallestMultiplier;
  return static_cast<float>(
      std::clamp(range / step, static_cast<double>(kSmallestMultiplier), static_cast<double>(state.largest)));
}

// A max_error bound with corrections: one judgement at the predicted step
// (or at the layer an RMS-type bound beside it needs, if that is finer).
// Judged without the corrections' estimate, which only a search weighing
// them against payload reads: corrections::encode finds the samples itself.
SearchOutcome<std::optional<SearchResult>> lean_with_corrections(const SearchRequest& r,
                                                                 const search::Reference& ref,
                                                                 MethodState& state) {
  // Plain rounding, not the scale's dead zone: at one multiplier the dead
  // zone left two to four times the samples to correct on speech, and
  // corrections cost more time per byte than the wavelet layer.
  // The searchers judge against `whole`, which takes the originals' energy
  // from the first judgement where the reference left it pending.
  search::Reference whole = ref;
  Searcher plain(r, whole, state, 0);
  Searcher dead_zone(r, whole, state);
  Searcher* s = &plain;
  const double bound = *r.bounds.max_error;
  // Judged listing the samples beyond the bound, which the corrections then
  // take without a pass of their own.
  const float first_m = multiplier_for_step(state, kStepsPerBound * bound);
  auto first = plain.evaluate(first_m, false, true);
  if (!first) return error_of(first);
  if (whole.energy_pending) {
    if (first->reference_energy >= 0.0) {
      whole.sum_x2 = first->reference_energy;
      whole.energy_pending = false;
    } else {
      // Not reached (a pending reference is finite float32, which the
      // marking judgement always takes); judged again against a whole one.
      whole = search::reference_in_lanes(r.originals);
      first = plain.evaluate(first_m, false, true);
      if (!first) return error_of(first);
    }
  }
  std::optional<Candidate> chosen = std::move(*first);
  if (unit_share(plain.last_bands()) > kUnitShareForDeadZone && dead_zone_threshold(r.scale, r.cutoff) > 1) {
    // A smooth signal: the dead zone at a coarser step as well, the smaller
    // estimated total kept (plain rounding on a tie).
    auto priced = plain.evaluate(chosen->m, true);
    if (!priced) return error_of(priced);
    chosen = std::move(*priced);
    auto zeroed = dead_zone.evaluate(multiplier_for_step(state, kDeadZoneStepsPerBound * bound), true);
    if (!zeroed) return error_of(zeroed);
    if (zeroed->estimated_total() < chosen->estimated_total()) {
      chosen = std::move(*zeroed);
      s = &dead_zone;
    }
  }
  if (search::excess(chosen->wavelet, r.bounds, false) > 1.0) {
    // The corrections mend only the peak: the layer must meet RMS-type
    // bounds by itself.
    s = &plain;
    auto layer = layer_meeting(r, whole, state, plain, false);
    if (!layer) return error_of(layer);
    if (!*layer) return std::optional<SearchResult>{};
    chosen = std::move(**layer);
  }
  auto coded = s->code(*chosen);
  if (!coded) return error_of(coded);
  // finish() corrects, and measures the corrected samples as it makes them.
  auto out = finish(r, *s, std::move(*chosen), std::move(*coded));
  if (!out) return error_of(out);
  return std::optional<SearchResult>(std::move(*out));
}

// Bounds the wavelet layer meets alone: RMS-type ones, or max_error without
// corrections. Plain rounding: the dead zone and rate-aware rounding pay
// only where a search compares them.
SearchOutcome<std::optional<SearchResult>> lean_layer_only(const SearchRequest& r, const search::Reference& ref,
                                                           MethodState& state) {
  const bool peak = r.bounds.max_error.has_value();
  Searcher s(r, ref, state, 0);
  auto layer = layer_meeting(r, ref, state, s, peak);
  if (!layer) return error_of(layer);
  if (!*layer) return std::optional<SearchResult>{};
  auto coded = s.code(**layer);
  if (!coded) return error_of(coded);
  auto out = finish(r, s, std::move(**layer), std::move(*coded), corrections::Encoded{});
  if (!out) return error_of(out);
  return std::optional<SearchResult>(std::move(*out));
}

}  // namespace

std::optional<SearchOutcome<SearchResult>> lean_search(const SearchRequest& r, const search::Reference& ref,
                                                       MethodState& state) {
  if (r.bounds.bits_per_sample) return std::nullopt;
  const bool corrects = r.bounds.max_error && r.allow_corrections;
  if (!corrects && ref.energy_pending) {
    // Only a marking judgement takes the energy on its way.
    return lean_search(r, search::reference_in_lanes(r.originals), state);
  }
  auto found = corrects ? lean_with_corrections(r, ref, state) : lean_layer_only(r, ref, state);
  if (!found) return SearchOutcome<SearchResult>(std::unexpected(found.error()));
  if (!*found) return std::nullopt;  // not met in a few judgements: the thorough search decides
  return SearchOutcome<SearchResult>(std::move(**found));
}

}  // namespace quillmere::searching
