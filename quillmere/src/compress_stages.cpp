#include "compress_stages.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "arans.hpp"
#include "cmodel.hpp"
#include "deflate_codec.hpp"
#include "fast_coder.hpp"
#include "quantizer.hpp"
#include "quillmere/forward_error.hpp"
#include "quillmere/header.hpp"
#include "vector_clones.hpp"
#include "wide_clones.hpp"

namespace quillmere::stages {
namespace {

// Spreads at or below this are treated as flat (bit pattern 0x3727C5AC).
constexpr float kFlatRange = 1e-5f;

std::string float_text(float v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

// NaN counts as 0, +inf as 1 and -inf as 0, so min and max are always finite.
// In masks on the bits rather than selects between floats: vectorised, that
// is a few integer operations instead of three blends per vector.
inline float finite_or_replacement(float v) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
  const std::uint32_t non_finite = 0u - static_cast<std::uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  const std::uint32_t plus_inf = 0u - static_cast<std::uint32_t>(bits == 0x7F800000u);
  return std::bit_cast<float>((bits & ~non_finite) | (plus_inf & 0x3F800000u));  // 0x3F800000: 1.0f
}

// A zero extreme with the sign of the first zero among the cleaned samples,
// which is the one a scan in index order with `c < lo` and `c > hi` keeps;
// any other value is the same number whatever order found it.
std::pair<float, float> with_first_zero(std::span<const float> input, float min, float max) noexcept {
  if (min == 0.0f || max == 0.0f) {
    float first_zero = 0.0f;
    for (const float v : input) {
      const float c = finite_or_replacement(v);
      if (c == 0.0f) {
        first_zero = c;
        break;
      }
    }
    if (min == 0.0f) min = first_zero;
    if (max == 0.0f) max = first_zero;
  }
  return {min, max};
}

// The min and max of the cleaned samples as a scan in index order with
// `c < lo` and `c > hi` would find them. Independent lanes keep the scan off
// a single compare chain (and in vector registers); as the values are never
// NaN, any order finds the same numbers, and the only bit pattern order can
// change is the sign of a zero: the ordered scan keeps the first zero it
// meets, so a zero result takes that one's. Nothing is written: the
// normalising pass cleans each sample again as it reads it, which costs
// less than a cleaned copy's extra pass over memory.
QUILLMERE_WIDE_CLONES
std::pair<float, float> cleaned_bounds(std::span<const float> input) noexcept {
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
      lo[j] = c < lo[j] ? c : lo[j];
      hi[j] = c > hi[j] ? c : hi[j];
    }
  }
  for (std::size_t j = 0; i < n; ++i, ++j) {
    const float c = finite_or_replacement(in[i]);
    lo[j] = c < lo[j] ? c : lo[j];
    hi[j] = c > hi[j] ? c : hi[j];
  }
  float min = lo[0], max = hi[0];
  for (std::size_t j = 1; j < kLanes; ++j) {
    min = lo[j] < min ? lo[j] : min;
    max = hi[j] > max ? hi[j] : max;
  }
  return with_first_zero(input, min, max);
}

// The mean is an f32 sum in index order whose every partial sum rounds: the
// stored mean (and thus the container bytes) depends on that exact chain, so
// lanes or a wider accumulator are out. A chain of one add per sample waits
// on the add's latency, though, and it need not be walked add by add. The
// terms are never negative, so the partial sums only grow; while they stay
// in one binade [2^e, 2^(e+1)) every one of them is a multiple of
// u = 2^(e-23), and rounding s + v to that grid moves s by v / u rounded to
// the nearest integer, whatever s is, unless v / u lies exactly halfway
// (then the even result wins, which depends on s). So a run of terms adds
// the sum of their own rounded quotients, an exact integer sum that any
// order gives: computed in vector lanes, it replaces the run's adds when no
// term is halfway and the run ends inside the binade (monotone partial sums
// then all lie inside it). Any other run is added one term at a time, as is
// the start, where the binade changes every few terms.
// The shortcut needs the terms in [0, 1 + 2^-23], that is a range that holds
// every cleaned sample: the module's scan finds it from the samples, and the
// tools pass the one their own scan of the same samples found.
QUILLMERE_WIDE_CLONES
float scaled_and_summed(const float* in, float* x, std::size_t n, float lo, float r) noexcept {
  constexpr std::size_t kRun = 64;
  // Below this the sum leaves its binade within a run or two.
  constexpr float kRunsFrom = 64.0f;
  constexpr float kRounder = 0x1p23f;  // t + 2^23 - 2^23 rounds t in [0, 2^23) to nearest-even
  float sum = 0.0f;
  std::size_t i = 0;
  for (; i < n && sum < kRunsFrom; ++i) {
    const float v = (finite_or_replacement(in[i]) - lo) * r;
    x[i] = v;
    sum += v;
  }
  while (i + kRun <= n) {
    // sum >= 64 is normal: its exponent field gives e, and 2^(23-e) and
    // 2^(e-23) are exact powers of two (e stays far below 127 + 23). The
    // grid stays fixed until the sum leaves the binade, so a run's work does
    // not wait on the run before it: only the integer total does.
    const std::uint32_t biased = std::bit_cast<std::uint32_t>(sum) >> 23;
    const float to_grid = std::bit_cast<float>((127u + 150u - biased) << 23);
    const float from_grid = std::bit_cast<float>((biased - 23u) << 23);
    std::int32_t on_grid = static_cast<std::int32_t>(sum * to_grid);
    bool stepwise = false;
    for (; i + kRun <= n; i += kRun) {
      std::uint32_t rounded_bits = 0;
      std::uint32_t halfway = 0;
      for (std::size_t j = 0; j < kRun; ++j) {
        const float v = (finite_or_replacement(in[i + j]) - lo) * r;
        x[i + j] = v;
        // v * 2^(23-e) is exact (a tiny v that loses bits there is far below
        // a half and rounds to 0 either way), under 2^23 as v <= 1 + 2^-23
        // and e >= 6, so the rounder applies and t - q is exact.
        const float t = v * to_grid;
        const float rounded = t + kRounder;
        const float q = rounded - kRounder;
        halfway |= static_cast<std::uint32_t>(std::fabs(t - q) == 0.5f);
        // rounded's bits are 0x4B000000 + q: summed as they are (wrapping)
        // and the offsets taken off once, which saves a conversion per term.
        rounded_bits += std::bit_cast<std::uint32_t>(rounded);
      }
      const auto steps = static_cast<std::int32_t>(rounded_bits - kRun * 0x4B000000u);
      if (halfway != 0 || std::int64_t{on_grid} + steps >= (std::int64_t{1} << 24)) {
        stepwise = true;
        break;
      }
      on_grid += steps;
    }
    sum = static_cast<float>(on_grid) * from_grid;
    if (stepwise) {
      for (std::size_t j = 0; j < kRun; ++j) sum += x[i + j];
      i += kRun;
    }
  }
  for (; i < n; ++i) {
    const float v = (finite_or_replacement(in[i]) - lo) * r;
    x[i] = v;
    sum += v;
  }
  return sum;
}

// Product outside what round() maps into [-32768, 32767]: the same test
// quantise() counts with.
inline bool outside(float c, float m) noexcept {
  const float v = c * m;
  const float v2 = v + v;
  return !((v2 < 65535.0f) & (v2 > -65537.0f));
}

void quantise_details(std::span<const float> details, float m, std::uint16_t threshold,
                      std::span<std::int16_t> band) {
  quantise(details, m, band);
  apply_dead_zone(band, threshold);
}

}  // namespace

std::optional<QuillmereError> check_request(std::span<const float> samples,
                                            const CodecOptions& options) {
  if (samples.empty()) {
    return QuillmereError::unsupported_configuration("Can't compress empty data");
  }
  if (samples.size() > kMaxSampleCount) {
    return QuillmereError::unsupported_configuration(
        "Can't compress more than " + std::to_string(kMaxSampleCount) + " samples, but data had " +
        std::to_string(samples.size()));
  }
  // A multiplier the decoder would not take as it is (it substitutes 2^scale
  // for anything but a positive finite value) or whose reciprocal overflows
  // would decode to a wrong signal, so it is refused up front. Zero is kept:
  // it codes a constant signal, and the decoder reproduces that constant.
  if (const auto& m = options.quant_multiplier) {
    const float v = *m;
    const bool usable = v == 0.0f || (std::isfinite(v) && v > 0.0f && std::isfinite(1.0f / v));
    if (!usable) {
      return QuillmereError::unsupported_configuration(
          "quant_multiplier must be 0 or a positive finite number with a finite reciprocal, but "
          "it was " +
          float_text(v));
    }
  }
  return std::nullopt;
}

Result<Normalised> normalise(std::span<const float> input, std::size_t padded_len,
                             std::optional<FiniteRange> known) {
  Normalised out{Floats::make(padded_len), 0.0f, 0.0f, 0.0f};
  QUILLMERE_TRY(frame, normalise_into(input, out.samples.span(), known));
  out.min = frame->min;
  out.max = frame->max;
  out.mean = frame->mean;
  return out;
}

namespace {

// One subtraction per sample, in the clones' wider registers: the pass
// over the whole signal that the transform's first level then reads.
QUILLMERE_WIDE_CLONES
void remove_mean(float* x, std::size_t n, float mean) noexcept {
  for (std::size_t i = 0; i < n; ++i) x[i] -= mean;
}

}  // namespace

Result<NormalisedFrame> normalise_into(std::span<const float> input, std::span<float> out,
                                       std::optional<FiniteRange> known) {
  const std::size_t n = input.size();
  const std::size_t padded_len = out.size();
  NormalisedFrame frame;
  float* x = out.data();

  // A caller that has scanned the samples already gives their range; only
  // the sign of a zero extreme is left to settle.
  const auto [lo, hi] = known ? with_first_zero(input, known->lo, known->hi) : cleaned_bounds(input);
  frame.min = lo;
  frame.max = hi;

  const float range = hi - lo;
  if (!std::isfinite(range)) {
    // The normalisation would produce NaN everywhere and an unreadable header.
    return std::unexpected(QuillmereError::unsupported_configuration(
        "Signal range " + float_text(lo) + " to " + float_text(hi) +
        " overflows single precision"));
  }
  if (range > kFlatRange) {
    const float r = 1.0f / range;
    const float mean = scaled_and_summed(input.data(), x, n, lo, r) / static_cast<float>(n);
    remove_mean(x, n, mean);
    frame.mean = mean;
  } else {
    std::fill(x, x + n, 0.0f);
    frame.mean = 0.0f;
  }

  // Signals shorter than the filter repeat periodically up to its length.
  for (std::size_t k = n; k < padded_len; ++k) x[k] = x[(k - n) % n];
  return frame;
}

// Independent lanes keep the scan off one compare chain, written as vectors
// because the compiler kept an array of lanes in scalar registers and on the
// stack. The values are never NaN, so any order finds the same extremes; at
// most the sign of a zero extreme can differ, which no multiplier's
// saturation depends on.
QUILLMERE_WIDE_CLONES
Extremes extremes(std::span<const float> band) noexcept {
  using Floats8 = float __attribute__((vector_size(32)));
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const Floats8 inf = Floats8{} + kInf;
  Floats8 lo0 = inf, lo1 = inf, hi0 = -inf, hi1 = -inf;
  const std::size_t n = band.size();
  const float* c = band.data();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Floats8 a, b;
    std::memcpy(&a, c + i, sizeof a);
    std::memcpy(&b, c + i + 8, sizeof b);
    lo0 = a < lo0 ? a : lo0;
    hi0 = a > hi0 ? a : hi0;
    lo1 = b < lo1 ? b : lo1;
    hi1 = b > hi1 ? b : hi1;
  }
  const Floats8 lo = lo1 < lo0 ? lo1 : lo0, hi = hi1 > hi0 ? hi1 : hi0;
  Extremes e;
  for (int j = 0; j < 8; ++j) {
    e.lo = lo[j] < e.lo ? lo[j] : e.lo;
    e.hi = hi[j] > e.hi ? hi[j] : e.hi;
  }
  for (; i < n; ++i) {
    e.lo = c[i] < e.lo ? c[i] : e.lo;
    e.hi = c[i] > e.hi ? c[i] : e.hi;
  }
  return e;
}

bool saturates(const Extremes& band, float m) noexcept {
  if (band.lo > band.hi) return false;  // empty band
  return outside(band.lo, m) || outside(band.hi, m);
}

float largest_unsaturated_multiplier(std::span<const Extremes> bands) noexcept {
  const auto any = [&](float m) {
    return std::any_of(bands.begin(), bands.end(),
                       [&](const Extremes& e) { return saturates(e, m); });
  };
  // Positive floats order like their bit patterns, and saturation only
  // grows with m, so a bisection on the patterns finds the boundary.
  std::uint32_t lo = 0;                                            // 0.0 never saturates
  std::uint32_t hi = std::bit_cast<std::uint32_t>(std::numeric_limits<float>::max());
  if (!any(std::bit_cast<float>(hi))) return std::bit_cast<float>(hi);
  while (hi - lo > 1) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (any(std::bit_cast<float>(mid))) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return std::bit_cast<float>(lo);
}

std::vector<std::span<const std::int16_t>> QuantisedBands::bands() const {
  std::vector<std::span<const std::int16_t>> out(layout.lengths.size());
  std::size_t offset = 0;
  for (std::size_t b = 0; b < out.size(); ++b) {
    out[b] = std::span<const std::int16_t>(coeffs.data() + offset, layout.lengths[b]);
    offset += layout.lengths[b];
  }
  return out;
}

bool fits_every_level(const LevelExtremes& levels, float m) noexcept {
  if (levels.details.empty()) return true;
  for (const Extremes& e : levels.details) {
    if (saturates(e, m)) return false;
  }
  return !saturates(levels.approximation.back(), m);
}

std::uint8_t unsaturated_depth(const LevelExtremes& levels, float m) noexcept {
  const std::size_t depth = levels.details.size();
  std::size_t best = 0;
  for (std::size_t d = 1; d <= depth; ++d) {
    if (saturates(levels.details[d - 1], m)) break;  // every deeper depth keeps this band
    if (!saturates(levels.approximation[d - 1], m)) best = d;
  }
  return static_cast<std::uint8_t>(best);
}

void TransformBuffers::release_if_large() noexcept {
  signal.release_if_large(kKeptStageBytes);
  approximation.release_if_large(kKeptStageBytes);
  details.release_if_large(kKeptStageBytes);
  std::vector<std::int16_t>& coeffs = transform.quantised.coeffs;
  if (coeffs.capacity() * sizeof(std::int16_t) > kKeptStageBytes) std::vector<std::int16_t>().swap(coeffs);
}

TransformBuffers& thread_transform_buffers() noexcept {
  thread_local TransformBuffers buffers;
  return buffers;
}

namespace {

// A level's share of the saturation rule and of the quantised bands: its
// approximation's extremes (the deepest one's come with its quantisation,
// the others' only when asked for) and its details, quantised with theirs.
void record_level(std::span<const float> approximation, std::span<const float> details,
                  std::size_t level, std::size_t levels, float m, std::uint16_t threshold,
                  bool every_approximation, std::size_t offset, StreamedTransform& out) {
  if (level < levels) {
    out.extremes.approximation[level - 1] = every_approximation ? extremes(approximation) : Extremes{};
  }
  const BandRange range = quantise_band(
      details, m, threshold,
      std::span<std::int16_t>(out.quantised.coeffs.data() + offset, details.size()));
  out.extremes.details[level - 1] = {range.lo, range.hi};
}

void quantise_deepest(std::span<const float> approximation, float m, std::size_t levels,
                      StreamedTransform& out) {
  const BandRange range = quantise_band(
      approximation, m, 0,
      std::span<std::int16_t>(out.quantised.coeffs.data(), out.quantised.layout.lengths[0]));
  if (levels > 0) out.extremes.approximation[levels - 1] = {range.lo, range.hi};
}

}  // namespace

std::optional<QuillmereError> transform_and_quantise_into(const wavelet::DwtExecutor& executor,
                                                          std::span<float> input,
                                                          std::uint8_t levels, float m,
                                                          std::uint8_t scale, Cutoff cutoff,
                                                          TransformBuffers& buffers,
                                                          bool every_approximation) {
  StreamedTransform& out = buffers.transform;
  QuantisedBands& q = out.quantised;
  q.levels = levels;
  try {
    q.layout = band_layout(executor, input.size(), levels);
    const std::vector<std::size_t>& lengths = q.layout.lengths;
    out.extremes.approximation.resize(levels);
    out.extremes.details.resize(levels);
    // Sized once for the whole call: a kept vector of the same length is
    // neither filled nor moved.
    q.coeffs.resize(q.layout.total);
    // Level k reads the previous approximation and writes its own into the
    // other buffer: the input's for even k, the approximation buffer's for
    // odd k. Levels shrink from a padded input, but a caller may ask for
    // more levels than fit, where the 8-tap lengths stop shrinking.
    std::size_t longest[2] = {0, 0};
    std::size_t longest_details = 0;
    for (std::size_t level = 1, len = input.size(); level <= levels; ++level) {
      len = executor.dwt_size(len).approximation;
      longest[level % 2] = std::max(longest[level % 2], len);
      longest_details = std::max(longest_details, lengths[level]);
    }
    Floats even_levels;
    if (longest[0] > input.size()) even_levels = Floats::make(longest[0]);
    float* const halves[2] = {even_levels.data ? even_levels.data.get() : input.data(),
                              buffers.approximation.take(longest[1])};
    float* const details = buffers.details.take(longest_details);
    const std::uint16_t threshold = dead_zone_threshold(scale, cutoff);
    std::span<const float> current = input;
    std::size_t offset = lengths[0];
    for (std::size_t level = 1; level <= levels; ++level) {
      const std::span<float> approx(halves[level % 2], executor.dwt_size(current.size()).approximation);
      const std::span<float> detail(details, lengths[level]);
      if (auto done = executor.execute_forward(current, approx, detail); !done) {
        return QuillmereError::transform(done.error().message());
      }
      current = approx;
      record_level(current, detail, level, levels, m, threshold, every_approximation, offset, out);
      offset += lengths[level];
    }
    quantise_deepest(current, m, levels, out);
  } catch (const std::bad_alloc&) {
    return QuillmereError::out_of_memory(input.size());
  }
  return std::nullopt;
}

Result<StreamedTransform> transform_and_quantise(const wavelet::DwtExecutor& executor,
                                                 Floats input, std::uint8_t levels, float m,
                                                 std::uint8_t scale, Cutoff cutoff,
                                                 bool every_approximation) {
  StreamedTransform out;
  QuantisedBands& q = out.quantised;
  q.levels = levels;
  q.layout = band_layout(executor, input.size, levels);
  const std::vector<std::size_t>& lengths = q.layout.lengths;
  try {
    out.extremes.approximation.resize(levels);
    out.extremes.details.resize(levels);
    const std::uint16_t threshold = dead_zone_threshold(scale, cutoff);
    std::size_t offset = lengths[0];
    for (std::size_t level = 1; level <= levels; ++level) {
      Floats approx = Floats::make(executor.dwt_size(input.size).approximation);
      Floats details = Floats::make(lengths[level]);
      if (auto done = executor.execute_forward(input.span(), approx.span(), details.span());
          !done) {
        return std::unexpected(QuillmereError::transform(done.error().message()));
      }
      input = std::move(approx);
      // Taken only now, with the normalised signal gone.
      if (q.coeffs.empty()) q.coeffs.resize(q.layout.total);
      record_level(input.span(), details.span(), level, levels, m, threshold, every_approximation,
                   offset, out);
      offset += lengths[level];
    }
    quantise_deepest(input.span(), m, levels, out);
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::out_of_memory(q.layout.total));
  }
  return out;
}

Result<Decomposition> decompose(const wavelet::DwtExecutor& executor, Floats input,
                                std::uint8_t levels) {
  Decomposition d;
  d.transform_len = input.size;
  try {
    d.approximation.resize(levels);
    d.details.resize(levels);
    d.extremes.approximation.resize(levels);
    d.extremes.details.resize(levels);
    std::span<const float> in = input.span();
    for (std::size_t level = 0; level < levels; ++level) {
      const auto size = executor.dwt_size(in.size());
      d.approximation[level].resize(size.approximation);
      d.details[level].resize(size.details);
      if (auto done = executor.execute_forward(in, d.approximation[level], d.details[level]);
          !done) {
        return std::unexpected(QuillmereError::transform(done.error().message()));
      }
      if (level == 0) input = Floats{};
      in = d.approximation[level];
      d.extremes.approximation[level] = extremes(d.approximation[level]);
      d.extremes.details[level] = extremes(d.details[level]);
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::out_of_memory(d.transform_len));
  }
  return d;
}

void quantise_at_depth(const wavelet::DwtExecutor& executor, const Decomposition& d,
                       std::uint8_t depth, float m, std::uint8_t scale, Cutoff cutoff,
                       QuantisedBands& out) {
  quantise_at_depth(executor, d, depth, m, dead_zone_threshold(scale, cutoff), out);
}

void quantise_at_depth(const wavelet::DwtExecutor& executor, const Decomposition& d,
                       std::uint8_t depth, float m, std::uint16_t threshold,
                       QuantisedBands& out) {
  quantise_bands_with(executor, d, depth, m, out,
                      [&](std::size_t, const Band& band, std::span<std::int16_t> to) {
                        quantise_details(band, m, threshold, to);
                      });
}

Result<Payload> encode_bands(const QuantisedBands& q, Coder coder) {
  const auto bytes = std::as_bytes(std::span<const std::int16_t>(q.coeffs));
  const std::span<const std::uint8_t> coeff_bytes(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  Payload out;
  // Encoders report running out of memory by std::bad_alloc; here it
  // becomes an error value like every other failure.
  try {
    switch (coder) {
      case Coder::Deflate: {
        auto deflated = deflate_raw(coeff_bytes);
        if (!deflated) return std::unexpected(std::move(deflated.error()));
        out.bytes = std::move(*deflated);
        out.coder_id = kCoderDeflate;
        break;
      }
      case Coder::Arans:
        out.bytes = arans::encode_stream(coeff_bytes);
        out.coder_id = kCoderArans;
        break;
      case Coder::Fast:
        out.bytes = fast::encode_coeffs(q.bands());
        out.coder_id = kCoderFast;
        break;
      default:  // CModel, Auto and anything else: the coefficient model
        out.bytes = cmodel::encode_coeffs(q.bands());
        out.coder_id = kCoderCModel;
        break;
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::out_of_memory(q.layout.total));
  }
  return out;
}

Result<std::vector<std::uint8_t>> assemble_container(const SignalFrame& frame,
                                                     const Payload& payload) {
  if (payload.bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(QuillmereError::unsupported_configuration(
        "Payload of " + std::to_string(payload.bytes.size()) +
        " bytes exceeds the 4294967295 bytes a container can describe"));
  }
  const auto header = to_bytes(HeaderFields{
      frame.method, frame.levels, frame.scale, payload.coder_id, frame.sample_count, frame.min,
      frame.max, frame.mean, static_cast<std::uint32_t>(payload.bytes.size()), frame.multiplier});
  std::vector<std::uint8_t> container;
  try {
    container.reserve(HEADER_LEN + payload.bytes.size());
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::out_of_memory(HEADER_LEN + payload.bytes.size()));
  }
  container.insert(container.end(), header.begin(), header.end());
  container.insert(container.end(), payload.bytes.begin(), payload.bytes.end());
  return container;
}

// Fixed notation: a multiplier reads as 100000, not 1e+05 (shortest digits
// that read back as the same float).
std::string multiplier_text(float v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

QuillmereError saturation_refusal(float m, const LevelExtremes& levels) {
  const Extremes first[2] = {levels.approximation[0], levels.details[0]};
  const float fits = largest_unsaturated_multiplier(first);
  return QuillmereError::unsupported_configuration(
      "quant_multiplier " + multiplier_text(m) +
      " saturates the 16-bit coefficients even at one level; the largest multiplier that fits "
      "this signal is " +
      multiplier_text(fits));
}

}  // namespace quillmere::stages
