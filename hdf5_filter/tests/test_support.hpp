// Shared by the filter's tests: cd_values as set_local leaves them, and
// chunks as HDF5 hands them to the filter.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "filter_params.hpp"

namespace quillmere::hdf5::testing {

// A layout-2 set for chunks of `frames` x `stride` (time axis 0), filled in
// and sealed as set_local would.
inline std::vector<unsigned> words(ElementType element, unsigned frames, unsigned stride,
                                   unsigned flags = 0, std::size_t bound_at = 0,
                                   double bound = 0.0) {
  std::vector<unsigned> cd(kParamCount, 0);
  cd[param::kVersion] = kLayoutVersion;
  cd[param::kElement] = static_cast<unsigned>(element);
  cd[param::kChunkSamples] = frames * stride;
  cd[param::kFrames] = frames;
  cd[param::kStride] = stride;
  cd[param::kMethod] = 1;
  cd[param::kScale] = 11;
  cd[param::kCoder] = 255;
  cd[param::kFlags] = flags;
  if (bound_at != 0) {
    const auto bits = std::bit_cast<std::uint64_t>(bound);
    cd[bound_at] = static_cast<unsigned>(bits);
    cd[bound_at + 1] = static_cast<unsigned>(bits >> 32);
  }
  cd[param::kCheck] = check_word(cd);
  return cd;
}

inline void reseal(std::vector<unsigned>& cd) { cd[param::kCheck] = check_word(cd); }

inline FilterParams params_of(const std::vector<unsigned>& cd) {
  auto p = parse_params(cd, Stage::Chunk);
  return p ? *p : FilterParams{};
}

// Elements as a file of that element type holds them, and back.
inline std::vector<std::uint8_t> file_bytes(const std::vector<double>& x, ElementType element) {
  const std::size_t width = element_size(element);
  std::vector<std::uint8_t> out(x.size() * width);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float f = static_cast<float>(x[i]);
    std::memcpy(&out[i * width], width == 4 ? static_cast<const void*>(&f) : &x[i], width);
    if (is_big_endian(element)) std::reverse(&out[i * width], &out[(i + 1) * width]);
  }
  return out;
}

inline std::vector<double> values(std::vector<std::uint8_t> raw, ElementType element) {
  const std::size_t width = element_size(element);
  std::vector<double> out(raw.size() / width);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (is_big_endian(element)) std::reverse(&raw[i * width], &raw[(i + 1) * width]);
    float f;
    double d;
    std::memcpy(width == 4 ? static_cast<void*>(&f) : &d, &raw[i * width], width);
    out[i] = width == 4 ? double(f) : d;
  }
  return out;
}

// A (frames, channels) block in C order; channel c has amplitude 10^c so
// channels mixed together would show.
inline std::vector<double> block(std::size_t frames, std::size_t channels) {
  std::vector<double> x(frames * channels);
  for (std::size_t t = 0; t < frames; ++t) {
    for (std::size_t c = 0; c < channels; ++c) {
      x[t * channels + c] = std::pow(10.0, double(c)) * std::sin(0.01 * double(t) * double(c + 1)) +
                            1e-3 * double(t % 7);
    }
  }
  return x;
}

}  // namespace quillmere::hdf5::testing
