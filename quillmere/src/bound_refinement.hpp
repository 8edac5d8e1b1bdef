// Quantised values chosen for a point-wise bound rather than only rounded.
//
// A wavelet layer spreads its error, so after plain quantisation a share of
// the samples lies outside a max_error bound and would each need a
// correction. The decoder takes any 16-bit values, so the encoder may move
// quantised coefficients instead: the part of each outlier's error beyond a
// target inside the bound is sent through the forward transform, added to
// the float coefficients, and the bands quantised again. One pass pulls many
// outliers inside; then values of one step the bound can do without
// are zeroed (bound_sparsening.hpp). Every change is judged through the
// decoder's own arithmetic, so what is kept is exactly what the decoder gives.
// Internal to the codec library.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "compress_stages.hpp"
#include "quillmere/bounded_search.hpp"
#include "reconstruct.hpp"

namespace quillmere::refine {

// What one candidate is judged by: the bytes it would take (payload and
// corrections, estimated) and the decoder's samples for its bands.
struct Judged {
  std::vector<float> decoded;
  double bytes = 0.0;
  std::size_t outliers = 0;  // samples beyond the bound
};

// Runs the decoder's arithmetic on bands and prices the result.
using JudgeFn = std::function<SearchOutcome<Judged>(const stages::QuantisedBands&)>;

struct Problem {
  const wavelet::DwtExecutor* executor = nullptr;
  const stages::Decomposition* decomposition = nullptr;
  std::uint8_t depth = 1;
  float m = 1.0f;
  float min = 0.0f, max = 0.0f;
  const Originals* originals = nullptr;
  double bound = 0.0;  // max_error, in the signal's units
  // Samples of the plain quantisation beyond the bound: with none, no
  // value needs moving, though some may still be zeroed.
  std::size_t outliers = 0;
  // The corrections' bits one payload bit is worth, from what real coding
  // measured of each: 0 leaves the values the bound needs no correction
  // for the only ones zeroed.
  double payload_weight = 0.0;
};

struct Refined {
  // The bands kept; left empty when the plain quantisation was best.
  stages::QuantisedBands bands;
  Judged judged;
  // Which call of the judge priced what is kept, from 1 (0: the plain
  // quantisation was best).
  int kept = 0;
};

// Starts from `start` (the plain quantisation, already judged as `first`,
// whose samples are `start_decoded`: first.decoded is not read) and returns
// the cheapest of it, one pass of moves and the sparsened result of the
// better of those two. With the plain quantisation kept, the result's
// samples are first.decoded as given.
SearchOutcome<Refined> refine(const Problem& p, const stages::QuantisedBands& start,
                              std::span<const float> start_decoded, Judged first, const JudgeFn& judge);

// The moves a band of the excess's transform asks for (`step`, times m,
// rounded to whole steps) added to the plain quantisation's values `base`
// into `to`. Only where the moves add up to half a step does a value
// change: every changed value costs bits, so none changes for a small share
// of an outlier. A move the float range cannot hold leaves the value where
// it was; one past the 16-bit range stops at its end. Returns how many
// values changed. Exposed for the tests.
std::size_t add_moves(std::span<const float> step, float m, std::span<const std::int16_t> base,
                      std::span<std::int16_t> to);

// The normalised excess of each sample beyond `target` (0 within it), in
// the units of the transform's input: (x - y) beyond the target, over the
// range. Zero for non-finite originals and past the signal's end.
void excess_beyond(const Originals& originals, std::span<const float> decoded, double target,
                   double range, std::span<float> out);

}  // namespace quillmere::refine
