// Bands like a quiet recording's: stretches of exact zeros (silence
// between words) between stretches of noisy coefficients, from a fixed LCG
// so that stored streams made from them stay reproducible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "band_helpers.hpp"

namespace quillmere::testing_bands {

struct Lcg {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
};

// Silent and sounding stretches alternate, each up to `longest`
// coefficients; in a sounding stretch a quarter of the coefficients are
// still zero and magnitudes reach about 2^spread.
inline Band sparse_band(Lcg& rng, std::size_t n, unsigned spread, std::uint32_t longest) {
  Band b(n, 0);
  bool sounding = rng.below(2) == 0;
  for (std::size_t at = 0; at < n; sounding = !sounding) {
    const std::size_t end = std::min(n, at + 1 + rng.below(longest));
    for (; sounding && at < end; ++at) {
      const std::uint32_t r = rng.next();
      if ((r & 3) == 0) continue;
      const int magnitude = static_cast<int>((r >> 8) & ((1u << spread) - 1)) >> ((r >> 2) & 7);
      b[at] = static_cast<std::int16_t>((r >> 5) & 1 ? -magnitude : magnitude);
    }
    at = end;
  }
  return b;
}

// Octave bands of a signal of about 36 000 samples (four lanes), the
// loudest last, as the transform lays them out.
inline std::vector<Band> speech_like_bands(std::uint64_t seed) {
  Lcg rng{seed};
  std::vector<Band> bands;
  const std::size_t lengths[] = {563, 563, 1125, 2250, 4500, 9000, 18000};
  const unsigned spreads[] = {11, 10, 9, 8, 6, 4, 3};
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    bands.push_back(sparse_band(rng, lengths[i], spreads[i], 1500));
  }
  return bands;
}

}  // namespace quillmere::testing_bands
