#include "quillmere/compressor.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "compress_core.hpp"
#include "compress_stages.hpp"
#include "quantizer.hpp"
#include "wavelet_choice.hpp"

namespace quillmere {
namespace detail {

Result<EncodedSignal> compress_core(std::span<const float> samples, const CodecOptions& options,
                                    std::uint8_t levels) {
  const auto executor = make_executor(options.method);
  const std::size_t padded_len = std::max(samples.size(), executor->filter_length());
  auto norm = stages::normalise(samples, padded_len);
  if (!norm) return std::unexpected(std::move(norm.error()));

  const float m = stages::multiplier_of(options);
  const auto depth = static_cast<std::uint8_t>(std::max<std::uint8_t>(levels, 1));
  auto t = stages::transform_and_quantise(*executor, std::move(norm->samples), depth, m,
                                          options.scale, options.cutoff);
  if (!t) return std::unexpected(std::move(t.error()));
  auto payload = stages::encode_bands(t->quantised, options.coder);
  if (!payload) return std::unexpected(std::move(payload.error()));

  EncodedSignal enc;
  enc.payload = std::move(payload->bytes);
  enc.coder_id = payload->coder_id;
  enc.min = norm->min;
  enc.max = norm->max;
  enc.mean = norm->mean;
  enc.multiplier = m;
  enc.scale = options.scale;
  enc.levels = depth;
  enc.saturated = stages::unsaturated_depth(t->extremes, m) != depth;
  return enc;
}

}  // namespace detail

namespace {

// compress() with the thread's kept buffers (compress_stages.hpp) for a
// signal they may hold; the caller lets the large ones go afterwards.
Result<std::vector<std::uint8_t>> compress_with(std::span<const float> samples,
                                                const CodecOptions& options,
                                                stages::TransformBuffers& kept,
                                                std::optional<FiniteRange> known) {
  const auto executor = make_executor(options.method);
  const std::size_t padded_len = std::max(samples.size(), executor->filter_length());
  const float m = stages::multiplier_of(options);
  // A longer signal takes the level-by-level road, which lets each level's
  // floats go as soon as the next level exists: it never holds much more
  // than twice the samples, where the kept buffers would hold them all to
  // the end.
  const bool keep = padded_len <= stages::kKeptStageBytes / sizeof(float);
  std::span<float> signal;
  stages::Floats fresh;
  stages::StreamedTransform streamed;
  const stages::StreamedTransform& t = keep ? kept.transform : streamed;

  const auto normalise = [&]() -> Result<stages::NormalisedFrame> {
    if (!keep) {
      auto norm = stages::normalise(samples, padded_len, known);
      if (!norm) return std::unexpected(std::move(norm.error()));
      fresh = std::move(norm->samples);
      return stages::NormalisedFrame{norm->min, norm->max, norm->mean};
    }
    try {
      signal = {kept.signal.take(padded_len), padded_len};
    } catch (const std::bad_alloc&) {
      return std::unexpected(QuillmereError::out_of_memory(padded_len));
    }
    return stages::normalise_into(samples, signal, known);
  };
  const auto transform = [&](std::uint8_t depth,
                             bool every_approximation) -> std::optional<QuillmereError> {
    if (keep) {
      return stages::transform_and_quantise_into(*executor, signal, depth, m, options.scale,
                                                 options.cutoff, kept, every_approximation);
    }
    auto done = stages::transform_and_quantise(*executor, std::move(fresh), depth, m, options.scale,
                                               options.cutoff, every_approximation);
    if (!done) return std::move(done.error());
    streamed = std::move(*done);
    return std::nullopt;
  };
  // The transform consumed or overwrote the normalised signal.
  const auto again = [&](std::uint8_t depth) -> std::optional<QuillmereError> {
    if (auto norm = normalise(); !norm) return std::move(norm.error());
    return transform(depth, true);
  };

  auto norm = normalise();
  if (!norm) return std::unexpected(std::move(norm.error()));
  const stages::SignalFrame frame_base{options.method, 0,         options.scale,
                                       static_cast<std::uint32_t>(samples.size()),
                                       norm->min,      norm->max, norm->mean, m};

  // Saturated coefficients wreck the reconstruction, and deep levels amplify
  // the coarse bands most, so the deepest level count at which nothing
  // saturates is used. Fewer levels leave the finer bands as they are and
  // change only the deepest approximation, so the extremes recorded during
  // one transform decide it, and only the chosen depth is entropy coded.
  // (Re-running the whole coder once per level stepped down made large
  // multipliers several times slower to compress than to decompress.)
  // The extremes of the coarser approximations only matter when the full
  // depth saturates, so the first transform skips them (a pass over half
  // the signal's length in all).
  const std::uint8_t levels = pick_levels(samples.size(), options.method);
  if (auto failed = transform(levels, false)) return std::unexpected(std::move(*failed));
  std::uint8_t depth = levels;
  if (!stages::fits_every_level(t.extremes, m)) {
    // Rare: the transform runs again with every level's extremes, and once
    // more at the depth they allow.
    if (auto failed = again(levels)) return std::unexpected(std::move(*failed));
    depth = stages::unsaturated_depth(t.extremes, m);
    if (depth == 0) return std::unexpected(stages::saturation_refusal(m, t.extremes));
    if (depth < levels) {
      if (auto failed = again(depth)) return std::unexpected(std::move(*failed));
    }
  }

  auto payload = stages::encode_bands(t.quantised, options.coder);
  if (!payload) return std::unexpected(std::move(payload.error()));
  stages::SignalFrame frame = frame_base;
  frame.levels = depth;
  return stages::assemble_container(frame, *payload);
}

}  // namespace

namespace {

Result<std::vector<std::uint8_t>> checked_compress(std::span<const float> samples,
                                                   const CodecOptions& options,
                                                   std::optional<FiniteRange> known) {
  if (auto bad = stages::check_request(samples, options)) return std::unexpected(std::move(*bad));
  stages::TransformBuffers& kept = stages::thread_transform_buffers();
  auto container = compress_with(samples, options, kept, known);
  kept.release_if_large();
  return container;
}

}  // namespace

Result<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                           const CodecOptions& options) {
  return checked_compress(samples, options, std::nullopt);
}

Result<std::vector<std::uint8_t>> compress_in_range(std::span<const float> samples,
                                                    const CodecOptions& options, FiniteRange range) {
  return checked_compress(samples, options, range);
}

}  // namespace quillmere
