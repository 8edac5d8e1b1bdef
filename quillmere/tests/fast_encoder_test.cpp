// Fast encoder: every 16-bit value through the per-coefficient pass (in
// whatever order and lane it comes), the 2048-step stretches in which raw
// bits are written against band and lane boundaries, and one pinned stream
// with every kind of band the encoder treats apart, whose bytes are those
// the earlier one-pass encoder wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "band_helpers.hpp"
#include "fast_coder.hpp"

namespace quillmere::fast {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;
using testing_bands::lengths_of;

Band round_trip(const std::vector<Band>& bands) {
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  const auto lengths = lengths_of(bands);
  Band out(std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}));
  const auto done = decode_coeffs_into(stream, lengths, out);
  EXPECT_TRUE(done.has_value()) << message(done.error());
  return out;
}

Band joined(const std::vector<Band>& bands) {
  Band all;
  for (const auto& b : bands) all.insert(all.end(), b.begin(), b.end());
  return all;
}

Band every_value() {
  Band b(65536);
  std::iota(b.begin(), b.end(), std::int16_t{-32768});
  return b;
}

enum class Order { Ascending, Descending, Shuffled, ExtremesInEveryLane };

class EveryValue : public ::testing::TestWithParam<Order> {};

// Tokens, widths and raw bits of all 65536 values (the widths come from a
// float's exponent, 2^(width - 2) from its conversion back), in orders
// that put each value in other lanes and next to other neighbours.
TEST_P(EveryValue, RoundTrips) {
  Band b = every_value();
  switch (GetParam()) {
    case Order::Ascending: break;
    case Order::Descending: std::reverse(b.begin(), b.end()); break;
    case Order::Shuffled: std::shuffle(b.begin(), b.end(), std::mt19937_64(7)); break;
    case Order::ExtremesInEveryLane:
      // 65540 coefficients make lanes of 16385. In steps 3-6 and 8-11 all
      // four lanes carry -32768 (60 raw bits, more than one put takes);
      // the single raw bit of step 7 moves the bits left over from whole
      // bytes, so that one of those steps starts with five or more of
      // them. Step 12 carries 32767 (56 bits, exactly what a put takes).
      for (std::size_t lane = 0; lane < 4; ++lane) {
        std::int16_t* steps = b.data() + lane * 16385;
        for (const std::size_t s : {3, 4, 5, 6, 8, 9, 10, 11}) steps[s] = -32768;
        steps[7] = lane == 0 ? 1 : 0;
        steps[12] = 32767;
      }
      break;
  }
  const std::vector<Band> bands{b, Band(3, -32768), Band(1, 32767)};
  EXPECT_EQ(round_trip(bands), joined(bands));
}

INSTANTIATE_TEST_SUITE_P(Orders, EveryValue,
                         ::testing::Values(Order::Ascending, Order::Descending, Order::Shuffled,
                                           Order::ExtremesInEveryLane));

// Raw bits are written 2048 steps at a time (four lanes side by side, the
// last lane shorter); bands may end anywhere in a stretch, in the lanes'
// common part or in the tail the last lane lacks.
class Stretches : public ::testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(Stretches, RoundTrip) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> small(-20, 20), wide(-32768, 32767);
  std::vector<Band> bands;
  for (const std::size_t n : GetParam()) {
    Band b(n);
    for (auto& w : b) w = static_cast<std::int16_t>(rng() % 8 == 0 ? wide(rng) : small(rng));
    bands.push_back(std::move(b));
  }
  EXPECT_EQ(round_trip(bands), joined(bands));
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Stretches,
    ::testing::Values(std::vector<std::size_t>{8192}, std::vector<std::size_t>{8193},
                      std::vector<std::size_t>{8195}, std::vector<std::size_t>{2048, 2048, 2048, 2048, 1},
                      std::vector<std::size_t>{2047, 1, 0, 2049, 4096, 3},
                      std::vector<std::size_t>{16383, 0, 16384, 16386},  // lanes of 8193, the last 8191
                      std::vector<std::size_t>{4095}, std::vector<std::size_t>{1, 4095}));

// Bands of every kind the encoder treats apart, from a fixed LCG: long
// static-table bands, short bands that lanes share (which may adapt),
// all-zero and empty bands, a run of -32768 (four lanes' raw bits too many
// for one put) and boundaries on both sides of the 2048-step stretches.
std::vector<Band> every_kind_of_band() {
  std::uint64_t state = 0x46'41'53'54;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  };
  const auto noisy = [&](std::size_t n, unsigned spread) {
    Band b(n);
    for (auto& w : b) {
      const std::uint32_t r = next();
      const int magnitude = static_cast<int>((r & 0xFFFF) >> (spread + (r >> 29)));
      w = static_cast<std::int16_t>((r >> 16) & 1 ? -magnitude : magnitude);
    }
    return b;
  };
  std::vector<Band> bands;
  bands.push_back(noisy(8191, 6));
  bands.push_back(Band(0));
  bands.push_back(noisy(1500, 9));
  bands.push_back(Band(2049, 0));
  bands.push_back(noisy(700, 12));
  bands.push_back(Band(4100, -32768));
  bands.push_back(noisy(6000, 3));
  bands.push_back(noisy(3, 2));
  return bands;
}

TEST(FastEncoder, StreamOfEveryBandKindIsPinned) {
  const auto bands = every_kind_of_band();
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (const std::uint8_t byte : stream) hash = (hash ^ byte) * 0x100000001b3ULL;
  EXPECT_EQ(stream.size(), 29917u);
  EXPECT_EQ(hash, 0x40861d0f8d9047e2ULL);
  EXPECT_EQ(round_trip(bands), joined(bands));
}

// The encoder counts each lane's tokens in a copy of its own, laid out one
// way up to 16 bands and another beyond. Streams of 16, 17 and 40 bands
// long enough for four lanes, with bands that cross lanes and bands inside
// one, pinned to the bytes the encoder wrote before the layouts split.
struct ManyBands {
  std::size_t count;
  std::size_t bytes;
  std::uint64_t hash;
};

class ManyBandsPinned : public ::testing::TestWithParam<ManyBands> {};

TEST_P(ManyBandsPinned, StreamIsPinned) {
  std::mt19937_64 rng(23);
  std::vector<Band> bands;
  for (std::size_t b = 0; b < GetParam().count; ++b) {
    // Lengths from 0 to about 3000, and spreads that differ per band so
    // that the bands' tables differ too.
    Band band(rng() % 3001);
    const int spread = 1 << (b % 9);
    std::uniform_int_distribution<int> value(-spread, spread);
    for (auto& w : band) w = static_cast<std::int16_t>(value(rng));
    bands.push_back(std::move(band));
  }
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (const std::uint8_t byte : stream) hash = (hash ^ byte) * 0x100000001b3ULL;
  EXPECT_EQ(stream.size(), GetParam().bytes);
  EXPECT_EQ(hash, GetParam().hash);
  EXPECT_EQ(round_trip(bands), joined(bands));
}

INSTANTIATE_TEST_SUITE_P(BandCounts, ManyBandsPinned,
                         ::testing::Values(ManyBands{16, 15410, 10258063258382216640ULL},
                                           ManyBands{17, 17222, 1046477635713626581ULL},
                                           ManyBands{40, 39311, 6645838751756559144ULL}));

// The lanes' token counts stay with the thread and are left all zero by
// each coding, in one layout up to 16 bands and another beyond. Codings of
// every layout one after another on one thread, in both orders, must give
// what each gives on a thread that never coded before.
std::vector<Band> noisy_bands(std::size_t count, std::size_t longest, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Band> bands;
  for (std::size_t b = 0; b < count; ++b) {
    Band band(rng() % (longest + 1));
    const int spread = 1 << (b % 11);
    std::uniform_int_distribution<int> value(-spread, spread);
    for (auto& w : band) w = static_cast<std::int16_t>(value(rng));
    bands.push_back(std::move(band));
  }
  return bands;
}

TEST(FastEncoder, CodingsInSequenceMatchCodingsOnFreshThreads) {
  const std::vector<std::vector<Band>> inputs = {
      noisy_bands(40, 3000, 1), every_kind_of_band(), noisy_bands(3, 200, 2),
      noisy_bands(16, 5000, 3), noisy_bands(90, 400, 4), noisy_bands(1, 20000, 5)};
  std::vector<Bytes> alone;
  for (const auto& bands : inputs) {
    Bytes fresh;
    std::thread([&] { fresh = encode_coeffs(testing_bands::views_of(bands)); }).join();
    alone.push_back(std::move(fresh));
  }
  std::thread([&] {
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::size_t k = pass == 0 ? i : inputs.size() - 1 - i;
        EXPECT_EQ(encode_coeffs(testing_bands::views_of(inputs[k])), alone[k]) << "input " << k << " pass " << pass;
      }
    }
  }).join();
  for (std::size_t k = 0; k < inputs.size(); ++k) EXPECT_EQ(round_trip(inputs[k]), joined(inputs[k])) << k;
}

}  // namespace
}  // namespace quillmere::fast
