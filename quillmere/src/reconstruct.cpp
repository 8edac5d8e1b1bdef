#include "reconstruct.hpp"

#include <algorithm>
#include <new>

#include "quantizer.hpp"
#include "vector_clones.hpp"
#include "wide_clones.hpp"

namespace quillmere::stages {
namespace {

QUILLMERE_WIDE_CLONES
void denormalise(float* y, std::size_t n, float min, float range, float mean) noexcept {
  for (std::size_t i = 0; i < n; ++i) y[i] = min + range * (y[i] + mean);
}

}  // namespace

Result<DequantisedBands> dequantise_bands(std::span<const std::int16_t> coeffs, float multiplier) {
  DequantisedBands out;
  try {
    out.data = std::make_unique_for_overwrite<float[]>(coeffs.size());
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::decompress_out_of_memory());
  }
  out.size = coeffs.size();
  dequantise(coeffs, multiplier, std::span<float>(out.data.get(), out.size));
  return out;
}

Result<std::vector<float>> synthesise(const wavelet::DwtExecutor& executor,
                                      const DequantisedBands& bands, const BandLayout& layout,
                                      const Denormalisation& frame) {
  return synthesise(executor, std::span<const float>(bands.data.get(), bands.size), layout, frame);
}

Result<std::vector<float>> synthesise(const wavelet::DwtExecutor& executor,
                                      std::span<const float> all, const BandLayout& layout,
                                      const Denormalisation& frame) {
  const std::size_t levels = layout.lengths.size() - 1;
  const auto approximation = all.first(layout.lengths[0]);
  std::vector<std::span<const float>> details;
  try {
    details.reserve(levels);
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::decompress_out_of_memory());
  }
  std::size_t offset = layout.lengths[0];
  for (std::size_t level = 1; level <= levels; ++level) {
    details.push_back(all.subspan(offset, layout.lengths[level]));
    offset += layout.lengths[level];
  }

  auto signal = executor.multi_idwt(details, approximation);
  if (!signal) return std::unexpected(QuillmereError::transform(signal.error().message()));

  // Undo the normalisation in place, then cut or pad to the stored length.
  std::vector<float>& out = *signal;
  const float range = frame.max - frame.min;
  const std::size_t keep = std::min<std::size_t>(out.size(), frame.sample_count);
  denormalise(out.data(), keep, frame.min, range, frame.mean);
  try {
    out.resize(frame.sample_count, 0.0f);
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::decompress_out_of_memory());
  }
  return std::move(out);
}

}  // namespace quillmere::stages
