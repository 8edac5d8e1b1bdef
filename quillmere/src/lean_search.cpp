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
#include <optional>
#include <utility>

#include "searcher.hpp"

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

// A max_error bound with corrections: one judgement at the predicted step
// (or at the layer an RMS-type bound beside it needs, if that is finer).
// Judged without the corrections' estimate, which only a search weighing
// them against payload reads: corrections::encode finds the samples itself.
SearchOutcome<std::optional<SearchResult>> lean_with_corrections(const SearchRequest& r,
                                                                 const search::Reference& ref,
                                                                 MethodState& state) {
  // Plain rounding, not the scale's dead zone: at one multiplier the dead
  // zone left two to four times the samples to correct, and corrections
  // cost more time per byte than the wavelet layer (and, unpriced by a
  // walk, more bytes too).
  Searcher s(r, ref, state, 0);
  const double bound = *r.bounds.max_error;
  const double range = static_cast<double>(state.max) - static_cast<double>(state.min);
  const double step = kStepsPerBound * bound;
  float m = range > 0.0 ? static_cast<float>(std::clamp(range / step, static_cast<double>(kSmallestMultiplier),
                                                        static_cast<double>(state.largest)))
                        : kSmallestMultiplier;
  auto first = s.evaluate(m, false);
  if (!first) return error_of(first);
  std::optional<Candidate> chosen = std::move(*first);
  if (search::excess(chosen->wavelet, r.bounds, false) > 1.0) {
    // The corrections mend only the peak: the layer must meet RMS-type
    // bounds by itself.
    auto layer = layer_meeting(r, ref, state, s, false);
    if (!layer) return error_of(layer);
    if (!*layer) return std::optional<SearchResult>{};
    chosen = std::move(**layer);
  }
  auto fix = s.correct(*chosen);
  if (!fix) return error_of(fix);
  auto coded = s.code(*chosen);
  if (!coded) return error_of(coded);
  auto out = finish(r, s, std::move(*chosen), std::move(*coded), std::move(*fix));
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
  auto found = corrects ? lean_with_corrections(r, ref, state) : lean_layer_only(r, ref, state);
  if (!found) return SearchOutcome<SearchResult>(std::unexpected(found.error()));
  if (!*found) return std::nullopt;  // not met in a few judgements: the thorough search decides
  return SearchOutcome<SearchResult>(std::move(**found));
}

}  // namespace quillmere::searching
