// Which transform executor each Method runs on, and the band lengths it
// gives; compressor and decompressor must agree on both, so they are
// decided in exactly one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillmere/options.hpp"
#include "wavelet/wavelet.hpp"

namespace quillmere {

wavelet::DwtHandle make_executor(Method method);

// Band lengths are never stored: both sides derive them from the length
// the transform sees and the level count.
struct BandLayout {
  std::vector<std::size_t> lengths;  // approximation, then details of level 1..L
  std::size_t total = 0;
};

BandLayout band_layout(const wavelet::DwtExecutor& executor, std::size_t transform_len,
                       std::uint8_t levels);

}  // namespace quillmere
