// Pieces of the bounded search that do not drive it: judging a
// reconstruction against the originals, the entropy estimates that rank
// candidates before any is coded, and the bound arithmetic. Internal to the
// codec library.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compress_stages.hpp"
#include "quillmere/bounded_search.hpp"

namespace quillmere::search {

// What the distortion measures need from the originals alone, computed once
// per request rather than once per candidate.
struct Reference {
  const Originals* originals = nullptr;
  double sum_x2 = 0.0;  // over the finite originals
  double lo = 0.0;
  double hi = 0.0;
  std::size_t count = 0;
  bool all_finite = true;
  // sum_x2 not taken yet: the first marking judgement takes it in its own
  // pass (see reference_in_range); nothing else may read it before then.
  bool energy_pending = false;
};
Reference reference_of(const Originals& originals);
// The same, its sum of squares in four lanes: a quarter of the time, for a
// caller judging once (the lanes' sum differs from reference_of's in the
// last bits, so a search keeps one of the two for all its judgements).
Reference reference_in_lanes(const Originals& originals);
// reference_in_lanes for finite float32 originals whose exact extremes the
// caller has (the channel unit's scan), without a pass of its own: sum_x2
// is left pending for judge_marking, which sums the squares in the same
// lanes and order, so the figures are reference_in_lanes' to the bit. For
// a caller whose bounds need sum_x2 only after that first judgement (no
// PRD bound) and who takes it from there (Judgement::energy).
Reference reference_in_range(const Originals& originals, double lo, double hi);

struct Judgement {
  Distortion distortion;
  std::size_t outliers = 0;        // samples off by more than the correction bound
  double correction_bytes = 0.0;   // estimated size of their corrections
  // The originals' sum of squares, where this judgement took it for a
  // reference that left it pending; negative otherwise.
  double energy = -1.0;
};

// Distortion of a float32 reconstruction (float sources) or of
// (double)decoded + offset (float64 sources), as bounded_search.hpp defines
// it. With correction_bound > 0 the samples beyond it are counted and the
// size of their corrections estimated.
Judgement judge(const Reference& ref, std::span<const float> decoded, double correction_bound);
// The same judgement with correction_bound > 0, and in `listed` bit i % 64
// of listed[i / 64] set for every sample it counted beyond the bound: the
// samples the corrections encoder would find, listed in the same pass so
// that encoding the candidate's corrections need not scan the signal
// again. Left empty where it cannot be exact (float64 or non-finite
// originals, or a NaN among the decoded samples).
Judgement judge_listing(const Reference& ref, std::span<const float> decoded, double correction_bound,
                        std::vector<std::uint64_t>& listed);
Distortion distortion_of(const Reference& ref, std::span<const double> reconstructed);
// judge(ref, decoded, 0), the same distortion to the bit, and bit i % 64 of
// marks[i / 64] set where sample i is off by more than `bound`: the samples
// the corrections encoder would find beyond it, listed in the same pass.
// For finite float32 originals only (false otherwise, marks left empty);
// the marks are exact only where the distortion is finite (no NaN among
// the decoded samples).
// `within` takes the lanes' largest error and sum of squares over the
// samples within the bound alone, for corrected_distortion.
struct Unmarked {
  double max4[4] = {0, 0, 0, 0};
  double sq4[4] = {0, 0, 0, 0};
};
bool judge_marking(const Reference& ref, std::span<const float> decoded, double bound, Judgement& out,
                   std::vector<std::uint64_t>& marks, Unmarked& within);
// The distortion of `corrected`, the judged samples with every marked one
// (and no other) changed by its correction: the unmarked samples' sums
// from the judgement, the marked ones measured here. The largest error is
// exactly a full judgement's; the sum of squares is added up in another
// order, so the RMS error may differ from one in its last bits.
Distortion corrected_distortion(const Reference& ref, std::span<const float> corrected,
                                std::span<const std::uint64_t> marks, const Unmarked& within);

// Bytes an adaptive coder would need for the bands, from each band's
// zeroth-order entropy of magnitude classes plus raw bits and signs, on a
// regular subsample of the larger bands. Only ranks multipliers.
double estimate_payload_bytes(const stages::QuantisedBands& q);
// The same straight from the float bands at `depth`, quantising only the
// sampled coefficients: a quarter of the work, for placing a size budget.
double estimate_payload_bytes(const stages::Decomposition& d, std::uint8_t depth, float m,
                              std::uint16_t threshold);

// The multipliers the search judges lie on a grid of 128 per octave,
// float32(2^(j / 128)). Neighbours on it give containers within about
// 0.2 % of each other, and it is the grid a bisection on log2 of the
// multiplier to 1/128 of an octave visits, so a search that ends on two
// neighbours (the upper meeting the bounds, the lower missing) returns what
// such a bisection would, rather than a point up to a tolerance above it.
namespace grid {
inline constexpr int kPerOctave = 128;
// Exact on every machine: built from correctly rounded square roots.
float multiplier(int j);
// The largest j with multiplier(j) <= m, for m > 0 finite.
int index_at_or_below(float m);
// Where a bisection over the grid ends, the way the search before this one
// ran: from index `start`, whole octaves until the bounds are bracketed,
// then halves down to one step; the index returned is its last upper point.
// `met` judges an index. Nothing when the walk would leave [lowest, highest].
SearchOutcome<std::optional<int>> bisection_end(
    int start, int lowest, int highest, const std::function<SearchOutcome<bool>(int)>& met);
}  // namespace grid

// The tightest of the bounds as the RMS error it allows (1 when none
// applies); max_error counts only when `peak` is set.
double rms_target(const Reference& ref, const Bounds& b, bool peak);

SearchError failure(SearchErrorKind kind, std::string bound, double value, double limit,
                    std::string detail = {});

// Refuses what no search can serve: an empty or mismatched request, bounds
// that are not positive finite numbers, or finer than float32 resolves.
// `ref` is reference_of(r.originals).
std::optional<SearchError> check_request(const SearchRequest& r, const Reference& ref);

// The largest factor by which the distortion exceeds the bounds (<= 1: all
// met), each bound turned into a ratio of RMS-like quantities so that one
// number can steer the multiplier. max_error counts only when `peak` is set.
double excess(const Distortion& d, const Bounds& b, bool peak);

}  // namespace quillmere::search
