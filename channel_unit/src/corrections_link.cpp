#include "quillmere_tools/corrections_link.hpp"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "quillmere/bounded_search.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere_tools {
namespace {

namespace qc = quillmere::corrections;

// The search sums squared errors in its own order and the caller measures in
// another (NumPy sums pairwise), so an aggregate bound met with nothing to
// spare could read as missed by the last bits. Relative rounding of those sums
// stays far below 1e-8 for any length a unit can hold.
constexpr double kAggregateMargin = 1e-8;
constexpr double kPsnrMarginDb = 1e-7;

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// `side_bits` and `per_unit` turn the search's bits per coded sample back
// into the unit's bits per sample; `requested` is the caller's own budget,
// which a message must name rather than the share the search saw.
UnitError from_search(const quillmere::SearchError& e, double side_bits, double per_unit,
                      std::optional<double> requested) {
  using K = quillmere::SearchErrorKind;
  switch (e.kind) {
    case K::InvalidBound: return {UnitErrorKind::BadBound, e.message()};
    case K::BudgetTooSmall:
      return {UnitErrorKind::TargetNotMet,
              "bits_per_sample " + number(requested.value_or((e.value + side_bits) * per_unit)) +
                  " is below the smallest reachable size, " +
                  number((e.limit + side_bits) * per_unit) + " bits per sample"};
    case K::BoundTooFine:
    case K::TargetNotMet: return {UnitErrorKind::TargetNotMet, e.message()};
    case K::InvalidRequest: return {UnitErrorKind::BadInput, e.message()};
    case K::Codec: break;
  }
  return {UnitErrorKind::Codec, e.message()};
}

std::unexpected<UnitError> corrupt(qc::CorrectionError e) {
  return unit_error(UnitErrorKind::CorruptUnit,
                    "corrupt corrections: " + std::string(qc::message(e)));
}

}  // namespace

UnitResult<BoundedChoice> bounded_encode(const CodedSamples& coded, SignalView originals,
                                         const UnitRequest& request, std::size_t side_bytes,
                                         std::size_t unit_samples) {
  quillmere::SearchRequest search;
  search.samples = coded.samples;
  search.range = coded.range;
  if (const auto* f32 = std::get_if<std::span<const float>>(&originals)) {
    search.originals = quillmere::Originals::of_float(*f32);
  } else {
    search.originals = quillmere::Originals::of_double(std::get<std::span<const double>>(originals),
                                                       coded.offset.value_or(0.0));
  }
  const UnitBounds& b = request.bounds;
  search.bounds.max_error = b.max_error;
  if (b.rmse) search.bounds.rmse = *b.rmse * (1.0 - kAggregateMargin);
  if (b.prd) search.bounds.prd = *b.prd * (1.0 - kAggregateMargin);
  if (b.psnr) search.bounds.psnr = *b.psnr + kPsnrMarginDb;
  const double coded_samples = static_cast<double>(coded.samples.size());
  const double side_bits = 8.0 * static_cast<double>(side_bytes) / coded_samples;
  const double per_unit = coded_samples / static_cast<double>(unit_samples);
  if (b.bits_per_sample) {
    // Left at a sliver above zero so that the search, not this layer, says
    // how small the smallest reachable size is.
    search.bounds.bits_per_sample = std::max(*b.bits_per_sample / per_unit - side_bits, 1e-9);
  }
  search.methods = request.methods.empty() ? std::vector{request.options.method} : request.methods;
  if (!request.coders.empty()) {
    search.coders = request.coders;
  } else {
    search.coders = {request.options.coder == quillmere::Coder::Auto ? kDefaultUnitCoder
                                                                     : request.options.coder};
  }
  search.scale = request.options.scale;
  search.cutoff = request.options.cutoff;
  search.effort = request.effort == SearchEffort::Fast ? quillmere::Effort::Fast : quillmere::Effort::Thorough;

  auto found = quillmere::bounded_compress(search);
  if (!found) {
    return std::unexpected(from_search(found.error(), side_bits, per_unit, b.bits_per_sample));
  }
  BoundedChoice choice;
  choice.options = found->options;
  choice.container = std::move(found->container);
  if (found->corrected_samples > 0) choice.corrections = std::move(found->corrections);
  choice.max_error = found->corrected.max_error;
  choice.rmse = found->corrected.rmse;
  choice.prd = found->corrected.prd;
  choice.psnr = found->corrected.psnr;
  choice.corrected_samples = found->corrected_samples;
  return choice;
}

UnitResult<void> check_corrections(std::span<const std::uint8_t> blob, Precision precision,
                                   std::uint32_t sample_count) {
  const auto facts = qc::blob_facts(blob);
  if (!facts) return corrupt(facts.error());
  if (facts->length != blob.size()) {
    return unit_error(UnitErrorKind::CorruptUnit, "corrupt side block: bytes left over after the corrections");
  }
  if (facts->float64 != (precision == Precision::Float64)) {
    return corrupt(qc::CorrectionError::WrongPrecision);
  }
  if (facts->sample_count != sample_count) return corrupt(qc::CorrectionError::WrongLength);
  return {};
}

UnitResult<void> apply_corrections(std::span<const std::uint8_t> blob, std::span<float> decoded) {
  if (auto done = qc::apply(blob, decoded); !done) return corrupt(done.error());
  return {};
}

UnitResult<std::vector<double>> apply_corrections(std::span<const std::uint8_t> blob,
                                                  std::span<const float> decoded, double offset) {
  auto out = qc::apply(blob, decoded, offset);
  if (!out) return corrupt(out.error());
  return std::move(*out);
}

}  // namespace quillmere_tools
