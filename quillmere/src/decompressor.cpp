#include "quillmere/decompressor.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "arans.hpp"
#include "cmodel.hpp"
#include "compress_stages.hpp"
#include "decompress_core.hpp"
#include "deflate_codec.hpp"
#include "fast_coder.hpp"
#include "fast_zero_blocks.hpp"
#include "quantizer.hpp"
#include "quillmere/header.hpp"
#include "reconstruct.hpp"
#include "wavelet_choice.hpp"
#include "work_buffer.hpp"

namespace quillmere {
namespace {

// The decoder takes up to 10 levels although the compressor makes at most 8
// (pick_levels); containers with 9 or 10 are valid and must stay readable.
constexpr std::uint8_t kMaxLevels = 10;

// What a decode keeps with its thread between calls (work_buffer.hpp): the
// decoded coefficients and their dequantised floats. Freshly allocated,
// their pages came back from the kernel on every call as page faults.
struct DecodeBuffers {
  WorkBuffer<std::int16_t> coefficients;
  WorkBuffer<float> dequantised;

  void release_if_large() noexcept {
    coefficients.release_if_large(stages::kKeptStageBytes);
    dequantised.release_if_large(stages::kKeptStageBytes);
  }
};

DecodeBuffers& thread_decode_buffers() noexcept {
  thread_local DecodeBuffers buffers;
  return buffers;
}

// Every decoder writes every position, so the buffer is not zero-filled.
Result<std::span<std::int16_t>> coefficient_buffer(DecodeBuffers& kept, std::size_t n) {
  try {
    return std::span<std::int16_t>(kept.coefficients.take(n), n);
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::decompress_out_of_memory());
  }
}

QuillmereError short_coefficients(std::size_t have, std::size_t need) {
  return QuillmereError::decompress("Payload holds " + std::to_string(have) +
                                    " coefficients, but the layout needs " + std::to_string(need));
}

// Coders 0 and 1 yield coefficient bytes; reading past their end would be
// reading another signal's memory, so a short sequence is refused.
Result<std::span<std::int16_t>> coefficients_from_bytes(DecodeBuffers& kept,
                                                        std::span<const std::uint8_t> bytes,
                                                        std::size_t need) {
  const std::size_t have = bytes.size() / 2;  // a final odd byte is ignored
  if (have < need) return std::unexpected(short_coefficients(have, need));
  auto coeffs = coefficient_buffer(kept, need);
  if (coeffs) std::memcpy(coeffs->data(), bytes.data(), need * 2);  // little-endian host, see byte_io.hpp
  return coeffs;
}

Result<std::span<std::int16_t>> decode_payload(DecodeBuffers& kept,
                                               std::span<const std::uint8_t> payload,
                                               std::uint8_t coder, const BandLayout& layout,
                                               StreamEnding ending, std::optional<fast::BlockMaps>& maps) {
  switch (coder) {
    case kCoderDeflate: {
      auto bytes = inflate_raw(payload, layout.total * 2, ending);
      if (!bytes) return std::unexpected(std::move(bytes.error()));
      return coefficients_from_bytes(kept, *bytes, layout.total);
    }
    case kCoderArans: {
      auto bytes = arans::decode_stream(payload, ending);
      if (!bytes) return std::unexpected(QuillmereError::decompress(std::string(arans::message(bytes.error()))));
      return coefficients_from_bytes(kept, *bytes, layout.total);
    }
    case kCoderFast: {
      // The buffer is taken once the maps and models have passed, as with
      // cmodel below, but from the decoder's one reading of them.
      struct Output {
        DecodeBuffers& kept;
        std::optional<Result<std::span<std::int16_t>>> taken;
      } output{kept, std::nullopt};
      const auto take = [](void* context, std::size_t n) -> std::span<std::int16_t> {
        auto& o = *static_cast<Output*>(context);
        o.taken = coefficient_buffer(o.kept, n);
        return *o.taken ? **o.taken : std::span<std::int16_t>();
      };
      // The zero blocks stay unspread: the dequantisation spreads them.
      auto done = fast::decode_live_checked(payload, layout.lengths, take, &output, maps);
      if (output.taken && !*output.taken) return *output.taken;
      if (!done) return std::unexpected(QuillmereError::decompress(std::string(fast::message(done.error()))));
      return *output.taken;
    }
    default: {
      // Every header check and the capacity bound run before the output is
      // allocated, so a tiny payload cannot claim gigabytes, and the errors
      // come in the decoder's own order.
      if (auto ready = cmodel::preflight(payload, layout.lengths); !ready) {
        return std::unexpected(QuillmereError::decompress(std::string(cmodel::message(ready.error()))));
      }
      auto coeffs = coefficient_buffer(kept, layout.total);
      if (!coeffs) return coeffs;
      auto done = cmodel::decode_coeffs_into(payload, layout.lengths, *coeffs, ending);
      if (!done) return std::unexpected(QuillmereError::decompress(std::string(cmodel::message(done.error()))));
      return coeffs;
    }
  }
}

}  // namespace

namespace detail {

Result<std::vector<float>> decompress_core(std::span<const std::uint8_t> payload, Method method,
                                           float min, float max, float mean, float multiplier,
                                           std::uint8_t levels, std::uint32_t sample_count,
                                           std::uint8_t scale, std::uint8_t coder,
                                           std::uint8_t last_coder, StreamEnding ending) {
  if (sample_count > kMaxSampleCount) {
    return std::unexpected(QuillmereError::decompress(
        "Can't decompress data bigger than " + std::to_string(kMaxSampleCount) + ", but data was " +
        std::to_string(sample_count)));
  }
  if (levels > kMaxLevels) {
    return std::unexpected(QuillmereError::decompress("Max supported level is 10 but it was " +
                                                      std::to_string(levels)));
  }
  if (levels == 0) {
    return std::unexpected(QuillmereError::decompress("Min supported level is 1 but it was 0"));
  }
  // from_bytes already refuses these scales; a direct caller is held to the
  // same range.
  if (!is_supported_scale(scale)) {
    return std::unexpected(QuillmereError::decompress("Supported scales only [6, 12] but it was " +
                                                      std::to_string(scale)));
  }
  // Likewise for the coder, which decode_payload would otherwise read as
  // cmodel.
  if (coder > last_coder) return std::unexpected(QuillmereError::unknown_coder(coder));

  const auto executor = make_executor(method);
  const std::size_t transform_len =
      std::max<std::size_t>(sample_count, executor->filter_length());
  const BandLayout layout = band_layout(*executor, transform_len, levels);

  DecodeBuffers& kept = thread_decode_buffers();
  auto signal = [&]() -> Result<std::vector<float>> {
    std::optional<fast::BlockMaps> maps;
    auto coeffs = decode_payload(kept, payload, coder, layout, ending, maps);
    if (!coeffs) return std::unexpected(std::move(coeffs.error()));
    std::span<float> bands;
    try {
      bands = {kept.dequantised.take(coeffs->size()), coeffs->size()};
    } catch (const std::bad_alloc&) {
      return std::unexpected(QuillmereError::decompress_out_of_memory());
    }
    if (maps) {
      fast::expand_dequantised(*maps, layout.lengths, *coeffs, multiplier, bands);
    } else {
      dequantise(*coeffs, multiplier, bands);
    }
    // A long signal's coefficients go before the inverse transform takes
    // its own memory, so that a decode's peak stays what it was.
    kept.coefficients.release_if_large(stages::kKeptStageBytes);
    return stages::synthesise(*executor, bands, layout, {min, max, mean, sample_count});
  }();
  kept.release_if_large();
  return signal;
}

}  // namespace detail

namespace {

Result<std::vector<float>> decompress_up_to(std::span<const std::uint8_t> container,
                                            std::uint8_t last_coder, StreamEnding ending) {
  auto header = QuillmereHeader::from_bytes(container, last_coder);
  if (!header) return std::unexpected(std::move(header.error()));
  const QuillmereHeader& h = *header;

  // 64-bit sum: a payload_len near 2^32 must not wrap past the size check.
  const std::uint64_t needed = std::uint64_t{HEADER_LEN} + h.payload_len;
  if (needed > container.size()) {
    return std::unexpected(QuillmereError::decompress("Minimum data size is " + std::to_string(needed) +
                                                      ", but it was " + std::to_string(container.size())));
  }
  const auto payload = container.subspan(HEADER_LEN, h.payload_len);

  // Anything but a positive finite multiplier falls back to 2^scale.
  const float m = (std::isfinite(h.multiplier) && h.multiplier > 0.0f) ? h.multiplier
                                                                        : scale_multiplier(h.scale);
  // from_bytes has refused unknown method tags, coders and scales.
  return detail::decompress_core(payload, *method_from_tag(h.method_tag), h.min, h.max, h.mean, m,
                                 h.levels, h.sample_count, h.scale, h.coder, last_coder, ending);
}

}  // namespace

Result<std::vector<float>> decompress(std::span<const std::uint8_t> container) {
  return decompress_up_to(container, kLastModuleCoder, StreamEnding::Open);
}

Result<std::vector<float>> decompress_tools(std::span<const std::uint8_t> container) {
  // A unit may go on after its container, so the payload must end where
  // its stream does.
  return decompress_up_to(container, kLastToolsCoder, StreamEnding::Exact);
}

}  // namespace quillmere
