#include "quillmere_tools/channel_unit.hpp"

#include <new>
#include <string>
#include <utility>

#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"
#include "quillmere_tools/coded_samples.hpp"
#include "quillmere_tools/corrections_link.hpp"

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
  const auto bare = write_side_block(side, {}, n);
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

}  // namespace

UnitResult<EncodedUnit> encode_unit(SignalView x, const UnitRequest& request) {
  auto coded = prepare_samples(x);
  if (!coded) return std::unexpected(coded.error());
  const auto n = static_cast<std::uint32_t>(coded->samples.size());

  SideBlock side;
  side.precision = coded->precision;
  side.offset = coded->offset;
  side.non_finite = std::move(coded->runs);

  EncodedUnit out;
  out.report.cutoff = request.options.cutoff;
  out.report.offset = coded->offset;
  out.report.non_finite_samples = coded->non_finite_samples;
  std::vector<std::uint8_t> container;
  if (!request.bounds.any()) {
    auto plain = quillmere::compress(coded->samples, request.options);
    if (!plain) return codec_error(plain.error());
    container = std::move(*plain);
  } else {
    const std::size_t overhead = side_overhead(side, n, request.bounds.max_error.has_value());
    auto choice = bounded_encode(*coded, x, request, overhead);
    if (!choice) return std::unexpected(choice.error());
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
    auto block = write_side_block(side, out.bytes, n);
    if (!block) return std::unexpected(block.error());
    out.bytes.insert(out.bytes.end(), block->begin(), block->end());
  }
  return out;
}

UnitResult<DecodedUnit> decode_unit(std::span<const std::uint8_t> unit) {
  // Units may hold the fast coder, which only the tools read.
  const auto header = quillmere::QuillmereHeader::from_bytes(unit, quillmere::kLastToolsCoder);
  if (!header) return codec_error(header.error());
  const std::size_t container_len = quillmere::HEADER_LEN + std::size_t{header->payload_len};
  if (unit.size() < container_len) {
    // The codec words the shortfall itself, before it allocates anything.
    auto refused = quillmere::decompress_tools(unit);
    if (!refused) return codec_error(refused.error());
    return unit_error(UnitErrorKind::CorruptUnit, "the container is truncated");
  }
  const auto container = unit.first(container_len);

  SideBlock side;
  if (unit.size() > container_len) {
    auto read = read_side_block(unit.subspan(container_len), container, header->sample_count);
    if (!read) return std::unexpected(read.error());
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
    return out;
  }
  const double offset = side.offset.value_or(0.0);
  if (!side.corrections.empty()) {
    auto corrected = apply_corrections(side.corrections, *samples, offset);
    if (!corrected) return std::unexpected(corrected.error());
    out.f64 = std::move(*corrected);
  } else {
    // The reconstruction arithmetic the search measured: (double)y + offset.
    out.f64.resize(samples->size());
    for (std::size_t i = 0; i < samples->size(); ++i) {
      out.f64[i] = static_cast<double>((*samples)[i]) + offset;
    }
  }
  restore_non_finite<double>(out.f64, side.non_finite);
  return out;
}

}  // namespace quillmere_tools
