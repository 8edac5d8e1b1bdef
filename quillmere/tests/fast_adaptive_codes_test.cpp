// The adaptive model's trial in the model choice leaves the codes of a band
// it picks, and the encoder takes them for a band that lies in one lane
// instead of running the model again; a band that lanes share is coded in
// their alternating order as before. The codes must be the model's own in
// band order, and the streams the bytes the encoder wrote before it reused
// them.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "band_helpers.hpp"
#include "fast_adaptive.hpp"
#include "fast_coder.hpp"
#include "fast_model.hpp"

namespace quillmere::fast {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;

// Small magnitudes from a fixed LCG (below 16 by default, at most `mask`
// at shift 0): what a short band of details holds, and what the adaptive
// model codes more cheaply than tables.
Band quiet(std::size_t n, std::uint64_t seed, unsigned shift = 4, unsigned mask = 0xFF) {
  Band b(n);
  for (auto& w : b) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    const auto r = static_cast<std::uint32_t>(seed >> 33);
    const int magnitude = static_cast<int>((r & mask) >> (shift + (r >> 29) % 4));
    w = static_cast<std::int16_t>((r >> 8) & 1 ? -magnitude : magnitude);
  }
  return b;
}

// Symbol words with the token in the low five bits, as the encoder gives
// them to the model choice (the context bits above do not matter there).
std::vector<std::uint32_t> tokens_of(const Band& band, BandCounts& counts) {
  std::vector<std::uint32_t> words;
  for (const std::int16_t w : band) {
    const auto magnitude = static_cast<std::uint32_t>(w < 0 ? -w : w);
    const unsigned t = token_of(magnitude).token;
    ++counts[0][t];
    words.push_back(t);
  }
  return words;
}

TEST(FastAdaptiveCodes, AreTheModelsOwnInBandOrder) {
  const std::vector<Band> bands = {quiet(900, 1), quiet(1700, 2), quiet(40, 3)};
  std::vector<BandCounts> counts(bands.size(), BandCounts{});
  std::vector<std::vector<std::uint32_t>> words;
  for (std::size_t b = 0; b < bands.size(); ++b) words.push_back(tokens_of(bands[b], counts[b]));
  const std::vector<std::span<const std::uint32_t>> symbols(words.begin(), words.end());

  std::vector<std::uint8_t> plain_bytes, bytes;
  const Models plain = choose_and_write_models(counts, symbols, plain_bytes);
  std::vector<std::uint32_t> codes(900 + 1700 + 40);
  const Models models = choose_and_write_models(counts, symbols, bytes, codes.data());
  EXPECT_EQ(bytes, plain_bytes);

  std::size_t offset = 0, adaptive = 0;
  for (std::size_t b = 0; b < bands.size(); offset += words[b++].size()) {
    EXPECT_EQ(models.bands[b].mode, plain.bands[b].mode);
    if (models.bands[b].mode != BandMode::Adaptive) continue;
    ++adaptive;
    AdaptiveModel model(models.bands[b].tokens);
    for (std::size_t i = 0; i < words[b].size(); ++i) {
      const unsigned t = words[b][i];
      ASSERT_EQ(codes[offset + i], model.start(t) | (model.freq(t) << 16)) << "band " << b << ", symbol " << i;
      model.update_all(t);
    }
  }
  EXPECT_GE(adaptive, 2u) << "the quiet bands are meant to take the adaptive model";
}

// Four lanes of 2250 steps: the first band of 1000 lies inside lane 2, the
// second crosses from lane 2 into lane 3.
TEST(FastAdaptiveCodes, StreamsKeepTheirBytesInOneLaneAndAcrossTwo) {
  const std::vector<Band> bands = {quiet(5000, 4), quiet(1000, 6), quiet(1000, 6), quiet(2000, 7)};
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (const std::uint8_t byte : stream) hash = (hash ^ byte) * 0x100000001b3ULL;
  EXPECT_EQ(stream.size(), 4606u);
  EXPECT_EQ(hash, 0x166c91deb64cfdd0ULL);

  const auto lengths = testing_bands::lengths_of(bands);
  Band out(std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}));
  const auto done = decode_coeffs_into(stream, lengths, out);
  ASSERT_TRUE(done.has_value()) << message(done.error());
  Band all;
  for (const auto& b : bands) all.insert(all.end(), b.begin(), b.end());
  EXPECT_EQ(out, all);

  // Both short bands took the adaptive model (no zero-block maps precede
  // the models in this stream, which the first byte says).
  ASSERT_EQ(stream[0], bands.size());
  BitReader reader(std::span<const std::uint8_t>(stream).subspan(1));
  const auto models = read_models(reader, lengths);
  ASSERT_TRUE(models.has_value());
  EXPECT_EQ(models->bands[1].mode, BandMode::Adaptive);
  EXPECT_EQ(models->bands[2].mode, BandMode::Adaptive);
}

}  // namespace
}  // namespace quillmere::fast
