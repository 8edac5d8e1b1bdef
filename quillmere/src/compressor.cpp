#include "quillmere/compressor.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "quillmere/arans.hpp"
#include "quillmere/cmodel.hpp"
#include "quillmere/deflate_codec.hpp"
#include "quillmere/header.hpp"
#include "quillmere/quantizer.hpp"
#include "quillmere/wavelet_choice.hpp"

namespace quillmere {
namespace {

// The decoder refuses larger counts, so the encoder must not produce them.
constexpr std::size_t kMaxSamples = 2147483647;
// Spreads at or below this are treated as flat (bit pattern 0x3727C5AC).
constexpr float kFlatRange = 1e-5f;

std::string float_text(float v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

// A multiplier the decoder would not take as it is (it substitutes 2^scale
// for anything but a positive finite value) or whose reciprocal overflows
// would decode to a wrong signal, so it is refused up front. Zero is kept:
// it codes a constant signal, and the decoder reproduces that constant.
std::optional<QuillmereError> check_multiplier(const std::optional<float>& m) {
  if (!m) return std::nullopt;
  const float v = *m;
  const bool usable = v == 0.0f || (std::isfinite(v) && v > 0.0f && std::isfinite(1.0f / v));
  if (usable) return std::nullopt;
  return QuillmereError::unsupported_configuration(
      "quant_multiplier must be 0 or a positive finite number with a finite reciprocal, but it was " +
      float_text(v));
}

struct Normalised {
  std::vector<float> samples;  // normalised, mean removed, padded to the filter length
  float min;
  float max;
  float mean;
};

Result<Normalised> normalise(std::span<const float> input, std::size_t padded_len) {
  const std::size_t n = input.size();
  Normalised out{std::vector<float>(padded_len), 0.0f, 0.0f, 0.0f};
  float* x = out.samples.data();

  // NaN counts as 0, +inf as 1 and -inf as 0, so min and max are always finite.
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    const float v = input[i];
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
    const bool non_finite = (bits & 0x7F800000u) == 0x7F800000u;
    const float replacement = bits == 0x7F800000u ? 1.0f : 0.0f;
    const float c = non_finite ? replacement : v;
    x[i] = c;
    lo = c < lo ? c : lo;
    hi = c > hi ? c : hi;
  }
  out.min = lo;
  out.max = hi;

  const float range = hi - lo;
  if (!std::isfinite(range)) {
    // The normalisation would produce NaN everywhere and an unreadable header.
    return std::unexpected(QuillmereError::unsupported_configuration(
        "Signal range " + float_text(lo) + " to " + float_text(hi) +
        " overflows single precision"));
  }
  if (range > kFlatRange) {
    const float r = 1.0f / range;
    // The mean is an f32 sum in index order: the stored mean (and thus the
    // container bytes) depends on this exact accumulation.
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
      const float v = (x[i] - lo) * r;
      x[i] = v;
      sum += v;
    }
    const float mean = sum / static_cast<float>(n);
    for (std::size_t i = 0; i < n; ++i) x[i] -= mean;
    out.mean = mean;
  } else {
    std::fill(x, x + n, 0.0f);
    out.mean = 0.0f;
  }

  // Signals shorter than the filter repeat periodically up to its length.
  for (std::size_t k = n; k < padded_len; ++k) x[k] = x[(k - n) % n];
  return out;
}

}  // namespace

Result<EncodedSignal> compress_core(std::span<const float> samples, const CodecOptions& options,
                                    std::uint8_t levels) {
  const auto executor = make_executor(options.method);
  const std::size_t padded_len = std::max(samples.size(), executor->filter_length());

  auto norm = normalise(samples, padded_len);
  if (!norm) return std::unexpected(std::move(norm.error()));

  auto dwt = executor->multi_dwt(norm->samples, levels);
  if (!dwt) return std::unexpected(QuillmereError::transform(dwt.error().message()));
  if (dwt->levels.empty()) {
    return std::unexpected(
        QuillmereError::transform("Internal DWT returned zero levels, what shouldn't happen"));
  }
  // The normalised copy is no longer needed; release it before the bands grow.
  std::vector<float>().swap(norm->samples);

  EncodedSignal enc;
  enc.min = norm->min;
  enc.max = norm->max;
  enc.mean = norm->mean;
  enc.scale = options.scale;
  enc.levels = static_cast<std::uint8_t>(dwt->levels.size());
  enc.multiplier = options.quant_multiplier ? *options.quant_multiplier
                                            : scale_multiplier(options.scale);

  const auto& approx = dwt->levels.back().approximation;
  std::size_t detail_count = 0;
  for (const auto& level : dwt->levels) detail_count += level.details.size();

  // One vector in container order: deepest approximation, then details of
  // level 1 (finest) to the deepest level.
  std::vector<std::int16_t> coeffs;
  try {
    coeffs.resize(approx.size() + detail_count);
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::out_of_memory(detail_count));
  }
  std::vector<std::span<const std::int16_t>> bands;
  bands.reserve(dwt->levels.size() + 1);

  std::span<std::int16_t> rest(coeffs);
  std::size_t saturated = quantise(approx, enc.multiplier, rest.first(approx.size()));
  bands.push_back(rest.first(approx.size()));
  rest = rest.subspan(approx.size());
  const std::uint16_t threshold = dead_zone_threshold(options.scale, options.cutoff);
  for (const auto& level : dwt->levels) {
    auto band = rest.first(level.details.size());
    saturated += quantise(level.details, enc.multiplier, band);
    apply_dead_zone(band, threshold);
    bands.push_back(band);
    rest = rest.subspan(level.details.size());
  }
  enc.saturated = saturated != 0;
  dwt->levels.clear();

  const auto bytes = std::as_bytes(std::span<const std::int16_t>(coeffs));
  const std::span<const std::uint8_t> coeff_bytes(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  switch (options.coder) {
    case Coder::Deflate: {
      auto deflated = deflate_raw(coeff_bytes);
      if (!deflated) return std::unexpected(std::move(deflated.error()));
      enc.payload = std::move(*deflated);
      enc.coder_id = kCoderDeflate;
      break;
    }
    case Coder::Arans:
      enc.payload = arans::encode_stream(coeff_bytes);
      enc.coder_id = kCoderArans;
      break;
    default:  // CModel, Auto and anything else: the coefficient model
      enc.payload = cmodel::encode_coeffs(bands);
      enc.coder_id = kCoderCModel;
      break;
  }
  return enc;
}

Result<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                           const CodecOptions& options) {
  if (samples.empty()) {
    return std::unexpected(QuillmereError::unsupported_configuration("Can't compress empty data"));
  }
  if (samples.size() > kMaxSamples) {
    return std::unexpected(QuillmereError::unsupported_configuration(
        "Can't compress more than 2147483647 samples, but data had " +
        std::to_string(samples.size())));
  }
  if (auto bad = check_multiplier(options.quant_multiplier)) return std::unexpected(std::move(*bad));

  // Saturated coefficients wreck the reconstruction, and deep levels amplify
  // the coarse bands most; so step down one level at a time until nothing
  // saturates. Signals that never saturate are coded exactly once.
  std::uint8_t levels = pick_levels(samples.size(), options.method);
  auto enc = compress_core(samples, options, levels);
  while (enc && enc->saturated && levels > 1) {
    --levels;
    auto retry = compress_core(samples, options, levels);
    if (!retry) return std::unexpected(std::move(retry.error()));
    enc = std::move(retry);
  }
  if (!enc) return std::unexpected(std::move(enc.error()));
  if (enc->coder_id > 2) return std::unexpected(QuillmereError::unknown_coder(enc->coder_id));
  if (enc->payload.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(QuillmereError::unsupported_configuration(
        "Payload of " + std::to_string(enc->payload.size()) +
        " bytes exceeds the 4294967295 bytes a container can describe"));
  }

  const auto header = to_bytes(HeaderFields{
      options.method, enc->levels, enc->scale, enc->coder_id,
      static_cast<std::uint32_t>(samples.size()), enc->min, enc->max, enc->mean,
      static_cast<std::uint32_t>(enc->payload.size()), enc->multiplier});
  std::vector<std::uint8_t> container;
  container.reserve(HEADER_LEN + enc->payload.size());
  container.insert(container.end(), header.begin(), header.end());
  container.insert(container.end(), enc->payload.begin(), enc->payload.end());
  return container;
}

}  // namespace quillmere
