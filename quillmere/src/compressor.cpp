#include "quillmere/compressor.hpp"

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

Result<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                           const CodecOptions& options) {
  if (auto bad = stages::check_request(samples, options)) return std::unexpected(std::move(*bad));

  const auto executor = make_executor(options.method);
  const std::size_t padded_len = std::max(samples.size(), executor->filter_length());
  auto norm = stages::normalise(samples, padded_len);
  if (!norm) return std::unexpected(std::move(norm.error()));
  const float m = stages::multiplier_of(options);
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
  const std::uint8_t levels = pick_levels(samples.size(), options.method);
  auto t = stages::transform_and_quantise(*executor, std::move(norm->samples), levels, m,
                                          options.scale, options.cutoff);
  if (!t) return std::unexpected(std::move(t.error()));
  const std::uint8_t depth = stages::unsaturated_depth(t->extremes, m);
  if (depth == 0) return std::unexpected(stages::saturation_refusal(m, t->extremes));
  if (depth < levels) {
    // Rare: the transform runs again at the shallower depth (it consumed the
    // normalised signal to stay within twice the input's memory).
    auto again = stages::normalise(samples, padded_len);
    if (!again) return std::unexpected(std::move(again.error()));
    t = stages::transform_and_quantise(*executor, std::move(again->samples), depth, m,
                                       options.scale, options.cutoff);
    if (!t) return std::unexpected(std::move(t.error()));
  }

  auto payload = stages::encode_bands(t->quantised, options.coder);
  if (!payload) return std::unexpected(std::move(payload.error()));
  stages::SignalFrame frame = frame_base;
  frame.levels = depth;
  return stages::assemble_container(frame, *payload);
}

}  // namespace quillmere
