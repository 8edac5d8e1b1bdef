#include "quillmere_tools/channel_unit.hpp"

#include <bit>
#include <new>
#include <string>
#include <utility>

#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/forward_error.hpp"
#include "quillmere/header.hpp"
#include "quillmere/side_block_flag.hpp"
#include "quillmere_tools/coded_samples.hpp"
#include "quillmere_tools/corrections_link.hpp"
#include "quillmere_tools/integer_choice.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {
namespace {

std::unexpected<UnitError> codec_error(const quillmere::QuillmereError& e) {
  return unit_error(e.kind() == quillmere::ErrorKind::OutOfMemory ? UnitErrorKind::OutOfMemory
                                                                  : UnitErrorKind::Codec,
                    e.message());
}

// Bytes the side block adds around a corrections blob, which the size budget
// has to leave room for.
std::size_t side_overhead(const SideBlock& side, std::uint32_t n, bool may_correct) {
  if (!side.needed() && !may_correct) return 0;
  const auto bare = write_side_block(side, {}, n, true);
  return bare ? bare->size() : 0;
}

void describe_container(std::span<const std::uint8_t> container, UnitReport& report) {
  // The container was written a moment ago by compress(): its header reads.
  const auto header = quillmere::QuillmereHeader::from_bytes(container, quillmere::kLastToolsCoder);
  if (!header) return;
  if (const auto method = quillmere::method_from_tag(header->method_tag)) report.method = *method;
  report.scale = header->scale;
  report.coder_id = header->coder;
  report.multiplier = header->multiplier;
  report.container_bytes = container.size();
}

// A fast-coded container says whether a side block follows it; a unit cut
// at the container's end, or one with bytes glued after a container that
// announced nothing, is refused rather than read as another signal.
std::optional<UnitError> side_block_mismatch(std::span<const std::uint8_t> unit, std::size_t container_len) {
  const auto claim = unit_side_block_claim(unit.first(container_len));
  if (!claim) return std::nullopt;
  const bool present = unit.size() > container_len;
  if (*claim && !present) {
    return UnitError{UnitErrorKind::CorruptUnit, "the unit is truncated: its side block is missing"};
  }
  if (!*claim && present) {
    return UnitError{UnitErrorKind::CorruptUnit, "the container announces no side block, but " +
                                                      std::to_string(unit.size() - container_len) +
                                                      " bytes follow it"};
  }
  return std::nullopt;
}

std::uint64_t bits_of(float v) noexcept { return std::bit_cast<std::uint32_t>(v); }
std::uint64_t bits_of(double v) noexcept { return std::bit_cast<std::uint64_t>(v); }

// The run of samples bit-identical to the last one, cut so that at least one
// sample is left for the container (the codec codes no empty signal).
// Bits, not values: -0.0 is not 0.0 and NaN payloads differ, and the run must
// come back exactly as the host wrote it.
template <class T>
std::optional<TrailingRun> trailing_run_of(std::span<const T> x) {
  if (x.size() < 2) return std::nullopt;
  const std::uint64_t last = bits_of(x.back());
  std::size_t run = 1;
  while (run < x.size() && bits_of(x[x.size() - 1 - run]) == last) ++run;
  if (run < kMinTrailingRun) return std::nullopt;
  if (run == x.size()) --run;
  return TrailingRun{static_cast<std::uint32_t>(run), last};
}

SignalView without_tail(SignalView x, std::size_t tail) {
  return std::visit([&](auto s) -> SignalView { return s.first(s.size() - tail); }, x);
}

}  // namespace

// With a trailing run split off, the container codes x[0, k) and the run
// x[k, n) comes back bit for bit, so every sample of it has zero error. A
// host keeps some prefix x[0, m) with m >= k (its padding lies inside the
// run), and every bound met over x[0, k) holds over x[0, m):
//   max error  the run adds errors of zero;
//   RMSE       the squared errors sum to the same total over m >= k samples;
//   PRD        the same error sum over a sum of squares that can only grow;
//   PSNR       the same error sum, over at least as many samples, against a
//              range (max - min) over a superset, which can only widen.
// Non-finite samples are left out of every measure on both sides.
// bits_per_sample stays a budget for the whole unit, run included.
// (The same holds for an integer unit, whose side block restores the run too.)
static UnitResult<EncodedUnit> encode_wavelet_unit(SignalView x, const UnitRequest& request) {
  const std::size_t unit_samples = std::visit([](auto s) { return s.size(); }, x);
  if (unit_samples > quillmere::kMaxSampleCount) {
    return std::unexpected(UnitError::too_many_samples(unit_samples));
  }
  std::optional<TrailingRun> tail;
  if (request.split_trailing_run) {
    tail = std::visit([](auto s) { return trailing_run_of(s); }, x);
    if (tail) x = without_tail(x, tail->length);
  }
  QUILLMERE_TRY(coded, prepare_samples(x));
  const auto n = static_cast<std::uint32_t>(coded->samples.size());

  SideBlock side;
  side.precision = coded->precision;
  side.offset = coded->offset;
  side.non_finite = std::move(coded->runs);
  side.tail = tail;

  EncodedUnit out;
  out.report.cutoff = request.options.cutoff;
  out.report.offset = coded->offset;
  out.report.non_finite_samples = coded->non_finite_samples;
  out.report.trailing_run = tail ? tail->length : 0;
  std::vector<std::uint8_t> container;
  if (!request.bounds.any()) {
    quillmere::CodecOptions options = request.options;
    if (options.coder == quillmere::Coder::Auto) options.coder = kDefaultUnitCoder;
    auto plain = coded->range ? quillmere::compress_in_range(coded->samples, options, *coded->range)
                              : quillmere::compress(coded->samples, options);
    if (!plain) return codec_error(plain.error());
    container = std::move(*plain);
  } else {
    const std::size_t overhead = side_overhead(side, n, request.bounds.max_error.has_value());
    QUILLMERE_TRY(choice, bounded_encode(*coded, x, request, overhead, unit_samples));
    container = std::move(choice->container);
    side.corrections = std::move(choice->corrections);
    out.report.cutoff = choice->options.cutoff;
    out.report.measured = true;
    out.report.max_error = choice->max_error;
    out.report.rmse = choice->rmse;
    out.report.prd = choice->prd;
    out.report.psnr = choice->psnr;
    out.report.corrected_samples = choice->corrected_samples;
  }
  describe_container(container, out.report);

  out.bytes = std::move(container);
  if (side.needed()) {
    // Before the block is written: the block is bound to the container's bytes.
    quillmere::mark_side_block_follows(out.bytes);
    QUILLMERE_TRY(block, write_side_block(side, out.bytes, n, true));
    out.bytes.insert(out.bytes.end(), block->begin(), block->end());
  }
  return out;
}

// The integer unit first when the request and the samples call for it
// (integer_choice.hpp), else or also the wavelet layer's.
UnitResult<EncodedUnit> encode_unit(SignalView x, const UnitRequest& request) {
  const std::size_t unit_samples = std::visit([](auto s) { return s.size(); }, x);
  if (unit_samples > 0x7fffffffu) return encode_wavelet_unit(x, request);  // it words the refusal
  std::optional<TrailingRun> tail;
  SignalView coded = x;
  if (request.split_trailing_run) {
    tail = std::visit([](auto s) { return trailing_run_of(s); }, x);
    if (tail) coded = without_tail(x, tail->length);
  }
  auto plan = plan_integer(coded, request);
  if (!plan) return std::unexpected(plan.error());
  std::optional<EncodedUnit> integer;
  UnitResult<EncodedUnit> unit = std::unexpected(UnitError{});
  if (*plan) {
    unit = encode_integer_unit(coded, (*plan)->grid, tail, (*plan)->effort);
    if (!unit) return std::unexpected(unit.error());
    // An unchecked grid that misses the max error: planned again with the
    // check first, which ends as a plan that never skipped it would.
    if ((*plan)->unchecked && !(unit->report.max_error <= *request.bounds.max_error)) {
      plan = plan_integer(coded, request, GridCheck::Before);
      if (!plan) return std::unexpected(plan.error());
      if (*plan) unit = encode_integer_unit(coded, (*plan)->grid, tail, (*plan)->effort);
      if (*plan && !unit) return std::unexpected(unit.error());
    }
  }
  if (*plan) {
    if (meets_bounds(unit->report, request.bounds, unit->bytes.size(), unit_samples)) {
      if (!(*plan)->compare) return unit;
      integer = std::move(*unit);
    } else if ((*plan)->only) {
      return unit_error(UnitErrorKind::TargetNotMet,
                        integer_miss(unit->report, request.bounds, unit->bytes.size(), unit_samples));
    }
  }
  auto wavelet = encode_wavelet_unit(x, request);
  if (integer && (!wavelet || integer->bytes.size() <= wavelet->bytes.size())) return std::move(*integer);
  return wavelet;
}

UnitResult<std::uint32_t> unit_sample_count(std::span<const std::uint8_t> unit) {
  const auto header = quillmere::QuillmereHeader::from_bytes(unit, kLastUnitCoder);
  if (!header) return codec_error(header.error());
  const std::size_t container_len = quillmere::HEADER_LEN + std::size_t{header->payload_len};
  if (unit.size() < container_len) {
    return unit_error(UnitErrorKind::CorruptUnit, "the container is truncated");
  }
  if (auto mismatch = side_block_mismatch(unit, container_len)) return std::unexpected(std::move(*mismatch));
  if (unit.size() == container_len) return header->sample_count;
  QUILLMERE_TRY(side, read_side_block(unit.subspan(container_len), unit.first(container_len),
                                      header->sample_count));
  // read_side_block has checked that the sum fits a channel.
  return header->sample_count + (side->tail ? side->tail->length : 0u);
}

UnitResult<DecodedUnit> decode_unit(std::span<const std::uint8_t> unit) {
  // Units may hold the fast or the integer coder, which only the tools read.
  const auto header = quillmere::QuillmereHeader::from_bytes(unit, kLastUnitCoder);
  if (!header) return codec_error(header.error());
  if (header->coder == kCoderInteger) return decode_integer_unit(unit, *header);
  const std::size_t container_len = quillmere::HEADER_LEN + std::size_t{header->payload_len};
  if (unit.size() < container_len) {
    // The codec words the shortfall itself, before it allocates anything.
    auto refused = quillmere::decompress_tools(unit);
    if (!refused) return codec_error(refused.error());
    return unit_error(UnitErrorKind::CorruptUnit, "the container is truncated");
  }
  const auto container = unit.first(container_len);
  if (auto mismatch = side_block_mismatch(unit, container_len)) return std::unexpected(std::move(*mismatch));

  SideBlock side;
  if (unit.size() > container_len) {
    QUILLMERE_TRY(read, read_side_block(unit.subspan(container_len), container, header->sample_count));
    side = std::move(*read);
  }

  auto samples = quillmere::decompress_tools(container);
  if (!samples) return codec_error(samples.error());

  DecodedUnit out;
  out.precision = side.precision;
  if (side.precision == Precision::Float32) {
    if (!side.corrections.empty()) {
      if (auto done = apply_corrections(side.corrections, *samples); !done) {
        return std::unexpected(done.error());
      }
    }
    restore_non_finite<float>(*samples, side.non_finite);
    out.f32 = std::move(*samples);
    if (side.tail) {
      out.f32.resize(out.f32.size() + side.tail->length,
                     std::bit_cast<float>(static_cast<std::uint32_t>(side.tail->bits)));
    }
    return out;
  }
  const double offset = side.offset.value_or(0.0);
  if (!side.corrections.empty()) {
    QUILLMERE_TRY(corrected, apply_corrections(side.corrections, *samples, offset));
    out.f64 = std::move(*corrected);
  } else {
    // The reconstruction arithmetic the search measured: (double)y + offset.
    out.f64.resize(samples->size());
    for (std::size_t i = 0; i < samples->size(); ++i) {
      out.f64[i] = static_cast<double>((*samples)[i]) + offset;
    }
  }
  restore_non_finite<double>(out.f64, side.non_finite);
  if (side.tail) {
    out.f64.resize(out.f64.size() + side.tail->length, std::bit_cast<double>(side.tail->bits));
  }
  return out;
}

}  // namespace quillmere_tools
