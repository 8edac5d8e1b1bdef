// The candidates of the bounded search and the judge that makes them: one
// method's transform kept for every multiplier tried, each multiplier run
// through the decoder's arithmetic and judged against the originals, the
// lowest grid multiplier meeting RMS-type bounds, and the coding and
// corrections of a finalist. The drivers that walk multipliers for each
// kind of bound are in bounded_search.cpp. Internal to the codec library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bound_refinement.hpp"
#include "compress_stages.hpp"
#include "corrections_gamma.hpp"
#include "quantizer.hpp"
#include "quillmere/bounded_search.hpp"
#include "quillmere/header.hpp"
#include "rate_aware_rounding.hpp"
#include "reconstruct.hpp"
#include "rounding_noise.hpp"
#include "search_support.hpp"
#include "wavelet_choice.hpp"

namespace quillmere::searching {

using search::failure;
namespace grid = search::grid;

// Judgements for the lowest multiplier meeting the bounds: closing in on a
// pair of grid neighbours usually takes 3 to 6.
constexpr int kMaxGridJudgements = 12;
// Grid steps either side of the pair found within which a replayed
// bisection's steps are judged rather than inferred.
constexpr int kReplayWindow = 12;
// ln of the ratio between grid neighbours.
constexpr double kLogStep = 0.69314718055994531 / grid::kPerOctave;
// Below this a multiplier quantises any normalised signal to zeros.
constexpr float kSmallestMultiplier = 1.0f / 64.0f;
// The secant's slope of log excess against log multiplier: about -1 while
// quantisation noise dominates; kept within these so that a flattened
// stretch (dead zone, 16-bit range) cannot make a step crawl or overshoot.
constexpr double kSteepestSlope = -3.0;
constexpr double kFlattestSlope = -0.25;
// Largest secant step, in natural log of the multiplier; and the step up,
// in octaves, when a candidate's error is too large to take a log of.
constexpr double kLongestLogStep = 4.0;
constexpr int kBlindOctaves = 4;
// The secant's slope of log excess against the predicted log RMS error
// (half the log of RoundingNoise's squared error): 1 where the prediction
// is right up to a factor, kept within these where it is not.
constexpr double kFlattestModelSlope = 0.25;
constexpr double kSteepestModelSlope = 4.0;
// From this judgement on, a second step on one side of a bracket halves it.
constexpr int kHalveFrom = 4;
// Signals of up to this many coefficients have their payload scale taken
// from coding all of their bands; longer ones from a part of each band.
constexpr std::size_t kScaleWholeUpTo = 65536;
// The part: this fraction of each band, at least kScalePartFloor values.
constexpr std::size_t kScalePartDivisor = 8;
constexpr std::size_t kScalePartFloor = 256;

inline SearchError codec_failure(const QuillmereError& e) {
  return failure(SearchErrorKind::Codec, {}, 0.0, 0.0, e.message());
}

// Passes a failed outcome's error on: `if (!x) return error_of(x);`.
template <class Outcome>
auto error_of(const Outcome& failed) {
  return std::unexpected(failed.error());
}
// The same for the codec's own results, whose error is a QuillmereError.
template <class T>
std::unexpected<SearchError> codec_error_of(const Result<T>& failed) {
  return std::unexpected(codec_failure(failed.error()));
}

// One method's transform, kept for every multiplier tried on it.
struct MethodState {
  Method method{};
  wavelet::DwtHandle executor;
  stages::Decomposition decomposition;
  float min = 0.0f, max = 0.0f, mean = 0.0f;
  float largest = 0.0f;  // largest multiplier that fits at one level
  // Places the judgements of searches for RMS-type bounds; not usable when
  // the search has no such bound.
  search::RoundingNoise noise;
};

struct Candidate {
  float m = 0.0f;
  std::uint8_t depth = 0;
  std::vector<float> decoded;
  Distortion wavelet;
  double payload_estimate = 0.0;
  double correction_estimate = 0.0;  // 0 when nothing needs correcting
  std::size_t outliers = 0;
  // Quantised values moved for the max_error bound; empty: plain quantisation.
  std::vector<std::int16_t> refined;
  // The samples of `decoded` beyond max_error, bit i % 64 of marks[i / 64],
  // when the judgement listed them; empty: not listed.
  std::vector<std::uint64_t> marks;
  search::Unmarked within;  // with marks: the sums of the samples not marked
  // The originals' sum of squares where this judgement took it for a
  // reference that left it pending (search::reference_in_range); else < 0.
  double reference_energy = -1.0;
  // The same samples as a judgement with corrections counted them, without
  // the sums: only for the corrections encoder, which then reads just these
  // samples rather than scanning all of them. Empty: not listed.
  std::vector<std::uint64_t> listed;
  double estimated_total() const {
    return static_cast<double>(HEADER_LEN) + payload_estimate + correction_estimate;
  }
};

struct Coded {
  CodecOptions options;
  std::vector<std::uint8_t> container;
};

class Searcher {
 public:
  Searcher(const SearchRequest& r, const search::Reference& ref, MethodState& s)
      : Searcher(r, ref, s, dead_zone_threshold(r.scale, r.cutoff)) {}
  // Quantising detail bands with a dead zone of its own rather than the
  // scale's (0: plain rounding).
  Searcher(const SearchRequest& r, const search::Reference& ref, MethodState& s,
           std::uint16_t threshold)
      : r_(r), ref_(ref), s_(s), threshold_(threshold) {}
  // Quantising detail bands by rate-aware rounding (rate_aware_rounding.hpp)
  // with the detail bands' `gains` as detail_gains gives them for the
  // decomposition's full depth.
  Searcher(const SearchRequest& r, const search::Reference& ref, MethodState& s,
           std::vector<double> gains, double lambda)
      : r_(r), ref_(ref), s_(s), threshold_(0), gains_(std::move(gains)), lambda_(lambda) {}

  bool corrects() const { return r_.bounds.max_error && r_.allow_corrections; }

  // The decoder's result for multiplier m, judged against the originals.
  // `marking` (without with_corrections) lists the samples beyond max_error
  // in the judgement's pass, for a candidate that will be corrected as it is.
  SearchOutcome<Candidate> evaluate(float m, bool with_corrections, bool marking = false) {
    if (!with_corrections && !marking && kept_ && kept_->m == m) {
      Candidate c = std::move(*kept_);
      kept_.reset();
      return c;
    }
    Candidate c;
    c.m = m;
    c.depth = stages::unsaturated_depth(s_.decomposition.extremes, m);
    quantise_into(c.depth, m, scratch_);
    // Only the trade between payload and corrections needs the estimate; it
    // costs about a third of a judgement.
    if (with_corrections) c.payload_estimate = search::estimate_payload_bytes(scratch_);
    // The decoder takes only a positive finite multiplier as it is.
    const float m_dec = (std::isfinite(m) && m > 0.0f) ? m : scale_multiplier(r_.scale);
    auto decoded = decode(scratch_, m_dec);
    if (!decoded) return error_of(decoded);
    c.decoded = std::move(*decoded);
    search::Judgement j;
    if (with_corrections && corrects()) {
      j = search::judge_listing(ref_, c.decoded, *r_.bounds.max_error, c.listed);
    } else if (!(marking && corrects() && !with_corrections &&
                 search::judge_marking(ref_, c.decoded, *r_.bounds.max_error, j, c.marks, c.within))) {
      j = search::judge(ref_, c.decoded, with_corrections ? *r_.bounds.max_error : 0.0);
    } else if (!std::isfinite(j.distortion.rmse)) {
      // A NaN among the decoded samples is beyond any bound but not marked.
      c.marks.clear();
    }
    c.wavelet = j.distortion;
    c.reference_energy = j.energy;
    c.correction_estimate = j.correction_bytes;
    c.outliers = j.outliers;
    ++evaluations_;
    return c;
  }

  // evaluate(m, false), its candidate kept for the next evaluate of m, which
  // then costs nothing.
  SearchOutcome<Distortion> evaluate_and_keep(float m) {
    auto c = evaluate(m, false);
    if (!c) return error_of(c);
    const Distortion d = c->wavelet;
    kept_ = std::move(*c);
    return d;
  }

  // The grid point smallest_meeting starts from for `guess`.
  float first_grid_point(float guess) const {
    const int lowest = grid::index_at_or_below(kSmallestMultiplier);
    const int highest = grid::index_at_or_below(s_.largest);
    return grid::multiplier(std::clamp(grid::index_at_or_below(std::max(guess, kSmallestMultiplier)),
                                       lowest, std::max(lowest, highest)));
  }

  // A candidate to code at m, not judged.
  Candidate unjudged(float m) const {
    Candidate c;
    c.m = m;
    c.depth = stages::unsaturated_depth(s_.decomposition.extremes, m);
    return c;
  }

  // The decoder's samples for any quantised bands at the candidate's depth.
  SearchOutcome<std::vector<float>> decode(const stages::QuantisedBands& q, float m) const {
    // The same dequantisation as the decoder's, into a buffer kept from one
    // candidate to the next: a fresh one cost its pages' faults every time.
    // Not zero-filled first (every value is written): a searcher judging
    // once paid a pass of memset over it.
    const std::size_t count = q.coeffs.size();
    if (dequantised_capacity_ < count) {
      try {
        dequantised_ = std::make_unique_for_overwrite<float[]>(count);
      } catch (const std::bad_alloc&) {
        return std::unexpected(codec_failure(QuillmereError::decompress_out_of_memory()));
      }
      dequantised_capacity_ = count;
    }
    const std::span<float> dequantised(dequantised_.get(), count);
    dequantise(q.coeffs, m, dequantised);
    auto decoded = stages::synthesise(
        *s_.executor, std::span<const float>(dequantised), q.layout,
        {s_.min, s_.max, s_.mean, static_cast<std::uint32_t>(r_.samples.size())});
    if (!decoded) return codec_error_of(decoded);
    return std::move(*decoded);
  }

  // Moves quantised values of a candidate judged with corrections so that
  // fewer samples need them, and zeroes those the bound leaves room for,
  // keeping a change only where estimated payload and corrections together
  // shrink. Nothing comes back when no change paid: the plain candidate
  // stands (read here, not copied: its samples are the refinement's start).
  // A layer without outliers may still have values to zero.
  SearchOutcome<std::optional<Candidate>> refined(const Candidate& plain, double payload_scale,
                                                  double fix_scale) {
    if (!corrects() || !(plain.m > 0.0f) || !std::isfinite(plain.m)) return std::nullopt;
    const double bound = *r_.bounds.max_error;
    const float m = plain.m;
    if (lambda_ > 0.0) {
      scratch_holds_.reset();
      stages::quantise_at_depth(*s_.executor, s_.decomposition, plain.depth, m, threshold_, scratch_);
    } else {
      quantise_into(plain.depth, m, scratch_);
    }
    // What each call of the judge measured, so that the result kept is not
    // judged and estimated a second time.
    struct Priced {
      search::Judgement judgement;
      double payload = 0.0;
      std::vector<std::uint64_t> listed;
    };
    std::vector<Priced> priced;
    const refine::JudgeFn price = [&](const stages::QuantisedBands& q) -> SearchOutcome<refine::Judged> {
      auto y = decode(q, m);
      if (!y) return error_of(y);
      std::vector<std::uint64_t> listed;
      const auto j = search::judge_listing(ref_, *y, bound, listed);
      const double payload = search::estimate_payload_bytes(q);
      priced.push_back({j, payload, std::move(listed)});
      ++evaluations_;
      // The corrections mend only the peak: a layer the moves leave beyond
      // an RMS-type bound is no candidate, however small.
      const double bytes = search::excess(j.distortion, r_.bounds, false) > 1.0
                               ? INFINITY
                               : payload * payload_scale + j.correction_bytes * fix_scale;
      return refine::Judged{std::move(*y), bytes, j.outliers};
    };
    refine::Problem p{s_.executor.get(), &s_.decomposition, plain.depth, m, s_.min, s_.max,
                      &r_.originals, bound, plain.outliers,
                      fix_scale > 0.0 ? payload_scale / fix_scale : 0.0};
    refine::Judged first{{},
                         plain.payload_estimate * payload_scale + plain.correction_estimate * fix_scale,
                         plain.outliers};
    auto done = refine::refine(p, scratch_, plain.decoded, std::move(first), price);
    if (!done) return error_of(done);
    if (done->kept == 0) return std::nullopt;
    Priced& kept = priced.at(static_cast<std::size_t>(done->kept - 1));
    Candidate c;
    c.m = m;
    c.depth = plain.depth;
    c.reference_energy = plain.reference_energy;
    c.decoded = std::move(done->judged.decoded);
    c.listed = std::move(kept.listed);
    c.wavelet = kept.judgement.distortion;
    c.correction_estimate = kept.judgement.correction_bytes;
    c.outliers = kept.judgement.outliers;
    c.payload_estimate = kept.payload;
    c.refined = std::move(done->bands.coeffs);
    return c;
  }

  // Whether code(c) would reuse the coding the payload scale made: it took
  // all of these very bands at this multiplier (plain quantisation only).
  bool coded_already(const Candidate& c) const {
    return c.refined.empty() && whole_coding_m_ && *whole_coding_m_ == c.m &&
           whole_coding_.size() == r_.coders.size();
  }

  // Entropy codes the candidate with every coder and keeps the smallest.
  SearchOutcome<Coded> code(const Candidate& c) {
    const bool known = coded_already(c);
    if (!known && c.refined.empty()) {
      quantise_into(c.depth, c.m, scratch_);
    } else if (!known) {
      lay_out(c.depth);
      scratch_.coeffs = c.refined;
    }
    return coded_as(c, known);
  }

  // code(c), a candidate's moved values lent to the coders for the coding
  // rather than copied (c is as it was afterwards).
  SearchOutcome<Coded> code_lent(Candidate& c) {
    if (c.refined.empty()) return code(c);
    lay_out(c.depth);
    struct GiveBack {
      std::vector<std::int16_t>& a;
      std::vector<std::int16_t>& b;
      ~GiveBack() { a.swap(b); }
    };
    scratch_.coeffs.swap(c.refined);
    const GiveBack back{scratch_.coeffs, c.refined};
    return coded_as(c, false);
  }

  // The lowest grid multiplier whose wavelet layer meets the bounds
  // (max_error included when `peak`) with its grid neighbour below missing
  // them, steering by the model distortion ~ 1 / m. Stopping anywhere short
  // of that pair, within a tolerance of the bound, left containers up to
  // 0.2 % larger than the pair's upper point.
  // Returns one candidate, or two (lower multiplier first) when the pair
  // found differs from where a bisection over the grid from the scale's
  // octave would end: where the bounds are met unevenly near the boundary,
  // that end may be lower, or code smaller, and both are worth coding.
  SearchOutcome<std::vector<Candidate>> smallest_meeting(float guess, bool peak, bool replay = true) {
    const int lowest = grid::index_at_or_below(kSmallestMultiplier);
    const int highest = grid::index_at_or_below(s_.largest);
    std::optional<Candidate> feasible;
    int pass = highest + 1;  // lowest index known to meet the bounds
    int fail = lowest - 1;   // highest index known to miss them, below `pass`
    Distortion best_missed;
    double best_ratio = INFINITY;
    double prev_j = NAN, prev_lr = NAN, prev_u = NAN;
    bool prev_met = false;
    std::map<int, bool> judged;
    int j = grid::index_at_or_below(first_grid_point(guess));
    for (int i = 0; i < kMaxGridJudgements && lowest <= highest; ++i) {
      auto c = evaluate(grid::multiplier(j), false);
      if (!c) return error_of(c);
      const double ratio = search::excess(c->wavelet, r_.bounds, peak);
      const bool met = ratio <= 1.0;
      judged[j] = met;
      if (met) {
        pass = j;
        feasible = std::move(*c);
      } else {
        fail = j;
        if (ratio < best_ratio) best_ratio = ratio, best_missed = c->wavelet;
      }
      if (pass - fail <= 1) break;
      // Secant on log ratio against log m, aiming at the bound itself and
      // taking the grid point just above it: that one should meet the
      // bounds and the one below it miss. The slope is about -1 while
      // quantisation noise dominates; where the dead zone or the 16-bit
      // range flatten it, the clamp keeps the steps large instead of crawling.
      const double lr = std::log(ratio > 0.0 ? ratio : 1e-300);
      // Where the coefficients' magnitudes predict the error, the secant
      // runs on that prediction instead of on log m: it knows how many
      // coefficients a step moves into or out of zero, which the -1 slope
      // does not (speech at RMS bounds ends up to 0.8 octave below the
      // uniform-noise guess; this saves one judgement of five to seven).
      // A peak error follows the RMS too loosely: steered this way, speech
      // at max_error 0.1 % without corrections ended on a pair 0.5 % larger.
      const double u = peak ? NAN : predicted_log_rms(grid::multiplier(j));
      const bool modelled = std::isfinite(u) && std::isfinite(lr);
      double slope = -1.0;
      if (std::isfinite(prev_j) && j != prev_j && std::isfinite(lr) && std::isfinite(prev_lr)) {
        slope = std::clamp((lr - prev_lr) / ((j - prev_j) * kLogStep), kSteepestSlope, kFlattestSlope);
      }
      double model_slope = 1.0;
      if (modelled && std::isfinite(prev_u) && u != prev_u && std::isfinite(prev_lr)) {
        model_slope = std::clamp((lr - prev_lr) / (u - prev_u), kFlattestModelSlope, kSteepestModelSlope);
      }
      const bool same_side = std::isfinite(prev_j) && met == prev_met;
      prev_j = j, prev_lr = lr, prev_met = met, prev_u = u;
      double aim = std::isfinite(lr)
                       ? j + std::clamp(-lr / slope, -kLongestLogStep, kLongestLogStep) / kLogStep
                       : j + kBlindOctaves * grid::kPerOctave;
      if (modelled) {
        const double here = grid::multiplier(j);
        const double wanted = std::exp(2.0 * (u - lr / model_slope));
        const double m = s_.noise.multiplier_for(wanted, zero_below(), here * std::exp(-kLongestLogStep),
                                                 here * std::exp(kLongestLogStep));
        aim = j + std::log(m / here) / kLogStep;
      }
      // Two steps on one side of a bracket: halve it instead, so that a
      // flattened slope cannot make the search creep.
      if (same_side && i >= kHalveFrom && fail >= lowest && pass <= highest) aim = 0.5 * (fail + pass);
      j = static_cast<int>(std::clamp(std::ceil(aim), static_cast<double>(fail + 1),
                                      static_cast<double>(pass - 1)));
    }
    if (!feasible && !(fail == highest && grid::multiplier(highest) == s_.largest)) {
      // The finest multiplier decides whether the bound is reachable; it
      // lies between the grid points when the range caps it.
      auto c = evaluate(s_.largest, false);
      if (!c) return error_of(c);
      if (search::excess(c->wavelet, r_.bounds, peak) <= 1.0) {
        std::vector<Candidate> only;
        only.push_back(std::move(*c));
        return only;
      }
      best_missed = c->wavelet;
    }
    if (!feasible) return std::unexpected(not_met(best_missed, peak));
    std::vector<Candidate> out;
    out.push_back(std::move(*feasible));
    if (pass - fail != 1 || !replay) return out;
    // Replaying the bisection judges only its steps near the pair: farther
    // out the distortion differs by more than the unevenness seen for RMS-type
    // bounds, so the pair's side decides. The peak error is too uneven for that.
    const int window = peak ? std::numeric_limits<int>::max() : kReplayWindow;
    std::optional<Candidate> lowest_met;
    const auto met = [&](int k) -> SearchOutcome<bool> {
      if (const auto it = judged.find(k); it != judged.end()) return it->second;
      if (std::abs(k - pass) > window) return k >= pass;
      auto c = evaluate(grid::multiplier(k), false);
      if (!c) return error_of(c);
      const bool ok = search::excess(c->wavelet, r_.bounds, peak) <= 1.0;
      judged[k] = ok;
      if (ok && (!lowest_met || c->m < lowest_met->m)) lowest_met = std::move(*c);
      return ok;
    };
    auto end = grid::bisection_end(static_cast<int>(r_.scale) * grid::kPerOctave, lowest, highest, met);
    if (!end) return error_of(end);
    if (!*end || **end == pass) return out;
    auto other = lowest_met && lowest_met->m == grid::multiplier(**end)
                     ? SearchOutcome<Candidate>(std::move(*lowest_met))
                     : evaluate(grid::multiplier(**end), false);
    if (!other) return error_of(other);
    // Far from the pair the replay infers its steps from the pair's side, so
    // its end may be a multiplier that was never judged; one that misses the
    // bounds must not become a finalist, or the smaller container it codes to
    // would be returned as meeting them.
    if (search::excess(other->wavelet, r_.bounds, peak) > 1.0) return out;
    out.insert(**end < pass ? out.begin() : out.end(), std::move(*other));
    return out;
  }

  SearchError not_met(const Distortion& d, bool peak) const {
    const Bounds& b = r_.bounds;
    if (peak && b.max_error && d.max_error > *b.max_error) {
      return failure(SearchErrorKind::TargetNotMet, "max_error", *b.max_error, d.max_error);
    }
    if (b.rmse && d.rmse > *b.rmse) return failure(SearchErrorKind::TargetNotMet, "rmse", *b.rmse, d.rmse);
    if (b.prd && d.prd > *b.prd) return failure(SearchErrorKind::TargetNotMet, "prd", *b.prd, d.prd);
    return failure(SearchErrorKind::TargetNotMet, "psnr", b.psnr.value_or(0.0), d.psnr);
  }

  // The bands the last judgement or coding quantised (by this searcher's rule).
  const stages::QuantisedBands& last_bands() const { return scratch_; }

  int evaluations() const { return evaluations_; }
  const search::Reference& reference() const { return ref_; }

  // The payload estimate alone: quantisation without the inverse transform.
  double estimate_only(float m) {
    const std::uint8_t depth = stages::unsaturated_depth(s_.decomposition.extremes, m);
    if (lambda_ > 0.0) {
      quantise_into(depth, m, scratch_);
      return search::estimate_payload_bytes(scratch_);
    }
    return search::estimate_payload_bytes(s_.decomposition, depth, m, threshold_);
  }

  // A candidate to code: judged when its corrections are needed, otherwise
  // only its multiplier and depth, the decoder's arithmetic left for later.
  SearchOutcome<Candidate> placeholder_or_evaluate(float m, bool judge) {
    if (judge) return evaluate(m, true);
    Candidate c;
    c.m = m;
    c.depth = stages::unsaturated_depth(s_.decomposition.extremes, m);
    c.payload_estimate = estimate_only(m);
    return c;
  }

  // Real payload bytes per estimated byte at multiplier m, from coding each
  // band's leading eighth (the whole of a short signal) with every coder:
  // what the estimate misses of the coders' context modelling, at a
  // fraction of the cost of a full coding. `judged`, when given, is a
  // candidate evaluated with corrections at m, whose payload estimate is
  // then the whole bands' one here.
  SearchOutcome<double> payload_scale(float m, const Candidate* judged = nullptr) {
    quantise_into(stages::unsaturated_depth(s_.decomposition.extremes, m), m, scratch_);
    const bool whole = scratch_.coeffs.size() <= kScaleWholeUpTo;
    // A short signal's bands are coded where they are, not copied.
    stages::QuantisedBands part;
    const stages::QuantisedBands& coded_part = whole ? scratch_ : part;
    if (!whole) {
      part.levels = scratch_.levels;
      part.layout.lengths.resize(scratch_.layout.lengths.size());
      const auto bands = scratch_.bands();
      for (std::size_t b = 0; b < bands.size(); ++b) {
        const std::size_t len = bands[b].size();
        const std::size_t keep =
            std::max(len / kScalePartDivisor, std::min<std::size_t>(len, kScalePartFloor));
        part.layout.lengths[b] = keep;
        part.layout.total += keep;
        part.coeffs.insert(part.coeffs.end(), bands[b].begin(),
                           bands[b].begin() + static_cast<std::ptrdiff_t>(keep));
      }
    }
    const bool known = whole && judged && judged->m == m && judged->refined.empty() &&
                       judged->payload_estimate > 0.0;
    const double estimate = known ? judged->payload_estimate : search::estimate_payload_bytes(coded_part);
    if (!(estimate > 0.0)) return 1.0;
    // The finalist keeps its smallest coding, so the smallest coder here is
    // the one that prices payload: scaled by a weaker first coder (deflate
    // codes speech bands to twice the context model's bytes), the walk took
    // payload for dear and settled on four times the corrections.
    std::size_t smallest = std::numeric_limits<std::size_t>::max();
    whole_coding_m_.reset();
    whole_coding_.clear();
    for (const Coder coder : r_.coders) {
      auto coded = stages::encode_bands(coded_part, coder);
      if (!coded) return codec_error_of(coded);
      smallest = std::min(smallest, coded->bytes.size());
      if (whole) whole_coding_.push_back(std::move(*coded));
    }
    if (whole) whole_coding_m_ = m;
    return static_cast<double>(smallest) / estimate;
  }

  // The bytes a candidate's corrections take in the gamma form, which the
  // correction estimate was tuned against: the walk and the refinement are
  // calibrated with it, so that the smaller token form shipped does not
  // tilt their choices.
  SearchOutcome<std::size_t> gamma_bytes(const Candidate& c) const {
    if (!corrects() || !(c.wavelet.max_error > *r_.bounds.max_error)) return std::size_t{0};
    auto fix = corrections::gamma::encode(c.decoded, r_.originals, *r_.bounds.max_error, fix_buffers_,
                                          listing_of(c));
    if (!fix) {
      return std::unexpected(failure(SearchErrorKind::Codec, {}, 0.0, 0.0,
                                     std::string(corrections::message(fix.error()))));
    }
    return fix->bytes.size();
  }

  // The real corrections of a candidate; none when its layer meets max_error.
  SearchOutcome<corrections::Encoded> correct(const Candidate& c) const {
    if (!corrects() || !(c.wavelet.max_error > *r_.bounds.max_error)) return corrections::Encoded{};
    auto fix = corrections::encode(c.decoded, r_.originals, *r_.bounds.max_error, fix_buffers_);
    if (!fix) {
      return std::unexpected(failure(SearchErrorKind::Codec, {}, 0.0, 0.0,
                                     std::string(corrections::message(fix.error()))));
    }
    return std::move(*fix);
  }

  // correct(c), with c's samples then corrected in place as the blob's
  // reader would correct them (a float64 source: the corrected
  // reconstruction in `reconstructed`, c's samples left alone). Nothing is
  // corrected when the layer meets max_error.
  SearchOutcome<corrections::Encoded> correct_applied(Candidate& c, std::vector<double>& reconstructed) const {
    // The one-step search is there for speed; the others for the smallest blob.
    return correct_applied(c, reconstructed, r_.effort == Effort::Fast ? corrections::FormTrial::Quick
                                                                       : corrections::FormTrial::Smallest);
  }
  // The same with the form trial chosen: correct(c)'s blob with Smallest.
  SearchOutcome<corrections::Encoded> correct_applied(Candidate& c, std::vector<double>& reconstructed,
                                                      corrections::FormTrial trial) const {
    if (!corrects() || !(c.wavelet.max_error > *r_.bounds.max_error)) return corrections::Encoded{};
    auto fix = corrections::encode_applied(c.decoded, r_.originals, *r_.bounds.max_error, fix_buffers_,
                                           reconstructed, listing_of(c), trial);
    if (!fix) {
      return std::unexpected(failure(SearchErrorKind::Codec, {}, 0.0, 0.0,
                                     std::string(corrections::message(fix.error()))));
    }
    return std::move(*fix);
  }

  // correct_applied(a, ...) and correct_applied(b, ...) with `trial`, the
  // same blobs and samples, coded together where both need corrections.
  std::pair<SearchOutcome<corrections::Encoded>, SearchOutcome<corrections::Encoded>> correct_applied_two(
      Candidate& a, std::vector<double>& reconstructed_a, Candidate& b, std::vector<double>& reconstructed_b,
      corrections::FormTrial trial) const {
    const auto needs = [&](const Candidate& c) {
      return corrects() && c.wavelet.max_error > *r_.bounds.max_error;
    };
    if (!needs(a) || !needs(b)) {
      return {correct_applied(a, reconstructed_a, trial), correct_applied(b, reconstructed_b, trial)};
    }
    auto [fix_a, fix_b] = corrections::encode_applied_two(
        {a.decoded, &fix_buffers_, &reconstructed_a, listing_of(a)},
        {b.decoded, &second_fix_buffers_, &reconstructed_b, listing_of(b)}, r_.originals,
        *r_.bounds.max_error, trial);
    const auto outcome = [](corrections::CorrectionResult<corrections::Encoded>& fix)
        -> SearchOutcome<corrections::Encoded> {
      if (!fix) {
        return std::unexpected(failure(SearchErrorKind::Codec, {}, 0.0, 0.0,
                                       std::string(corrections::message(fix.error()))));
      }
      return std::move(*fix);
    };
    return {outcome(fix_a), outcome(fix_b)};
  }

 private:
  // The samples of c beyond max_error as its judgement listed them, for
  // the corrections encoder; empty when none listed them.
  static std::span<const std::uint64_t> listing_of(const Candidate& c) {
    return c.marks.empty() ? std::span<const std::uint64_t>(c.listed) : std::span<const std::uint64_t>(c.marks);
  }

  // scratch_ laid out for chosen values at `depth`, which replace every
  // quantised one: only the layout is needed.
  void lay_out(std::uint8_t depth) {
    scratch_holds_.reset();
    scratch_.levels = depth;
    scratch_.layout = band_layout(*s_.executor, s_.decomposition.transform_len, depth);
  }

  // c's container with every coder, the smallest kept: from the payloads
  // the payload scale made when `known`, else from the bands in scratch_.
  SearchOutcome<Coded> coded_as(const Candidate& c, bool known) {
    std::optional<Coded> best;
    for (std::size_t k = 0; k < r_.coders.size(); ++k) {
      const Coder coder = r_.coders[k];
      auto payload = known ? Result<stages::Payload>(whole_coding_[k]) : stages::encode_bands(scratch_, coder);
      if (!payload) return codec_error_of(payload);
      auto container = stages::assemble_container(
          {s_.method, c.depth, r_.scale, static_cast<std::uint32_t>(r_.samples.size()), s_.min,
           s_.max, s_.mean, c.m},
          *payload);
      if (!container) return codec_error_of(container);
      if (!best || container->size() < best->container.size()) {
        best = Coded{CodecOptions{c.m, r_.cutoff, s_.method, coder, r_.scale}, std::move(*container)};
      }
    }
    return std::move(*best);
  }

  // Magnitudes below this many steps quantise to zero.
  double zero_below() const { return threshold_ > 1 ? static_cast<double>(threshold_) - 0.5 : 0.5; }

  // Half the log of the predicted squared error at m; NaN without a model,
  // and for the dead zone: its search replays the old bisection, and the
  // steps it judges decide which of several grid pairs it ends on, so they
  // are left as they were. (Starting the rounding search from the model's
  // own guess instead of the uniform-noise one moved a step signal at PRD
  // to a pair 4 % larger.)
  double predicted_log_rms(float m) const {
    if (!s_.noise.usable() || threshold_ > 1) return NAN;
    const double e = s_.noise.squared_error(m, zero_below());
    return e > 0.0 ? 0.5 * std::log(e) : NAN;
  }

  // The candidate's bands at `depth` and m by this searcher's rule. The
  // rate-aware rule costs about two plain quantisations, so its last two
  // results into scratch_ are kept and reused: the lowest multiplier meeting
  // the bounds is one of the last two judged, and is then estimated and coded.
  // Plain quantisation into scratch_ is not repeated while scratch_ still
  // holds it: the payload scale and the refinement with corrections often
  // ask again for the bands just judged.
  void quantise_into(std::uint8_t depth, float m, stages::QuantisedBands& out) {
    if (!(lambda_ > 0.0)) {
      const std::pair<std::uint8_t, float> key{depth, m};
      if (&out == &scratch_ && scratch_holds_ == key) return;
      stages::quantise_at_depth(*s_.executor, s_.decomposition, depth, m, threshold_, out);
      if (&out == &scratch_) scratch_holds_ = key;
      return;
    }
    if (&out != &scratch_) {
      rate_aware::quantise_at_depth(*s_.executor, s_.decomposition, depth, m, gains_, lambda_, out);
      return;
    }
    const std::pair<std::uint8_t, float> key{depth, m};
    if (scratch_holds_ == key) return;
    std::swap(scratch_, previous_);
    std::swap(scratch_holds_, previous_holds_);
    if (scratch_holds_ == key) return;
    rate_aware::quantise_at_depth(*s_.executor, s_.decomposition, depth, m, gains_, lambda_, scratch_);
    scratch_holds_ = key;
  }

  const SearchRequest& r_;
  const search::Reference& ref_;
  MethodState& s_;
  const std::uint16_t threshold_;  // dead zone of the detail bands
  // Rate-aware rounding's band gains and lambda; lambda 0: not used.
  const std::vector<double> gains_;
  const double lambda_ = 0.0;
  stages::QuantisedBands scratch_;
  mutable std::unique_ptr<float[]> dequantised_;
  mutable std::size_t dequantised_capacity_ = 0;
  // The depth and multiplier of the bands in scratch_ by this searcher's
  // rule (while nothing else has written there), and for the rate-aware
  // rule of the ones before them.
  std::optional<std::pair<std::uint8_t, float>> scratch_holds_;
  stages::QuantisedBands previous_;
  std::optional<std::pair<std::uint8_t, float>> previous_holds_;
  int evaluations_ = 0;
  // The payloads of the last payload scale that coded all bands, one per
  // coder, and the multiplier they were quantised at.
  std::optional<float> whole_coding_m_;
  std::vector<stages::Payload> whole_coding_;
  // A judged candidate kept by evaluate_and_keep.
  std::optional<Candidate> kept_;
  // The corrections encoder's working memory, kept across the finalists.
  mutable corrections::EncodeBuffers fix_buffers_;
  // The second layer's, when two finalists are corrected together.
  mutable corrections::EncodeBuffers second_fix_buffers_;
};

// Normalises and transforms the samples by one method, once for every
// multiplier tried on it.
SearchOutcome<MethodState> prepare(const SearchRequest& r, Method method);

// The multiplier at which uniform quantisation noise alone would give an
// RMS error of `rms` in the signal's units.
float multiplier_for_rms(const MethodState& s, double rms);

// The result for candidate c: coded and corrected unless given, the
// corrected distortion measured through the corrections' own arithmetic
// (read back from a given blob; made with the corrections otherwise).
// `applied`, with a given blob: correct_applied made it, so c's samples (or
// for a float64 source *applied) are corrected already.
SearchOutcome<SearchResult> finish(const SearchRequest& r, Searcher& s, Candidate c,
                                   std::optional<Coded> coded = std::nullopt,
                                   std::optional<corrections::Encoded> fix = std::nullopt,
                                   std::vector<double>* applied = nullptr);

// Effort::Fast for one method: one predicted multiplier judged, corrected
// and coded once (lean_search.cpp). nullopt where the lean path does not
// apply (a size budget) and the full search runs instead.
std::optional<SearchOutcome<SearchResult>> lean_search(const SearchRequest& r,
                                                       const search::Reference& ref,
                                                       MethodState& state);

}  // namespace quillmere::searching
