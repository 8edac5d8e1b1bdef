// Pieces of the bounded search that do not drive it: judging a
// reconstruction against the originals, the entropy estimates that rank
// candidates before any is coded, and the bound arithmetic. Internal to the
// codec library.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

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
};
Reference reference_of(const Originals& originals);

struct Judgement {
  Distortion distortion;
  std::size_t outliers = 0;        // samples off by more than the correction bound
  double correction_bytes = 0.0;   // estimated size of their corrections
};

// Distortion of a float32 reconstruction (float sources) or of
// (double)decoded + offset (float64 sources), as bounded_search.hpp defines
// it. With correction_bound > 0 the samples beyond it are counted and the
// size of their corrections estimated.
Judgement judge(const Reference& ref, std::span<const float> decoded, double correction_bound);
Distortion distortion_of(const Reference& ref, std::span<const double> reconstructed);

// Bytes an adaptive coder would need for the bands, from each band's
// zeroth-order entropy of magnitude classes plus raw bits and signs, on a
// regular subsample of the larger bands. Only ranks multipliers.
double estimate_payload_bytes(const stages::QuantisedBands& q);
// The same straight from the float bands at `depth`, quantising only the
// sampled coefficients: a quarter of the work, for placing a size budget.
double estimate_payload_bytes(const stages::Decomposition& d, std::uint8_t depth, float m,
                              std::uint16_t threshold);

SearchError failure(SearchErrorKind kind, std::string bound, double value, double limit,
                    std::string detail = {});

// Refuses what no search can serve: an empty or mismatched request, bounds
// that are not positive finite numbers, or finer than float32 resolves.
std::optional<SearchError> check_request(const SearchRequest& r);

// The largest factor by which the distortion exceeds the bounds (<= 1: all
// met), each bound turned into a ratio of RMS-like quantities so that one
// number can steer the multiplier. max_error counts only when `peak` is set.
double excess(const Distortion& d, const Bounds& b, bool peak);

}  // namespace quillmere::search
