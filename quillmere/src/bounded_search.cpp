#include "quillmere/bounded_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "searcher.hpp"

namespace quillmere {
namespace searching {

SearchOutcome<MethodState> prepare(const SearchRequest& r, Method method) {
  MethodState s;
  s.method = method;
  s.executor = make_executor(method);
  const std::size_t padded = std::max(r.samples.size(), s.executor->filter_length());
  auto norm = stages::normalise(r.samples, padded, r.range);
  if (!norm) return codec_error_of(norm);
  s.min = norm->min;
  s.max = norm->max;
  s.mean = norm->mean;
  const std::uint8_t levels = pick_levels(r.samples.size(), method);
  auto d = stages::decompose(*s.executor, std::move(norm->samples), levels);
  if (!d) return codec_error_of(d);
  s.decomposition = std::move(*d);
  const stages::Extremes first[2] = {s.decomposition.extremes.approximation[0],
                                     s.decomposition.extremes.details[0]};
  s.largest = stages::largest_unsaturated_multiplier(first);
  // Only the searches for the lowest multiplier meeting RMS-type bounds
  // steer by the coefficients' magnitudes.
  const Bounds& b = r.bounds;
  const bool rms_type = b.rmse || b.prd || b.psnr;
  if (rms_type && !b.bits_per_sample) s.noise = search::RoundingNoise(s.decomposition);
  return s;
}

// The multiplier at which uniform quantisation noise alone would give an
// RMS error of `rms`: the step 1/m in the unit range is range/m in the
// signal, and uniform noise over a step has RMS step / sqrt(12).
float multiplier_for_rms(const MethodState& s, double rms) {
  const double range = static_cast<double>(s.max) - static_cast<double>(s.min);
  const double m = range / (rms * std::sqrt(12.0));
  return static_cast<float>(std::clamp(m, static_cast<double>(kSmallestMultiplier), 1e30));
}

SearchOutcome<SearchResult> finish(const SearchRequest& r, Searcher& s, Candidate c,
                                   std::optional<Coded> coded, std::optional<corrections::Encoded> fix,
                                   std::vector<double>* applied) {
  if (!coded) {
    auto fresh = s.code_lent(c);
    if (!fresh) return error_of(fresh);
    coded = std::move(*fresh);
  }
  // Corrections made here leave c's samples (or, for a float64 source,
  // `reconstructed`) as the blob's reader gives them, so that the corrected
  // distortion costs one judgement rather than a reading of the blob too.
  std::vector<double> reconstructed;
  if (applied) reconstructed = std::move(*applied);
  if (!fix) {
    auto fresh = s.correct_applied(c, reconstructed);
    if (!fresh) return error_of(fresh);
    fix = std::move(*fresh);
    applied = &reconstructed;
  }
  SearchResult out;
  out.options = coded->options;
  out.container = std::move(coded->container);
  out.wavelet = c.wavelet;
  out.corrected = c.wavelet;
  out.candidates_judged = static_cast<std::size_t>(s.evaluations());
  if (fix->corrected > 0) {
    out.corrections = std::move(fix->bytes);
    out.corrected_samples = fix->corrected;
    const auto fail = [](corrections::CorrectionError e) {
      return failure(SearchErrorKind::Codec, {}, 0.0, 0.0, std::string(corrections::message(e)));
    };
    if (applied && !c.marks.empty()) {
      // The judgement marked exactly the samples corrected.
      out.corrected = search::corrected_distortion(s.reference(), c.decoded, c.marks, c.within);
    } else if (applied) {
      out.corrected = r.originals.is_double()
                          ? search::distortion_of(s.reference(), std::span<const double>(reconstructed))
                          : search::judge(s.reference(), c.decoded, 0.0).distortion;
    } else if (r.originals.is_double()) {
      auto y = corrections::apply(out.corrections, c.decoded, r.originals.offset());
      if (!y) return std::unexpected(fail(y.error()));
      out.corrected = search::distortion_of(s.reference(), std::span<const double>(*y));
    } else {
      auto done = corrections::apply(out.corrections, std::span<float>(c.decoded));
      if (!done) return std::unexpected(fail(done.error()));
      out.corrected = search::judge(s.reference(), c.decoded, 0.0).distortion;
    }
  }
  return out;
}

}  // namespace searching

namespace {

using namespace searching;
using search::failure;
namespace grid = search::grid;

// Steps of the walk trading payload against corrections, and the ratio
// between the multipliers of neighbouring steps (half an octave).
constexpr int kMaxEvaluations = 8;
const float kWalkStep = std::sqrt(2.0f);
// Two multipliers this close give containers within a fraction of a percent.
constexpr double kTolerance = 1.01;
// Signals up to this long have moved quantised values confirmed by real
// coding against plain rounding, and search both rounding rules in full.
constexpr std::size_t kConfirmedBelow = 65536;
// Unless the plain layer's coding and corrections are in hand already, the
// confirmation is skipped where the scaled estimates put the moved values
// at least this share below the plain layer: a second coding and correction
// of the plain layer cost a fifth of the search on the short speech signals,
// and on every benchmark case the real gain was within a quarter of a
// percent of the estimated one or above it (estimated 1.4 % to 3.4 %).
constexpr double kTrustedGain = 0.01;
// Among nearly equal totals the walk prefers fewer corrections, by at most
// this share: corrections cost more time per byte than the wavelet layer.
constexpr double kOutlierPenalty = 0.02;
// A size budget: bisection steps on log2 of the multiplier placing the
// calibration point (7: a sixth of an octave of the usual range) and each
// real try (10: well inside a grid step of what real coding bracketed).
constexpr int kCalibrationHalvings = 7;
constexpr int kTryHalvings = 10;
// Real codings of a size budget at most.
constexpr int kRealTries = 4;
// Each try aims this far under the budget, so that the estimate's scatter
// more often lands inside than just past it.
constexpr double kBudgetAim = 0.995;
// A try within this share of the budget is close enough: a closer fit would
// cost a full coding more.
constexpr double kBudgetCloseEnough = 0.98;
// The largest multiplier, nudged up so that a bisection's upper end keeps
// it inside.
constexpr double kAboveLargest = 1.0000001;

// The estimates chose moved quantised values; real coding confirms them
// against the plain quantisation at the same multiplier, which wins a tie.
// Both are corrected in place as they are encoded (the judgements listed
// the samples to correct): the finalist's corrected distortion is then
// measured without reading its blob back.
SearchOutcome<SearchResult> finish_refined(const SearchRequest& r, Searcher& s, Candidate plain,
                                           Candidate moved) {
  // The full form trial, whatever the effort: these are correct()'s blobs.
  constexpr auto kTrial = corrections::FormTrial::Smallest;
  auto plain_coded = s.code(plain);
  if (!plain_coded) return error_of(plain_coded);
  // Both layers' corrections at once: the same blobs as one at a time, in
  // less time where both take the flag form.
  std::vector<double> plain_reconstructed, moved_reconstructed;
  auto [plain_fix, moved_fix] = s.correct_applied_two(plain, plain_reconstructed, moved, moved_reconstructed, kTrial);
  if (!plain_fix) return error_of(plain_fix);
  auto moved_coded = s.code_lent(moved);
  if (!moved_coded) return error_of(moved_coded);
  if (!moved_fix) return error_of(moved_fix);
  // The corrected samples are measured in full, as a blob read back would be.
  plain.marks.clear();
  moved.marks.clear();
  if (moved_coded->container.size() + moved_fix->bytes.size() <
      plain_coded->container.size() + plain_fix->bytes.size()) {
    return finish(r, s, std::move(moved), std::move(*moved_coded), std::move(*moved_fix), &moved_reconstructed);
  }
  return finish(r, s, std::move(plain), std::move(*plain_coded), std::move(*plain_fix), &plain_reconstructed);
}

// With corrections, the size to minimise is container plus corrections: a
// coarser wavelet layer costs corrections, a finer one costs payload. Walk
// the multiplier in half-octave steps towards the smaller estimated total.
SearchOutcome<SearchResult> search_with_corrections(const SearchRequest& r, MethodState& state,
                                                    Searcher& s) {
  float floor_m = kSmallestMultiplier;
  const bool others = r.bounds.rmse || r.bounds.prd || r.bounds.psnr;
  if (others) {
    auto c = s.smallest_meeting(multiplier_for_rms(state, search::rms_target(s.reference(), r.bounds, false)), false);
    if (!c) return error_of(c);
    floor_m = c->front().m;
  }
  const float start = std::clamp(multiplier_for_rms(state, *r.bounds.max_error / 2.0), floor_m,
                                 state.largest);
  auto first = s.evaluate(start, true);
  if (!first) return error_of(first);
  if (search::excess(first->wavelet, r.bounds, false) > 1.0) {
    first = s.evaluate(floor_m, true);
    if (!first) return error_of(first);
  }
  // The estimates rank candidates; real coding of the first one's
  // corrections and of a part of its bands scales them to what the coders
  // actually produce on this signal. The corrections shipped are coded
  // when a finalist is known.
  auto scaled = s.payload_scale(first->m, &*first);
  if (!scaled) return error_of(scaled);
  const double payload_scale = *scaled;
  auto calibration = s.gamma_bytes(*first);
  if (!calibration) return error_of(calibration);
  const double fix_scale = first->correction_estimate > 0.0
                               ? static_cast<double>(*calibration) / first->correction_estimate
                               : 1.0;
  const double n = static_cast<double>(r.samples.size());
  // A coarser layer must still meet the RMS-type bounds by itself. Among
  // nearly equal sizes the one with fewer corrections wins (2 % at most):
  // corrections cost more time per byte than the wavelet layer.
  const auto cost = [&](const Candidate& c) -> double {
    if (search::excess(c.wavelet, r.bounds, false) > 1.0) return INFINITY;
    const double total = static_cast<double>(HEADER_LEN) + c.payload_estimate * payload_scale +
                         c.correction_estimate * fix_scale;
    return total * (1.0 + kOutlierPenalty * static_cast<double>(c.outliers) / n);
  };
  Candidate best = std::move(*first);
  const double first_m = best.m;
  const float step = kWalkStep;
  int direction = 0;
  for (int i = 0; i < kMaxEvaluations - 1; ++i) {
    const int dir = direction != 0 ? direction : (i == 0 ? 1 : -1);
    const float m = dir < 0 ? best.m / step : best.m * step;
    if (m < floor_m || m > state.largest) {
      if (direction != 0 || i > 0) break;
      continue;
    }
    auto c = s.evaluate(m, true);
    if (!c) return error_of(c);
    if (cost(*c) < cost(best)) {
      best = std::move(*c);
      direction = dir;
    } else if (direction != 0 || i > 0) {
      break;  // both neighbours are worse, or the way down has turned
    }
  }
  std::optional<corrections::Encoded> known_fix;
  // The walk prices plain rounding; only its choice has values moved, which
  // costs two judgements rather than two per step.
  auto refined = s.refined(best, payload_scale, fix_scale);
  if (!refined) return error_of(refined);
  if (auto& moved = *refined; moved && !moved->refined.empty()) {
    // On short signals the estimates rest on few coefficients and real
    // coding of both is cheap; on long ones, or where the estimates put the
    // moved values clearly ahead, they are trusted rather than paying a
    // second full coding. Where the plain layer's coding and corrections
    // are already made, confirming costs nothing the moved layer's own
    // finish would not.
    const auto estimated = [&](const Candidate& c) {
      return c.payload_estimate * payload_scale + c.correction_estimate * fix_scale;
    };
    const bool in_hand = best.m == first_m && s.coded_already(best);
    const bool clear = estimated(*moved) <= (1.0 - kTrustedGain) * estimated(best);
    if (r.samples.size() <= kConfirmedBelow && (in_hand || !clear)) {
      return finish_refined(r, s, std::move(best), std::move(*moved));
    }
    return finish(r, s, std::move(*moved));
  }
  return finish(r, s, std::move(best), std::nullopt, std::move(known_fix));
}

// A size budget: the largest multiplier whose coded size fits. The payload
// estimate, scaled by what real coding measured, places each try; only the
// tries are entropy coded (and corrected, with a max_error bound).
SearchOutcome<SearchResult> search_budget(const SearchRequest& r, MethodState& state, Searcher& s,
                                          double& smallest_bits) {
  const double n = static_cast<double>(r.samples.size());
  const double budget = *r.bounds.bits_per_sample * n / 8.0;
  const bool fix = s.corrects();
  struct Tried {
    Candidate c;
    Coded coded;
    corrections::Encoded fix;
    double bytes;  // container and corrections together
  };
  // Every full coding, fitting or not, says how small the budget could be.
  auto code_fully = [&](Candidate c) -> SearchOutcome<Tried> {
    auto coded = s.code(c);
    if (!coded) return error_of(coded);
    auto fixes = s.correct(c);
    if (!fixes) return error_of(fixes);
    const double total = static_cast<double>(coded->container.size() + fixes->bytes.size());
    smallest_bits = std::min(smallest_bits, total * 8.0 / n);
    return Tried{std::move(c), std::move(*coded), std::move(*fixes), total};
  };
  std::optional<Tried> fits;
  double lo_m = 0.0, hi_m = static_cast<double>(state.largest) * kAboveLargest;
  // Real bytes beyond the header per estimated payload byte, first from a
  // part of the bands at a multiplier the raw estimate places, then from
  // each full coding.
  double scale = 1.0;
  {
    double a = std::log2(static_cast<double>(kSmallestMultiplier));
    double b = std::log2(static_cast<double>(state.largest));
    for (int k = 0; k < kCalibrationHalvings; ++k) {
      const double mid = 0.5 * (a + b);
      (s.estimate_only(static_cast<float>(std::exp2(mid))) <= budget ? a : b) = mid;
    }
    auto scaled = s.payload_scale(static_cast<float>(std::exp2(a)));
    if (!scaled) return error_of(scaled);
    scale = *scaled;
  }
  for (int i = 0; i < kRealTries; ++i) {
    // Bisection on the scaled estimate inside what real coding has bracketed.
    double a = std::log2(std::max(lo_m, static_cast<double>(kSmallestMultiplier)));
    double b = std::log2(hi_m);
    const double aim = (budget - static_cast<double>(HEADER_LEN)) * kBudgetAim;
    for (int k = 0; k < kTryHalvings; ++k) {
      const double mid = 0.5 * (a + b);
      if (s.estimate_only(static_cast<float>(std::exp2(mid))) * scale <= aim) {
        a = mid;
      } else {
        b = mid;
      }
    }
    const auto m = static_cast<float>(std::min(std::exp2(a), static_cast<double>(state.largest)));
    if (fits && m <= fits->c.m) break;
    auto c = s.placeholder_or_evaluate(m, fix);
    if (!c) return error_of(c);
    auto tried = code_fully(std::move(*c));
    if (!tried) return error_of(tried);
    const double total = tried->bytes;
    if (tried->c.payload_estimate > 0.0) {
      scale = (total - static_cast<double>(HEADER_LEN)) / tried->c.payload_estimate;
    }
    if (total <= budget) {
      lo_m = m;
      fits = std::move(*tried);
      if (total >= budget * kBudgetCloseEnough || m >= state.largest) break;
    } else {
      hi_m = m;
    }
    if (lo_m > 0.0 && hi_m / lo_m < kTolerance) break;
  }
  if (!fits) {
    // Zero quantises everything away: the smallest container there is.
    auto c = s.evaluate(0.0f, fix);
    if (!c) return error_of(c);
    auto tried = code_fully(std::move(*c));
    if (!tried) return error_of(tried);
    if (tried->bytes > budget) {
      return std::unexpected(failure(SearchErrorKind::BudgetTooSmall, "bits_per_sample",
                                     *r.bounds.bits_per_sample, smallest_bits));
    }
    fits = std::move(*tried);
  }
  if (!fix) {
    // Only the try that fits is run through the decoder's arithmetic.
    auto judged = s.evaluate(fits->c.m, false);
    if (!judged) return error_of(judged);
    fits->c = std::move(*judged);
  }
  const bool peak = r.bounds.max_error && !r.allow_corrections;
  if (search::excess(fits->c.wavelet, r.bounds, peak) > 1.0) {
    return std::unexpected(s.not_met(fits->c.wavelet, peak));
  }
  return finish(r, s, std::move(fits->c), std::move(fits->coded), std::move(fits->fix));
}

// Finalists whose estimated payload is more than this factor above the
// smallest one's are not coded: a full coding costs more than the whole
// search around it, and the estimate ranks containers of one signal this
// far apart the way real coding does.
constexpr double kCodedWithin = 1.03;
// The dead zone is searched only when its coding where a secant says it
// would meet the bounds is no larger than this share of the plain rounding
// finalist's: on the speech signals it codes 2 % to 8 % larger there, and
// its search costs about twice the rounding's. Signals shorter than
// kDeadZoneAlwaysBelow search it anyway (both searches cost less than a
// millisecond there, and a few bytes are a large share), and so does a peak
// bound, whose excess moves too unevenly with the multiplier for a secant to
// say where it is met.
constexpr double kDeadZoneWithin = 1.0;
constexpr std::size_t kDeadZoneAlwaysBelow = 16384;
// The secant's slope there, no flatter than this: where the excess flattens
// (the dead zone's own error) a flat slope would place the meeting point far
// too high and code the dead zone far too large. -1 (distortion ~ 1/m) put
// the speech signals' point low enough to search a dead zone that then lost
// on three of them; -0.5 skipped one that wins by 7 % on a step signal.
constexpr double kDeadZoneFlattestSlope = -0.75;

// Whether the dead zone could code smaller than the plain rounding finalist
// `plain` (coded as `plain_coded`), from one more judgement of the dead zone
// and one coding: `ratio` is the dead zone's excess at plain's multiplier.
// Where it would meet the bounds comes from a secant through its excess at
// plain's multiplier and at `guess`, in log-log, with a slope no flatter
// than kDeadZoneFlattestSlope; the coding there stands for the dead zone's
// smallest container.
SearchOutcome<bool> dead_zone_may_win(const SearchRequest& r, const MethodState& state,
                                      Searcher& s, float m, double ratio, float guess,
                                      const Coded& plain_coded) {
  const bool peak = r.bounds.max_error.has_value();
  const float start = s.first_grid_point(guess);
  if (!(start > m) || !(ratio > 1.0)) return true;
  auto there = s.evaluate_and_keep(start);
  if (!there) return error_of(there);
  const double ratio_there = search::excess(*there, r.bounds, peak);
  if (!(ratio_there > 0.0) || !std::isfinite(ratio_there)) return true;
  const double slope = std::clamp(
      (std::log(ratio_there) - std::log(ratio)) / (std::log(static_cast<double>(start)) - std::log(static_cast<double>(m))),
      kSteepestSlope, kDeadZoneFlattestSlope);
  const double aim = static_cast<double>(start) * std::exp(-std::log(ratio_there) / slope);
  const auto meets = static_cast<float>(
      std::clamp(aim, static_cast<double>(kSmallestMultiplier), static_cast<double>(state.largest)));
  auto coded = s.code(s.unjudged(meets));
  if (!coded) return error_of(coded);
  return static_cast<double>(coded->container.size()) <=
         kDeadZoneWithin * static_cast<double>(plain_coded.container.size());
}

// The detail bands' synthesis gains for rate-aware rounding, or nothing
// where plain rounding stays: a peak bound, or a cutoff the caller chose.
SearchOutcome<std::vector<double>> rate_aware_gains(const SearchRequest& r, const MethodState& state,
                                                    bool peak) {
  if (peak || r.cutoff != Cutoff::Low) return std::vector<double>{};
  auto gains = rate_aware::detail_gains(*state.executor, state.decomposition.transform_len,
                                        static_cast<std::uint8_t>(state.decomposition.details.size()));
  if (!gains) return codec_error_of(gains);
  return std::move(*gains);
}

SearchOutcome<SearchResult> search_method(const SearchRequest& r, const search::Reference& ref,
                                          MethodState& state, double& smallest_bits) {
  Searcher s(r, ref, state);
  if (r.bounds.bits_per_sample) return search_budget(r, state, s, smallest_bits);
  if (s.corrects()) return search_with_corrections(r, state, s);
  const bool peak = r.bounds.max_error.has_value();
  const float guess = multiplier_for_rms(state, search::rms_target(ref, r.bounds, peak));
  struct Finalist {
    Searcher* by;
    Candidate c;
    double estimate;
  };
  std::vector<Finalist> finalists;
  // The low cutoff's dead zone (magnitude 1 zeroed at scales 10 and 11)
  // saves bits at one multiplier, but held to a bound the search pays for
  // its distortion with a finer multiplier. Plain rounding was 0.7 % to 9 %
  // smaller on every RMSE and PRD case of the recorded search sizes; on
  // sparse signals (spikes, steps) the dead zone is far smaller. So plain
  // rounding is searched first, and the dead zone wherever it might still
  // win; stronger cutoffs are a caller's explicit choice.
  // Under RMS-type bounds alone the rounding is rate-aware: per band, a
  // value goes one step toward zero where the bits saved outweigh the error
  // added (rate_aware_rounding.hpp).
  auto gains = rate_aware_gains(r, state, peak);
  if (!gains) return error_of(gains);
  Searcher rounding = gains->empty()
                          ? Searcher(r, ref, state, 0)
                          : Searcher(r, ref, state, std::move(*gains), rate_aware::lambda_for(state.method));
  float dead_zone_guess = guess;
  std::optional<Coded> plain_coded;  // the rounding finalist's, once made
  if (r.cutoff == Cutoff::Low && (dead_zone_threshold(r.scale, r.cutoff) > 1 || !peak)) {
    // No replay of the old bisection: it ran on the scale's rule only.
    auto plain = rounding.smallest_meeting(guess, peak, false);
    if (!plain && plain.error().kind != SearchErrorKind::TargetNotMet) {
      return std::unexpected(plain.error());
    }
    if (plain) {
      const float m = plain->front().m;
      for (auto& c : *plain) finalists.push_back({&rounding, std::move(c), 0.0});
      // Where the dead zone would meet the bounds, from its distortion at
      // the same multiplier and distortion ~ 1 / m. Its payload only grows
      // with the multiplier, so if even that estimate is clearly larger,
      // searching it cannot pay. Short signals, where estimates rest on few
      // coefficients and a search costs little, always search both.
      auto at = s.evaluate(m, false);
      if (!at) return error_of(at);
      const double ratio = std::max(search::excess(at->wavelet, r.bounds, peak), 1.0);
      dead_zone_guess = static_cast<float>(std::min(static_cast<double>(m) * ratio,
                                                    static_cast<double>(state.largest)));
      if (r.samples.size() > kConfirmedBelow &&
          s.estimate_only(dead_zone_guess) > kCodedWithin * rounding.estimate_only(m)) {
        dead_zone_guess = 0.0f;
      } else if (plain->size() == 1 && !peak && r.samples.size() >= kDeadZoneAlwaysBelow) {
        auto coded = rounding.code(finalists.front().c);
        if (!coded) return error_of(coded);
        plain_coded = std::move(*coded);
        auto may = dead_zone_may_win(r, state, s, m, search::excess(at->wavelet, r.bounds, peak),
                                     dead_zone_guess, *plain_coded);
        if (!may) return error_of(may);
        if (!*may) dead_zone_guess = 0.0f;
      }
    }
  }
  if (dead_zone_guess > 0.0f) {
    auto scales = s.smallest_meeting(dead_zone_guess, peak);
    if (!scales) return error_of(scales);
    // The scale's rule first: it wins a tie.
    std::vector<Finalist> mine;
    for (auto& c : *scales) mine.push_back({&s, std::move(c), 0.0});
    for (auto& f : finalists) mine.push_back(std::move(f));
    finalists = std::move(mine);
  }
  double least = INFINITY;
  if (finalists.size() > 1) {
    for (auto& f : finalists) least = std::min(least, f.estimate = f.by->estimate_only(f.c.m));
  }
  // The smaller container wins, the earlier finalist on a tie.
  std::optional<std::size_t> best;
  std::optional<Coded> best_coded;
  for (std::size_t i = 0; i < finalists.size(); ++i) {
    if (finalists[i].estimate > least * kCodedWithin) continue;
    const bool made = plain_coded && i + 1 == finalists.size() && finalists[i].by == &rounding;
    auto coded = made ? SearchOutcome<Coded>(std::move(*plain_coded)) : finalists[i].by->code(finalists[i].c);
    if (!coded) return error_of(coded);
    if (!best_coded || coded->container.size() < best_coded->container.size()) {
      best = i, best_coded = std::move(*coded);
    }
  }
  Finalist& won = finalists[*best];
  auto out = finish(r, *won.by, std::move(won.c), std::move(best_coded));
  if (out) out->candidates_judged = static_cast<std::size_t>(s.evaluations() + rounding.evaluations());
  return out;
}

}  // namespace

Distortion measure(const Originals& originals, std::span<const float> decoded) {
  return search::judge(search::reference_of(originals), decoded, 0.0).distortion;
}

namespace {

// The reference of a fast search. Where the caller scanned the float32
// samples it codes (finite, their extremes given) and the bounds are a
// corrected max_error without PRD, the judgement that marks the samples to
// correct also takes the originals' energy, and the reference's own pass
// over them is left out; the figures are the same to the bit.
search::Reference fast_reference(const SearchRequest& r) {
  const Bounds& b = r.bounds;
  const bool scanned = r.range && !r.samples.empty() && !r.originals.is_double() &&
                       r.originals.size() == r.samples.size() && r.originals.f32().data() == r.samples.data();
  if (scanned && b.max_error && r.allow_corrections && !b.prd && !b.bits_per_sample) {
    return search::reference_in_range(r.originals, static_cast<double>(r.range->lo),
                                      static_cast<double>(r.range->hi));
  }
  return search::reference_in_lanes(r.originals);
}

}  // namespace

SearchOutcome<SearchResult> bounded_compress(const SearchRequest& request) {
  // What the distortion measures need from the originals, read once for
  // the checks and every judgement.
  search::Reference ref = request.effort == Effort::Fast ? fast_reference(request)
                                                          : search::reference_of(request.originals);
  if (auto bad = search::check_request(request, ref)) return std::unexpected(std::move(*bad));
  std::optional<SearchResult> best;
  std::optional<SearchError> missed;
  double smallest_bits = INFINITY;
  for (const Method method : request.methods) {
    auto state = prepare(request, method);
    if (!state) return error_of(state);
    auto lean = request.effort == Effort::Fast ? lean_search(request, ref, *state) : std::nullopt;
    if (!lean && ref.energy_pending) ref = search::reference_in_lanes(request.originals);
    auto result = lean ? std::move(*lean) : search_method(request, ref, *state, smallest_bits);
    if (!result) {
      const auto kind = result.error().kind;
      if (kind != SearchErrorKind::TargetNotMet && kind != SearchErrorKind::BudgetTooSmall) {
        return std::unexpected(result.error());
      }
      missed = result.error();
      continue;
    }
    if (!best || result->total_bytes() < best->total_bytes()) best = std::move(*result);
  }
  if (best) return std::move(*best);
  if (missed->kind == SearchErrorKind::BudgetTooSmall) missed->limit = smallest_bits;
  return std::unexpected(std::move(*missed));
}

}  // namespace quillmere
