// The codec's bounded search and point-wise corrections, as a channel unit
// uses them. Only corrections_link.cpp sees the codec's search headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/options.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/coded_samples.hpp"

namespace quillmere_tools {

struct BoundedChoice {
  quillmere::CodecOptions options;
  std::vector<std::uint8_t> container;
  std::vector<std::uint8_t> corrections;  // empty when nothing needed correcting
  double max_error = 0.0;
  double rmse = 0.0;
  double prd = 0.0;
  double psnr = 0.0;
  std::size_t corrected_samples = 0;
};

// `side_bytes` is what the unit adds beyond container and corrections; a size
// budget is met by the whole unit of `unit_samples` (the coded samples and a
// trailing run the side block restores).
UnitResult<BoundedChoice> bounded_encode(const CodedSamples& coded, SignalView originals,
                                         const UnitRequest& request, std::size_t side_bytes,
                                         std::size_t unit_samples);

// Header, lengths and CRC of a corrections blob that must fill `blob`, and
// that it was written for this precision and sample count.
UnitResult<void> check_corrections(std::span<const std::uint8_t> blob, Precision precision,
                                   std::uint32_t sample_count);

UnitResult<void> apply_corrections(std::span<const std::uint8_t> blob, std::span<float> decoded);
UnitResult<std::vector<double>> apply_corrections(std::span<const std::uint8_t> blob,
                                                  std::span<const float> decoded, double offset);

}  // namespace quillmere_tools
