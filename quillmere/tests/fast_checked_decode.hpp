// Decoding a fast stream the way a reader does: the preflight first, then
// the decoder, which must agree with it whenever the preflight refuses.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <expected>
#include <numeric>
#include <vector>

#include "band_helpers.hpp"
#include "fast_coder.hpp"

namespace quillmere::testing_bands {

inline std::expected<Band, fast::FastError> checked_decode(const Bytes& stream,
                                                           const std::vector<std::size_t>& lengths) {
  Band flat(std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}));
  const auto pre = fast::preflight(stream, lengths);
  const auto done = fast::decode_coeffs_into(stream, lengths, flat);
  if (!pre) {
    EXPECT_FALSE(done.has_value());
    if (!done) {
      EXPECT_EQ(done.error(), pre.error());
    }
  }
  if (!done) return std::unexpected(done.error());
  return flat;
}

inline Band joined(const std::vector<Band>& bands) {
  Band all;
  for (const auto& b : bands) all.insert(all.end(), b.begin(), b.end());
  return all;
}

}  // namespace quillmere::testing_bands
