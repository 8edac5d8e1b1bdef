#include "quillmere/compressor.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "quillmere/arans.hpp"
#include "quillmere/cmodel.hpp"
#include "quillmere/deflate_codec.hpp"
#include "quillmere/detail/compress_core.hpp"
#include "quillmere/header.hpp"
#include "quillmere/quantizer.hpp"
#include "quillmere/wavelet_choice.hpp"

namespace quillmere {
namespace {

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

// A float buffer that is written before it is read: no zero fill.
struct Floats {
  std::unique_ptr<float[]> data;
  std::size_t size = 0;

  static Floats make(std::size_t n) { return {std::make_unique_for_overwrite<float[]>(n), n}; }
  std::span<float> span() const { return {data.get(), size}; }
  void release() {
    data.reset();
    size = 0;
  }
};

struct Normalised {
  Floats samples;  // normalised, mean removed, padded to the filter length
  float min;
  float max;
  float mean;
};

// NaN counts as 0, +inf as 1 and -inf as 0, so min and max are always finite.
inline float finite_or_replacement(float v) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
  const bool non_finite = (bits & 0x7F800000u) == 0x7F800000u;
  const float replacement = bits == 0x7F800000u ? 1.0f : 0.0f;
  return non_finite ? replacement : v;
}

// Copies the cleaned samples to x and returns their min and max as a scan
// in index order with `c < lo` and `c > hi` would find them. Independent
// lanes keep the scan off a single compare chain (and in vector registers);
// as the values are never NaN, any order finds the same numbers, and the
// only bit pattern order can change is the sign of a zero: the ordered
// scan keeps the first zero it meets, so a zero result takes that one's.
std::pair<float, float> clean_and_bound(std::span<const float> input, float* x) {
  constexpr std::size_t kLanes = 16;
  float lo[kLanes], hi[kLanes];
  std::fill_n(lo, kLanes, std::numeric_limits<float>::infinity());
  std::fill_n(hi, kLanes, -std::numeric_limits<float>::infinity());
  const std::size_t n = input.size();
  const float* in = input.data();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const float c = finite_or_replacement(in[i + j]);
      x[i + j] = c;
      lo[j] = c < lo[j] ? c : lo[j];
      hi[j] = c > hi[j] ? c : hi[j];
    }
  }
  for (std::size_t j = 0; i < n; ++i, ++j) {
    const float c = finite_or_replacement(in[i]);
    x[i] = c;
    lo[j] = c < lo[j] ? c : lo[j];
    hi[j] = c > hi[j] ? c : hi[j];
  }
  float min = lo[0], max = hi[0];
  for (std::size_t j = 1; j < kLanes; ++j) {
    min = lo[j] < min ? lo[j] : min;
    max = hi[j] > max ? hi[j] : max;
  }
  if (min == 0.0f || max == 0.0f) {
    const float* first_zero = std::find(x, x + n, 0.0f);
    if (min == 0.0f) min = *first_zero;
    if (max == 0.0f) max = *first_zero;
  }
  return {min, max};
}

Result<Normalised> normalise(std::span<const float> input, std::size_t padded_len) {
  const std::size_t n = input.size();
  Normalised out{Floats::make(padded_len), 0.0f, 0.0f, 0.0f};
  float* x = out.samples.data.get();

  const auto [lo, hi] = clean_and_bound(input, x);
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

namespace detail {

Result<EncodedSignal> compress_core(std::span<const float> samples, const CodecOptions& options,
                                    std::uint8_t levels) {
  const auto executor = make_executor(options.method);
  const std::size_t padded_len = std::max(samples.size(), executor->filter_length());

  auto norm = normalise(samples, padded_len);
  if (!norm) return std::unexpected(std::move(norm.error()));

  EncodedSignal enc;
  enc.min = norm->min;
  enc.max = norm->max;
  enc.mean = norm->mean;
  enc.scale = options.scale;
  enc.multiplier = options.quant_multiplier ? *options.quant_multiplier
                                            : scale_multiplier(options.scale);

  // Bands in container order: the deepest approximation, then the details
  // of level 1 (finest) to the deepest level.
  const std::size_t depth = std::max<std::size_t>(levels, 1);
  const BandLayout layout = band_layout(*executor, padded_len, static_cast<std::uint8_t>(depth));
  const std::vector<std::size_t>& lengths = layout.lengths;
  const std::size_t total = layout.total;

  std::vector<std::int16_t> coeffs;
  std::vector<std::span<const std::int16_t>> bands(depth + 1);
  std::size_t saturated = 0;
  try {
    // One level at a time, each band quantised as soon as it exists and
    // its floats released at once: the transform never holds more than a
    // level's input and its two halves, twice the signal at the first
    // level (a whole decomposition beside its input is three times).
    const std::uint16_t threshold = dead_zone_threshold(options.scale, options.cutoff);
    Floats input = std::move(norm->samples);
    std::size_t offset = lengths[0];
    for (std::size_t level = 1; level <= depth; ++level) {
      Floats approx = Floats::make(executor->dwt_size(input.size).approximation);
      Floats details = Floats::make(lengths[level]);
      if (auto done = executor->execute_forward(input.span(), approx.span(), details.span());
          !done) {
        return std::unexpected(QuillmereError::transform(done.error().message()));
      }
      input = std::move(approx);
      // Taken only now, with the normalised signal gone.
      if (coeffs.empty()) coeffs.resize(total);
      const std::span<std::int16_t> band(coeffs.data() + offset, lengths[level]);
      saturated += quantise(details.span(), enc.multiplier, band);
      apply_dead_zone(band, threshold);
      bands[level] = band;
      offset += lengths[level];
    }
    const std::span<std::int16_t> approx_band(coeffs.data(), lengths[0]);
    saturated += quantise(input.span(), enc.multiplier, approx_band);
    bands[0] = approx_band;
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::out_of_memory(total));
  }
  enc.saturated = saturated != 0;
  enc.levels = static_cast<std::uint8_t>(depth);

  const auto bytes = std::as_bytes(std::span<const std::int16_t>(coeffs));
  const std::span<const std::uint8_t> coeff_bytes(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  // Encoders report running out of memory by std::bad_alloc; here it
  // becomes an error value like every other failure.
  try {
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
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::out_of_memory(total));
  }
  return enc;
}

}  // namespace detail

Result<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                           const CodecOptions& options) {
  if (samples.empty()) {
    return std::unexpected(QuillmereError::unsupported_configuration("Can't compress empty data"));
  }
  if (samples.size() > kMaxSampleCount) {
    return std::unexpected(QuillmereError::unsupported_configuration(
        "Can't compress more than 2147483647 samples, but data had " +
        std::to_string(samples.size())));
  }
  if (auto bad = check_multiplier(options.quant_multiplier)) return std::unexpected(std::move(*bad));

  // Saturated coefficients wreck the reconstruction, and deep levels amplify
  // the coarse bands most; so step down one level at a time until nothing
  // saturates. Signals that never saturate are coded exactly once.
  std::uint8_t levels = pick_levels(samples.size(), options.method);
  auto enc = detail::compress_core(samples, options, levels);
  while (enc && enc->saturated && levels > 1) {
    --levels;
    auto retry = detail::compress_core(samples, options, levels);
    if (!retry) return std::unexpected(std::move(retry.error()));
    enc = std::move(retry);
  }
  if (!enc) return std::unexpected(std::move(enc.error()));
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
