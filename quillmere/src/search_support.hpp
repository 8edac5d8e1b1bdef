// Pieces of the bounded search that do not drive it: distortion
// accumulation, the entropy estimate that ranks candidates before any is
// coded, and the error texts. Internal to the codec library.
#pragma once

#include <cstdint>
#include <span>

#include "compress_stages.hpp"
#include "quillmere/bounded_search.hpp"

namespace quillmere::search {

// Distortion of a float32 reconstruction (float sources) or of
// (double)decoded + offset (float64 sources), as bounded_search.hpp defines it.
Distortion distortion_of(const Originals& originals, std::span<const float> decoded);
Distortion distortion_of(const Originals& originals, std::span<const double> reconstructed);

// Bytes an adaptive coder would need for the bands, from each band's
// zeroth-order entropy of magnitude classes plus raw bits and signs. Only
// used to rank multipliers against each other and against corrections.
double estimate_payload_bytes(const stages::QuantisedBands& q);

// The largest factor by which the distortion exceeds the bounds (<= 1: all
// met), each bound turned into a ratio of RMS-like quantities so that one
// number can steer the multiplier. max_error counts only when `peak` is set.
double excess(const Distortion& d, const Bounds& b, bool peak);

}  // namespace quillmere::search
