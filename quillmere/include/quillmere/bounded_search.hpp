// Bounded compression: the smallest output that meets a set of error bounds
// (or the smallest error that fits a size budget), found in one call.
//
// Each candidate method is normalised and transformed once. Each candidate
// multiplier is then judged by running the decoder's own arithmetic on the
// quantised bands (dead zone, dequantisation by the f32 reciprocal, inverse
// transform, de-normalisation, cut to length), with no entropy coding; only
// the finalists are entropy coded. The decoder takes any 16-bit quantised
// values, so the search chooses its own: plain rounding where the scale's
// dead zone would cost more, and values moved towards the originals where
// that is cheaper than correcting samples. The container's header is what
// compress() writes for the returned options; its payload may differ. The
// distortion reported is what decompress() followed by corrections::apply
// yields.
//
// Distortion is measured against the caller's originals (see Originals):
//   e_i = x_i - r_i over the finite originals, r_i the reconstruction
//   max_error = max |e_i|       rmse = sqrt(mean e_i^2)
//   prd  = 100 * sqrt(sum e_i^2 / sum x_i^2)           (percent)
//   psnr = 20 * log10((max x - min x) / rmse)           (dB)
// all accumulated in double precision.
//
// What is minimised: with error bounds, the total size (container plus
// corrections) among multipliers meeting them; rmse, prd and psnr are met
// by the wavelet layer alone, max_error by the layer plus corrections (or
// the layer alone when allow_corrections is off). With bits_per_sample, the
// largest multiplier whose total fits, i.e. the smallest error that fits;
// any other bound given must then hold too. Scale and cutoff are fixed;
// methods are searched in turn and coders tried on the finalist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quillmere/compressor.hpp"
#include "quillmere/corrections.hpp"
#include "quillmere/options.hpp"

namespace quillmere {

// Every bound is absolute and optional; any combination may be given.
struct Bounds {
  std::optional<double> max_error;        // in the signal's units
  std::optional<double> rmse;             // in the signal's units
  std::optional<double> prd;              // percent
  std::optional<double> psnr;             // dB, a floor
  std::optional<double> bits_per_sample;  // size budget: (container + corrections) * 8 / n
};

struct Distortion {
  double max_error = 0.0;
  double rmse = 0.0;
  double prd = 0.0;
  double psnr = std::numeric_limits<double>::infinity();
};

// How hard the search works for the smallest output. Thorough judges many
// multipliers, moves quantised values against the bound and codes several
// finalists; Fast predicts one multiplier, judges it once through the
// decoder's arithmetic and codes it once, for a larger output several times
// sooner. Every bound holds exactly with either; a size budget
// (bits_per_sample) always takes the thorough search. Fast sums the
// originals' squares in lanes, so its PRD may differ from measure()'s in
// the last bits.
enum class Effort : std::uint8_t { Thorough = 0, Fast = 1 };

struct SearchRequest {
  // What the codec compresses: float32, finite, n >= 1 (a float64 source
  // passes float32(x - offset); non-finite samples already replaced).
  std::span<const float> samples;
  // What the distortion is measured against; same length as samples.
  Originals originals = Originals::of_float({});
  Bounds bounds;
  std::vector<Method> methods{Method::Cdf97};  // tried in turn, transform once each
  std::vector<Coder> coders{Coder::CModel};    // finalists coded with each
  std::uint8_t scale = 11;                     // 6..12: sets the dead-zone row
  Cutoff cutoff = Cutoff::Low;
  // With a max_error bound: let samples outside it be corrected after the
  // wavelet layer, minimising container + corrections. Off: the wavelet layer
  // alone must meet max_error.
  bool allow_corrections = true;
  Effort effort = Effort::Thorough;
  // The exact smallest and largest of `samples`, where the caller has
  // scanned them already (as for compress_in_range): the normalisation then
  // skips its own pass for them. The same bytes either way.
  std::optional<FiniteRange> range;
};

struct SearchResult {
  CodecOptions options;                  // quant_multiplier always set
  std::vector<std::uint8_t> container;   // compress()'s header; the search's quantised values
  std::vector<std::uint8_t> corrections; // a corrections blob, or empty
  Distortion wavelet;                    // container alone against the originals
  Distortion corrected;                  // after the corrections (== wavelet if none)
  std::size_t corrected_samples = 0;
  std::size_t candidates_judged = 0;     // multipliers run through the decoder's arithmetic
  std::size_t total_bytes() const noexcept { return container.size() + corrections.size(); }
};

enum class SearchErrorKind : std::uint8_t {
  InvalidBound,    // zero, negative, NaN or infinite (bound names the field)
  BoundTooFine,    // finer than float32 resolves for this signal; limit = finest usable
  BudgetTooSmall,  // bits_per_sample below every reachable size; limit = smallest reachable
  TargetNotMet,    // no multiplier meets the bounds; limit = best value reached for `bound`
  InvalidRequest,  // empty signal, length mismatch, no methods or coders, bad scale
  Codec,           // the codec itself failed; detail carries its message
};

struct SearchError {
  SearchErrorKind kind = SearchErrorKind::InvalidRequest;
  std::string bound;    // "max_error", "rmse", "prd", "psnr", "bits_per_sample" or empty
  double value = 0.0;   // the bound as given
  double limit = 0.0;   // see SearchErrorKind
  std::string detail;   // free text for InvalidRequest and Codec
  // One sentence naming the bound and the numbers, e.g.
  // "bits_per_sample 0.01 is below the smallest reachable size, 0.42 bits per sample".
  std::string message() const;
};

template <class T>
using SearchOutcome = std::expected<T, SearchError>;

SearchOutcome<SearchResult> bounded_compress(const SearchRequest& request);

// The distortion of a reconstruction, as defined above. For a float64 source
// the reconstruction is (double)decoded + offset.
Distortion measure(const Originals& originals, std::span<const float> decoded);

}  // namespace quillmere
