// The stages of compression, shared by compress() and the bounded search so
// that both produce the same numbers from the same code: cleaning and
// normalisation, the level-by-level transform, quantisation with the dead
// zone and the 16-bit saturation rule, entropy coding, and the header.
// Internal to the codec library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "quantizer.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/error.hpp"
#include "work_buffer.hpp"
#include "quillmere/options.hpp"
#include "quillmere/unset_on_growth.hpp"
#include "wavelet_choice.hpp"

namespace quillmere::stages {

// A float buffer that is written before it is read: no zero fill.
struct Floats {
  std::unique_ptr<float[]> data;
  std::size_t size = 0;

  static Floats make(std::size_t n) { return {std::make_unique_for_overwrite<float[]>(n), n}; }
  std::span<float> span() const { return {data.get(), size}; }
};

struct Normalised {
  Floats samples;  // normalised, mean removed, padded to the filter length
  float min = 0.0f;
  float max = 0.0f;
  float mean = 0.0f;
};

// Refuses what compress() refuses before touching a sample: no samples, more
// than the decoder accepts, a multiplier the decoder would not take as is.
std::optional<QuillmereError> check_request(std::span<const float> samples,
                                            const CodecOptions& options);

// Cleans non-finite samples, finds min and max, maps into the unit range and
// removes the mean; signals shorter than padded_len repeat periodically.
Result<Normalised> normalise(std::span<const float> input, std::size_t padded_len,
                             std::optional<FiniteRange> known = std::nullopt);

// The same into `out`, whose length is the padded length; samples holds
// nothing on return.
struct NormalisedFrame {
  float min = 0.0f;
  float max = 0.0f;
  float mean = 0.0f;
};
// `known`, when given, is the smallest and largest sample of an input
// without NaN or infinity (compress_in_range), which spares the scan for
// them; the result is the same either way.
Result<NormalisedFrame> normalise_into(std::span<const float> input, std::span<float> out,
                                       std::optional<FiniteRange> known = std::nullopt);

inline float multiplier_of(const CodecOptions& options) noexcept {
  return options.quant_multiplier ? *options.quant_multiplier : scale_multiplier(options.scale);
}

// Smallest and largest value of a band: whether any value of the band
// saturates depends only on these two, as c * m is monotonic in c.
struct Extremes {
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
};
Extremes extremes(std::span<const float> band) noexcept;

// True when quantise() would clamp some value of the band at multiplier m.
bool saturates(const Extremes& band, float m) noexcept;

// The largest multiplier at which none of the bands saturates (bands are
// never empty of finite values here).
float largest_unsaturated_multiplier(std::span<const Extremes> bands) noexcept;

// Quantised bands of one depth in container order: the deepest
// approximation, then the details of level 1 (finest) to the deepest.
struct QuantisedBands {
  std::vector<std::int16_t> coeffs;
  BandLayout layout;
  std::uint8_t levels = 0;

  std::vector<std::span<const std::int16_t>> bands() const;
};

// What the saturation rule needs to know about each level of a transform.
struct LevelExtremes {
  std::vector<Extremes> approximation;  // [k] = level k + 1
  std::vector<Extremes> details;        // [k] = level k + 1
};

// The deepest level count d <= levels at which no band saturates at m (the
// details of levels 1..d and the approximation of level d); 0 when even one
// level saturates. Fewer levels change only the deepest approximation, so
// this is what stepping down one level at a time would find.
std::uint8_t unsaturated_depth(const LevelExtremes& levels, float m) noexcept;

// compress()'s transform: one level at a time, each band quantised as soon as
// it exists and its floats released at once, so the transform never holds
// more than a level's input and its two halves. Records every band's
// extremes for the saturation rule.
struct StreamedTransform {
  QuantisedBands quantised;
  LevelExtremes extremes;
};
// Without `every_approximation` only the deepest approximation's extremes
// are taken (the others are left empty): enough to tell whether every level
// fits (fits_every_level), which is all a compress needs unless it does not.
Result<StreamedTransform> transform_and_quantise(const wavelet::DwtExecutor& executor,
                                                 Floats input, std::uint8_t levels, float m,
                                                 std::uint8_t scale, Cutoff cutoff,
                                                 bool every_approximation = true);

// The most each buffer that compress() or a decode keeps with its thread
// may hold after the call: signals of up to 2^18 samples (speech files,
// array chunks) keep their buffers, about 4 MiB per thread in all, and
// longer ones hand the memory back as a caller of the module expects.
inline constexpr std::size_t kKeptStageBytes = std::size_t{1} << 20;

// What compress() keeps with its thread from one call to the next
// (work_buffer.hpp): the normalised signal, one level's approximation and
// details, and the quantised bands. Fresh blocks of a few hundred kilobytes
// per call went back to the kernel and came back as page faults, a tenth of
// a compress of 7 * 10^4 samples.
struct TransformBuffers {
  WorkBuffer<float> signal;
  WorkBuffer<float> approximation;
  WorkBuffer<float> details;
  StreamedTransform transform;

  // Lets go of whatever is larger than a kept buffer may be.
  void release_if_large() noexcept;
};
TransformBuffers& thread_transform_buffers() noexcept;

// transform_and_quantise on `input` (overwritten: it takes the coarser
// levels' approximations) into buffers.transform, with buffers'
// approximation and details as the levels' floats. It holds the whole
// signal and both halves until the end, so it is for signals whose buffers
// a thread keeps anyway.
std::optional<QuillmereError> transform_and_quantise_into(const wavelet::DwtExecutor& executor,
                                                          std::span<float> input,
                                                          std::uint8_t levels, float m,
                                                          std::uint8_t scale, Cutoff cutoff,
                                                          TransformBuffers& buffers,
                                                          bool every_approximation = true);

// Whether no band of the full depth saturates at m: every level's details
// and the deepest approximation, the bands coded at that depth.
bool fits_every_level(const LevelExtremes& levels, float m) noexcept;

// One band of a Decomposition; values added by resize() are unspecified.
using Band = UnsetVector<float>;

// The whole float decomposition, kept so that many multipliers can be tried
// on one transform: details and approximation of every level.
struct Decomposition {
  std::vector<Band> approximation;  // [k] = level k + 1
  std::vector<Band> details;        // [k] = level k + 1
  LevelExtremes extremes;
  std::size_t transform_len = 0;
};
Result<Decomposition> decompose(const wavelet::DwtExecutor& executor, Floats input,
                                std::uint8_t levels);

// Quantises the decomposition at `depth` levels into `out` (reusing its
// storage), exactly as transform_and_quantise would at that depth.
void quantise_at_depth(const wavelet::DwtExecutor& executor, const Decomposition& d,
                       std::uint8_t depth, float m, std::uint8_t scale, Cutoff cutoff,
                       QuantisedBands& out);
// The same with the dead-zone threshold of the detail bands given directly
// (0 or 1: plain rounding), for an encoder that chooses its own rule.
void quantise_at_depth(const wavelet::DwtExecutor& executor, const Decomposition& d,
                       std::uint8_t depth, float m, std::uint16_t threshold,
                       QuantisedBands& out);

// The layout and band order every rounding rule shares: `out` laid out for
// `depth` levels, each detail band given to quantise_detail(level, band,
// to) (level from 1), the approximation rounded to nearest.
template <class QuantiseDetail>
void quantise_bands_with(const wavelet::DwtExecutor& executor, const Decomposition& d,
                         std::uint8_t depth, float m, QuantisedBands& out,
                         QuantiseDetail&& quantise_detail) {
  out.levels = depth;
  out.layout = band_layout(executor, d.transform_len, depth);
  out.coeffs.resize(out.layout.total);
  std::size_t offset = out.layout.lengths[0];
  for (std::size_t level = 1; level <= depth; ++level) {
    const std::size_t len = out.layout.lengths[level];
    quantise_detail(level, d.details[level - 1], std::span<std::int16_t>(out.coeffs.data() + offset, len));
    offset += len;
  }
  quantise(d.approximation[depth - 1], m,
           std::span<std::int16_t>(out.coeffs.data(), out.layout.lengths[0]));
}

struct Payload {
  std::vector<std::uint8_t> bytes;
  std::uint8_t coder_id = 0;
};
Result<Payload> encode_bands(const QuantisedBands& q, Coder coder);

struct SignalFrame {
  Method method;
  std::uint8_t levels;
  std::uint8_t scale;
  std::uint32_t sample_count;
  float min;
  float max;
  float mean;
  float multiplier;
};
Result<std::vector<std::uint8_t>> assemble_container(const SignalFrame& frame,
                                                     const Payload& payload);

// UnsupportedConfiguration naming the multiplier that saturates at one level
// and the largest one that fits.
QuillmereError saturation_refusal(float m, const LevelExtremes& levels);

}  // namespace quillmere::stages
