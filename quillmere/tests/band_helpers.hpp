// Bands as the coefficient coders' tests hold them, and the two views of
// them the coders take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere::testing_bands {

using Bytes = std::vector<std::uint8_t>;
using Band = std::vector<std::int16_t>;

inline std::vector<std::span<const std::int16_t>> views_of(const std::vector<Band>& bands) {
  return {bands.begin(), bands.end()};
}

inline std::vector<std::size_t> lengths_of(const std::vector<Band>& bands) {
  std::vector<std::size_t> lengths;
  for (const auto& b : bands) lengths.push_back(b.size());
  return lengths;
}

}  // namespace quillmere::testing_bands
