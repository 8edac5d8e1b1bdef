// Fast coder: round trips over band shapes and lengths (lane boundaries,
// empty and all-zero bands, the extremes of 16 bits), determinism, every
// kind of hostile stream, and the container paths: bit-identical samples
// to cmodel through the tools' reader, refusal by the module's reader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "band_helpers.hpp"
#include "fast_checked_decode.hpp"
#include "cmodel.hpp"
#include "fast_coder.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"

namespace quillmere::fast {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;
using testing_bands::checked_decode;
using testing_bands::joined;
using testing_bands::lengths_of;

Bytes encode(const std::vector<Band>& bands) { return encode_coeffs(testing_bands::views_of(bands)); }



// Wavelet-like: Laplacian magnitudes, runs of zeros, rare extremes.
Band random_band(std::mt19937_64& rng, std::size_t n, double scale, double zeros) {
  std::exponential_distribution<double> magnitude(1.0 / scale);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Band band(n);
  for (auto& w : band) {
    const double u = unit(rng);
    if (u < zeros) continue;
    if (u > 0.999) {
      w = u > 0.9995 ? -32768 : 32767;
      continue;
    }
    const long v = std::lround(std::min(magnitude(rng), 32767.0));
    w = static_cast<std::int16_t>(unit(rng) < 0.5 ? -v : v);
  }
  return band;
}

struct Shape {
  std::vector<std::size_t> lengths;
  double scale;
  double zeros;
};

class FastRoundTrip : public ::testing::TestWithParam<Shape> {};

TEST_P(FastRoundTrip, DecodesWhatWasEncoded) {
  std::mt19937_64 rng(42);
  std::vector<Band> bands;
  for (const std::size_t n : GetParam().lengths) {
    bands.push_back(random_band(rng, n, GetParam().scale, GetParam().zeros));
  }
  const Bytes stream = encode(bands);
  EXPECT_EQ(encode(bands), stream);  // deterministic
  const auto back = checked_decode(stream, lengths_of(bands));
  ASSERT_TRUE(back.has_value()) << message(back.error());
  EXPECT_EQ(*back, joined(bands));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FastRoundTrip,
    ::testing::Values(Shape{{}, 1, 0}, Shape{{0, 0, 0}, 1, 0}, Shape{{1}, 3, 0},
                      Shape{{1, 1}, 3, 0.5}, Shape{{4095}, 5, 0.2}, Shape{{4096}, 5, 0.2},
                      Shape{{4097, 0, 3}, 5, 0.2}, Shape{{100, 50, 25, 13, 7, 4, 4}, 40, 0.3},
                      Shape{{5000, 5000, 2500, 1250}, 2, 0.6}, Shape{{70001, 35000}, 300, 0.1},
                      Shape{{9999, 1, 9999}, 0.3, 0.9}, Shape{{4000}, 8000, 0},
                      // Lanes start at 2375, 4750 and 7125: short bands that
                      // two lanes share, whose adaptive models move in turn.
                      Shape{{5000, 1500, 1500, 1500}, 20, 0.3}, Shape{{2300, 150, 2300, 150, 4600}, 6, 0.4}));

TEST(FastCoder, ExtremesZerosAndBandBoundaries) {
  std::vector<Band> bands{Band(600, 0), {-32768, 32767, -1, 1, 0, 2, -3, 4, -4096}, Band(300, 0),
                          Band(3, -32768)};
  const auto back = checked_decode(encode(bands), lengths_of(bands));
  ASSERT_TRUE(back.has_value()) << message(back.error());
  EXPECT_EQ(*back, joined(bands));
}

// Pins the bytes of one stream, so builds for other instruction sets (and
// later changes) that would code differently fail here. The bands come from
// a fixed LCG, not from library distributions.
TEST(FastCoder, StreamBytesArePinned) {
  std::uint64_t state = 0x51'4C'4D'52;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  };
  std::vector<Band> bands;
  for (const std::size_t n : {std::size_t{40}, std::size_t{9000}, std::size_t{450}, std::size_t{3}}) {
    Band b(n);
    for (auto& w : b) {
      const std::uint32_t r = next();
      const int magnitude = static_cast<int>((r & 0xFFFF) >> (4 + (r >> 28)));  // wide spread of widths
      w = static_cast<std::int16_t>((r >> 16) & 1 ? -magnitude : magnitude);
    }
    bands.push_back(std::move(b));
  }
  const Bytes stream = encode(bands);
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (const std::uint8_t byte : stream) hash = (hash ^ byte) * 0x100000001b3ULL;
  EXPECT_EQ(stream.size(), 12990u);
  EXPECT_EQ(hash, 0xf34a653686f8b9feULL);
  EXPECT_EQ(checked_decode(stream, lengths_of(bands)).value(), joined(bands));
}

// The encoder keeps its work buffers per thread: what one call leaves in
// them (counts, codes, words) must not reach the next call's bytes, whether
// that call has more bands, fewer lanes or a longer signal.
TEST(FastCoder, CallsOnOneThreadDoNotShareState) {
  std::mt19937_64 rng(5);
  const std::vector<std::vector<Band>> inputs{
      {random_band(rng, 30000, 50, 0.2), random_band(rng, 15000, 9, 0.4), random_band(rng, 700, 300, 0)},
      {random_band(rng, 900, 2, 0.5), random_band(rng, 80, 40, 0.1)},
      {Band(20000, 0), random_band(rng, 50000, 1, 0.8)},
      {random_band(rng, 120000, 700, 0.05)},
  };
  // Each input coded first on a thread of its own, whose buffers are new.
  std::vector<Bytes> fresh(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    std::thread([&, i] { fresh[i] = encode(inputs[i]); }).join();
  }
  for (const std::size_t i : {0, 1, 2, 3, 1, 0, 3, 2}) {
    EXPECT_EQ(encode(inputs[i]), fresh[i]) << i;
  }
}

TEST(FastCoder, ConcurrentThreadsGiveTheSameBytes) {
  std::mt19937_64 rng(9);
  std::vector<std::vector<Band>> inputs;
  for (std::size_t n : {3000, 20000, 70000, 500}) {
    inputs.push_back({random_band(rng, n, 30, 0.2), random_band(rng, n / 2, 4, 0.5)});
  }
  std::vector<Bytes> alone;
  for (const auto& in : inputs) alone.push_back(encode(in));
  std::vector<std::vector<Bytes>> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < inputs.size(); ++i) seen[t].push_back(encode(inputs[(i + t) % inputs.size()]));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < 4; ++t) {
    ASSERT_EQ(seen[t].size(), 3 * inputs.size());
    for (std::size_t k = 0; k < seen[t].size(); ++k) {
      EXPECT_EQ(seen[t][k], alone[(k % inputs.size() + t) % inputs.size()]) << t << " " << k;
    }
  }
}

TEST(FastCoder, RefusesTooManyBands) {
  std::vector<Band> bands(128, Band(3, 1));
  EXPECT_THROW(encode(bands), std::invalid_argument);
  bands.pop_back();  // 127 still fit beside the flag bit
  const auto stream = encode(bands);
  EXPECT_EQ(stream[0], 127u);
  EXPECT_EQ(checked_decode(stream, lengths_of(bands)).value(), joined(bands));
}

// Long all-zero bands are held as zeros (two bits each, no model); short
// ones, which the passes barely notice, cost their five-bit model.
TEST(FastCoder, SparseSignalsStaySmall) {
  const std::vector<Band> zeros{Band(100000, 0), Band(50000, 0)};
  EXPECT_EQ(encode(zeros).size(), 1u + 1u + 1u);  // count, block size and holds, raw length
  EXPECT_EQ(checked_decode(encode(zeros), lengths_of(zeros)).value(), joined(zeros));
  const std::vector<Band> short_zeros{Band(3000, 0), Band(1000, 0)};
  EXPECT_EQ(encode(short_zeros).size(), 1u + 2u + 1u);  // count, two models, raw length
  std::vector<Band> one_spike = zeros;
  one_spike[1][777] = -3;
  const Bytes stream = encode(one_spike);
  EXPECT_LE(stream.size(), 40u);
  EXPECT_EQ(checked_decode(stream, lengths_of(one_spike)).value(), joined(one_spike));
}

// Short signals do not pay for static tables: their bands take the adaptive
// model, which keeps them within a few percent of cmodel's size.
TEST(FastCoder, ShortSignalsStayNearCModelSize) {
  std::mt19937_64 rng(11);
  for (const std::size_t n : {std::size_t{16}, std::size_t{100}, std::size_t{600}}) {
    const std::vector<Band> bands{random_band(rng, n / 4, 40, 0.1), random_band(rng, n / 4, 8, 0.3),
                                  random_band(rng, n / 2, 2, 0.5)};
    const std::vector<std::span<const std::int16_t>> views(bands.begin(), bands.end());
    const Bytes stream = encode(bands);
    EXPECT_LE(static_cast<double>(stream.size()),
              1.05 * static_cast<double>(cmodel::encode_coeffs(views).size()) + 2.0)
        << n;
    EXPECT_EQ(checked_decode(stream, lengths_of(bands)).value(), joined(bands));
  }
}

std::vector<Band> sample_bands() {
  std::mt19937_64 rng(7);
  return {random_band(rng, 700, 20, 0.1), random_band(rng, 1300, 3, 0.4), random_band(rng, 2000, 1, 0.7)};
}

TEST(FastCoder, RefusesWrongLengthsAndCounts) {
  const auto bands = sample_bands();
  const Bytes stream = encode(bands);
  auto lengths = lengths_of(bands);
  EXPECT_EQ(checked_decode({}, lengths).error(), FastError::Truncated);
  EXPECT_EQ(checked_decode(stream, {700, 1300}).error(), FastError::BadLength);
  Band wrong(10);
  EXPECT_EQ(decode_coeffs_into(stream, lengths, wrong).error(), FastError::BadLength);
  lengths[2] += 1;  // one coefficient more than was coded
  EXPECT_FALSE(checked_decode(stream, lengths).has_value());
  lengths[2] -= 2;  // one fewer
  EXPECT_FALSE(checked_decode(stream, lengths).has_value());
  const std::vector<std::size_t> huge{SIZE_MAX / 2, SIZE_MAX / 2, 4};
  EXPECT_EQ(checked_decode(stream, huge).error(), FastError::BadLength);
}

TEST(FastCoder, EveryTruncationIsRefused) {
  const auto bands = sample_bands();
  const Bytes stream = encode(bands);
  for (std::size_t n = 0; n < stream.size(); ++n) {
    const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(checked_decode(cut, lengths_of(bands)).has_value()) << n;
  }
  Bytes longer = stream;
  longer.push_back(0);
  longer.push_back(0);
  EXPECT_EQ(checked_decode(longer, lengths_of(bands)).error(), FastError::TrailingData);
}

// Flipping any single bit either fails cleanly or (rarely, in a raw low
// bit) yields other coefficients; it never crashes or reads out of bounds.
TEST(FastCoder, BitFlipsEndInAValueOrAnError) {
  const auto bands = sample_bands();
  const Bytes stream = encode(bands);
  std::size_t refused = 0;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    for (unsigned bit = 0; bit < 8; bit += 3) {
      Bytes bad = stream;
      bad[i] ^= static_cast<std::uint8_t>(1u << bit);
      refused += !checked_decode(bad, lengths_of(bands)).has_value();
    }
  }
  EXPECT_GT(refused, stream.size());  // most flips are caught
}

TEST(FastCoder, HostileModelsAreRefused) {
  const std::vector<std::size_t> one{4};
  // Tokens field 2 (bits 00001), single table (0), precision p=1 (0000),
  // frequencies gamma(2)=010, gamma(2)=010: sum 2 = 2^1, a valid table.
  // Variants break the sum, the precision and the gamma code.
  const auto stream_with = [](const Bytes& model) {
    Bytes s(model.size() + 1, 1);  // the band count, then the model
    std::copy(model.begin(), model.end(), s.begin() + 1);
    return s;
  };
  // Bits from the least significant: tokens - 1 = 1 (5 bits), static
  // (bit 5), no group starts (31 bits), the one group has a table (bit 37),
  // then p - 1 = 12 (4 bits): p = 13 is above the 12-bit limit.
  EXPECT_EQ(checked_decode(stream_with({0x01, 0x00, 0x00, 0x00, 0x20, 0x03}), one).error(), FastError::BadTable);
  // p = 1 and frequencies 1 + 0 (gammas 0,1,0 then 1) do not sum to 2.
  EXPECT_EQ(checked_decode(stream_with({0x01, 0x00, 0x00, 0x00, 0x20, 0x28}), one).error(), FastError::BadTable);
  // A gamma code of all zeros runs past its longest form.
  EXPECT_EQ(checked_decode(stream_with({0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00}), one).error(),
            FastError::BadTable);
  // Model cut short.
  EXPECT_EQ(checked_decode(stream_with({0x01}), one).error(), FastError::Truncated);
  // A coded band whose only group has no table.
  EXPECT_EQ(checked_decode(stream_with({0x01, 0x00, 0x00, 0x00, 0x00}), one).error(), FastError::BadTable);
}

TEST(FastCoder, StatesBelowTheirRangeAreRefused) {
  const std::vector<Band> bands{{1, 2, 3, 0, -1}};
  Bytes stream = encode(bands);
  // One lane: its state is four bytes just before the words. Finding it
  // from the end needs the word count, so zero every 4-byte window in turn
  // and require each to fail.
  for (std::size_t at = 1; at + 4 <= stream.size(); ++at) {
    Bytes bad = stream;
    std::fill(bad.begin() + static_cast<std::ptrdiff_t>(at), bad.begin() + static_cast<std::ptrdiff_t>(at + 4), 0);
    if (bad == stream) continue;
    EXPECT_FALSE(checked_decode(bad, lengths_of(bands)).has_value()) << at;
  }
}

std::vector<float> wave(std::size_t n) {
  std::vector<float> x(n);
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::sin(0.01f * static_cast<float>(i)) + 0.3f * std::sin(0.13f * static_cast<float>(i)) + noise(rng);
  }
  return x;
}

// A linear sweep through the bands with 1% noise (from a 64-bit LCG, the
// same on every library): each band's envelope rises and falls as the sweep
// passes, the case where the coder's contexts once trailed cmodel by 3-4%.
std::vector<float> sweep(std::size_t n, double f0, double f1) {
  std::vector<float> x(n);
  std::uint64_t s = 12345;
  const double span = static_cast<double>(n - 1) / 10000.0;
  for (std::size_t i = 0; i < n; ++i) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    const double u = static_cast<double>(s >> 40) / 16777216.0 - 0.5;
    const double t = static_cast<double>(i) / 10000.0;
    const double phase = f0 * t + 0.5 * (f1 - f0) / span * t * t;
    x[i] = static_cast<float>(std::sin(2.0 * M_PI * phase) + 0.035 * u);
  }
  return x;
}

TEST(FastCoder, SweepsStayWithinThreePercentOfCModel) {
  for (const auto& [f0, f1] : {std::pair{5.0, 2000.0}, std::pair{1000.0, 2000.0}}) {
    const auto x = sweep(100000, f0, f1);
    CodecOptions o;
    o.coder = Coder::CModel;
    const auto reference = compress(x, o);
    o.coder = Coder::Fast;
    const auto fast = compress(x, o);
    ASSERT_TRUE(reference && fast);
    EXPECT_LE(static_cast<double>(fast->size()), 1.03 * static_cast<double>(reference->size())) << f0;
  }
}

class FastContainer : public ::testing::TestWithParam<std::tuple<std::size_t, Method>> {};

TEST_P(FastContainer, SamplesMatchCModelBitForBit) {
  const auto [n, method] = GetParam();
  const auto x = wave(n);
  CodecOptions o;
  o.method = method;
  o.coder = Coder::CModel;
  const auto reference = compress(x, o);
  o.coder = Coder::Fast;
  const auto fast = compress(x, o);
  ASSERT_TRUE(reference && fast);
  const auto h = QuillmereHeader::from_bytes(*fast, kLastToolsCoder);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->coder, kCoderFast);
  // Identical header apart from the coder byte (14) and the payload length (32-35).
  EXPECT_TRUE(std::equal(fast->begin(), fast->begin() + 14, reference->begin()));
  EXPECT_TRUE(std::equal(fast->begin() + 15, fast->begin() + 32, reference->begin() + 15));
  EXPECT_TRUE(std::equal(fast->begin() + 36, fast->begin() + 52, reference->begin() + 36));
  const auto a = decompress(*reference);
  const auto b = decompress_tools(*fast);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->size(), b->size());
  EXPECT_EQ(0, std::memcmp(a->data(), b->data(), a->size() * sizeof(float)));

  const auto refused = decompress(*fast);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "Unknown entropy coder 3");
  EXPECT_FALSE(QuillmereHeader::from_bytes(*fast).has_value());
}

INSTANTIATE_TEST_SUITE_P(Lengths, FastContainer,
                         ::testing::Combine(::testing::Values(1, 7, 300, 4096, 50001),
                                            ::testing::Values(Method::Cdf97, Method::Db4)));

}  // namespace
}  // namespace quillmere::fast
